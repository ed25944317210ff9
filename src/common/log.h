// Main log: the gate, the message builder and the hand-over to the host's oxalLog.dll.
//
// A message of level L in category C is built only when the library hands out a handle and C's
// threshold is non-zero and at most L; a gated-away message costs three library calls and no
// formatting. Use QLOG(category, source, level, pieces...): pieces are wide or narrow C strings,
// std::wstring, unsigned numbers (written "0" or "0x" + lowercase hex) and bool ("0"/"1").
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "common/log_ids.h"

namespace qelmo {

// A message under construction: UTF-16 text with its byte count.
class CLogText {
public:
    CLogText() = default;

    CLogText& Append(const wchar_t* text);
    CLogText& Append(const char* text);
    CLogText& Append(const char* text, size_t bytes);
    CLogText& Append(const std::wstring& text) { return AppendUnits(text.data(), text.size()); }
    CLogText& Append(std::wstring_view text) { return AppendUnits(text.data(), text.size()); }
    CLogText& Append(const std::string& text) { return Append(text.data(), text.size()); }
    CLogText& Append(bool value);
    CLogText& Append(uint32_t number);
    CLogText& Append(unsigned long number) { return Append(static_cast<uint32_t>(number)); }
    CLogText& Append(int number) { return Append(static_cast<uint32_t>(number)); }
    CLogText& Append(long number) { return Append(static_cast<uint32_t>(number)); }

    template <typename... Pieces>
    CLogText& AppendAll(const Pieces&... pieces) {
        (Append(pieces), ...);
        return *this;
    }

    const wchar_t* Data() const { return units_.empty() ? nullptr : units_.data(); }
    uint32_t ByteCount() const { return static_cast<uint32_t>(units_.size() * sizeof(wchar_t)); }
    std::wstring Str() const { return std::wstring(units_.begin(), units_.end()); }

private:
    CLogText& AppendUnits(const wchar_t* text, size_t units);
    std::vector<wchar_t> units_;
};

namespace log {

// The gate: true when a message of this level in this category would be written.
bool IsOn(const wchar_t* category, unsigned level);
// Hands a built message to the library (fetching the handle anew).
void Flush(const wchar_t* category, unsigned level, const wchar_t* source, unsigned line,
           const CLogText& text);

}  // namespace log
}  // namespace qelmo

// The thread's last error is the same after a QLOG as before it, and the pieces see it as it
// was before the gate's library calls: the host's library writes files and may change it.
// A line that cannot be built (memory exhausted) is dropped: logging never changes the outcome
// of the operation that logs, and a QLOG may stand in a destructor.
#define QLOG(category, source, level, ...)                                               \
    do {                                                                                 \
        const ::qelmo::LastErrorKeeper qlogError_;                                       \
        if (::qelmo::log::IsOn((category), (level))) {                                   \
            qlogError_.Restore();                                                        \
            try {                                                                        \
                ::qelmo::CLogText qlogText_;                                             \
                qlogText_.AppendAll(__VA_ARGS__);                                        \
                ::qelmo::log::Flush((category), (level), (source), __LINE__, qlogText_); \
            } catch (...) {                                                              \
            }                                                                            \
        }                                                                                \
    } while (0)
