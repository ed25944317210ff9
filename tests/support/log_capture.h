// Captures every main-log call the plug-in makes, through the oxalLog.dll stand-in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/utf.h"

namespace qelmo::test {

struct LogCall {
    std::wstring category;
    uint32_t level = 0;
    std::wstring source;
    uint32_t line = 0;
    std::wstring text;
    uint32_t textBytes = 0;
    bool textPointerNull = false;
};

// While alive: all categories at threshold 2 (or the given one), output off, every call recorded.
class LogCapture {
public:
    explicit LogCapture(uint32_t threshold = 2);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogCall>& Calls() const { return calls_; }
    void Clear() { calls_.clear(); }
    // The first call whose text equals `text` exactly; null when none.
    const LogCall* Find(const std::wstring& text) const;
    // The first call whose text starts with / contains `part`; null when none.
    const LogCall* FindPrefix(const std::wstring& prefix) const;
    const LogCall* FindContaining(const std::wstring& part) const;
    // Index of the first call with exactly this text at or after `from`; -1 when none.
    int IndexOf(const std::wstring& text, size_t from = 0) const;
    // All texts, one per line, for failure messages.
    std::string Dump() const;

private:
    static void Observe(void* context, const void* call);
    std::vector<LogCall> calls_;
};

// The three ways a log call can go: written, gated away by the category's threshold, and with
// no handle from the library. A property of every log call is checked under each.
struct LogGateCase {
    const char* name;
    uint32_t threshold;
    bool nullHandle;
};
inline constexpr LogGateCase kLogGateCases[] = {
    {"written", 2, false}, {"gated away", 6, false}, {"no handle", 2, true}};

using qelmo::Narrow;

}  // namespace qelmo::test
