#include "common/log.h"

#include <oxal_log.h>

namespace qelmo {

namespace {
constexpr const wchar_t* kNullText = L"(NULL)";
constexpr size_t kStackConversionUnits = 512;
}  // namespace

CLogText& CLogText::AppendUnits(const wchar_t* text, size_t units) {
    if (units == 0) return *this;
    if (units_.capacity() < units_.size() + units) units_.reserve(2 * (units_.size() + units));
    units_.insert(units_.end(), text, text + units);
    return *this;
}

CLogText& CLogText::Append(const wchar_t* text) {
    if (!text) text = kNullText;
    return AppendUnits(text, wcslen(text));
}

CLogText& CLogText::Append(const char* text) {
    if (!text) return Append(kNullText);
    return Append(text, strlen(text));
}

// Narrow text comes in the system ANSI code page; bytes that do not convert go in unchanged.
CLogText& CLogText::Append(const char* text, size_t bytes) {
    if (!text) return Append(kNullText);
    if (bytes == 0) return *this;
    if (bytes > INT32_MAX) bytes = INT32_MAX;
    int bytesIn = static_cast<int>(bytes);
    wchar_t stackUnits[kStackConversionUnits];
    int units = MultiByteToWideChar(CP_ACP, 0, text, bytesIn, nullptr, 0);
    if (units > 0 && static_cast<size_t>(units) <= kStackConversionUnits &&
        MultiByteToWideChar(CP_ACP, 0, text, bytesIn, stackUnits, units) == units)
        return AppendUnits(stackUnits, static_cast<size_t>(units));
    if (units > 0) {
        std::wstring heapUnits(static_cast<size_t>(units), L'\0');
        if (MultiByteToWideChar(CP_ACP, 0, text, bytesIn, heapUnits.data(), units) == units)
            return AppendUnits(heapUnits.data(), heapUnits.size());
    }
    for (size_t i = 0; i < bytes; ++i)
        units_.push_back(static_cast<unsigned char>(text[i]));
    return *this;
}

CLogText& CLogText::Append(bool value) {
    wchar_t digit = static_cast<wchar_t>(L'0' + (value ? 1 : 0));
    return AppendUnits(&digit, 1);
}

CLogText& CLogText::Append(uint32_t number) {
    if (number == 0) return AppendUnits(L"0", 1);
    wchar_t digits[2 + 8];
    size_t n = 0;
    for (int shift = 28; shift >= 0; shift -= 4) {
        unsigned nibble = (number >> shift) & 0xF;
        if (n == 0 && nibble == 0) continue;
        digits[2 + n++] = L"0123456789abcdef"[nibble];
    }
    digits[0] = L'0';
    digits[1] = L'x';
    return AppendUnits(digits, 2 + n);
}

namespace log {

bool IsOn(const wchar_t* category, unsigned level) {
    void* handle = Log_GetDefaultHandle();
    if (!handle) return false;
    if (Log_GetLogLevel(handle, category) == 0) return false;
    return Log_GetLogLevel(handle, category) <= level;
}

void Flush(const wchar_t* category, unsigned level, const wchar_t* source, unsigned line,
           const CLogText& text) {
    void* handle = Log_GetDefaultHandle();
    if (!handle) return;
    Log_Flush(handle, category, level, source, line, text.Data(), text.ByteCount());
}

}  // namespace log
}  // namespace qelmo
