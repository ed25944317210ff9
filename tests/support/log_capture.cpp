#include "support/log_capture.h"

#include <windows.h>

#include <oxal_log.h>

namespace qelmo::test {

LogCapture::LogCapture(uint32_t threshold) {
    OxalLog_Reconfigure();
    OxalLog_SetOutput(nullptr);
    OxalLog_SetThreshold(nullptr, threshold);
    OxalLog_SetObserver(reinterpret_cast<OxalLogObserver>(&LogCapture::Observe), this);
}

LogCapture::~LogCapture() {
    OxalLog_Reconfigure();
}

void LogCapture::Observe(void* context, const void* rawCall) {
    auto* self = static_cast<LogCapture*>(context);
    auto* call = static_cast<const OxalLogCall*>(rawCall);
    LogCall c;
    c.category = call->category ? call->category : L"";
    c.level = call->level;
    c.source = call->sourceFile ? call->sourceFile : L"";
    c.line = call->line;
    c.textBytes = call->textBytes;
    c.textPointerNull = call->text == nullptr;
    if (call->text) c.text.assign(call->text, call->textBytes / sizeof(wchar_t));
    self->calls_.push_back(std::move(c));
}

const LogCall* LogCapture::Find(const std::wstring& text) const {
    for (const auto& c : calls_)
        if (c.text == text) return &c;
    return nullptr;
}

const LogCall* LogCapture::FindPrefix(const std::wstring& prefix) const {
    for (const auto& c : calls_)
        if (c.text.rfind(prefix, 0) == 0) return &c;
    return nullptr;
}

const LogCall* LogCapture::FindContaining(const std::wstring& part) const {
    for (const auto& c : calls_)
        if (c.text.find(part) != std::wstring::npos) return &c;
    return nullptr;
}

int LogCapture::IndexOf(const std::wstring& text, size_t from) const {
    for (size_t i = from; i < calls_.size(); ++i)
        if (calls_[i].text == text) return static_cast<int>(i);
    return -1;
}

std::string LogCapture::Dump() const {
    std::string out;
    for (const auto& c : calls_)
        out += "  L" + std::to_string(c.level) + " [" + Narrow(c.category) + "] " +
               Narrow(c.source) + ": " + Narrow(c.text) + "\n";
    return out;
}

}  // namespace qelmo::test
