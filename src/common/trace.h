// Enter and leave lines of a traced function, written through one scope object that knows the
// function's category, source id, level and name:
//
//     QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace, L"Update");
//     ...                                           // wrote "==> Update,"
//     QTRACE_LEAVE(trace, L"asStatus = ", status);  // writes "<== Update,asStatus = 0x201a0001"
//     return status;
//
// Both macros take the line's own pieces after the comma, as QLOG does (none is fine), and behave
// as QLOG: the pieces are formatted only when the line is written, and the thread's last error is
// the same after each line as before it.
//
// The leave line is written where QTRACE_LEAVE stands, never by a destructor. A way out without
// QTRACE_LEAVE writes no leave line, and neither does an exception (memory exhaustion) that ends
// the function: telling unwinding apart in a destructor would need std::uncaught_exceptions, whose
// first use in a thread allocates the thread's exception state and ends the process when that
// allocation fails.
#pragma once

#include "common/log.h"

namespace qelmo {

class TraceScope {
public:
    static constexpr const wchar_t* kEnterMark = L"==> ";
    static constexpr const wchar_t* kLeaveMark = L"<== ";
    static constexpr const wchar_t* kAfterName = L",";

    TraceScope(const wchar_t* category, const wchar_t* source, unsigned level,
               const wchar_t* function)
        : category_(category), source_(source), level_(level), function_(function) {}
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    // The gate for this scope's lines.
    bool IsOn() const { return log::IsOn(category_, level_); }
    // The start of a line: the mark, the function's name and the comma.
    void Head(CLogText& text, const wchar_t* mark) const {
        text.AppendAll(mark, function_, kAfterName);
    }
    void Write(unsigned line, const CLogText& text) const {
        log::Flush(category_, level_, source_, line, text);
    }

private:
    const wchar_t* category_;
    const wchar_t* source_;
    unsigned level_;
    const wchar_t* function_;
};

}  // namespace qelmo

// One line of a scope: QLOG's steps with the scope's category, source id, level and head. As
// with QLOG, a line that cannot be built (memory exhausted) is dropped and never changes the
// outcome of the traced function.
#define QTRACE_LINE_(scope, mark, ...)                \
    do {                                              \
        const ::qelmo::LastErrorKeeper qtraceError_;  \
        if ((scope).IsOn()) {                         \
            qtraceError_.Restore();                   \
            try {                                     \
                ::qelmo::CLogText qtraceText_;        \
                (scope).Head(qtraceText_, (mark));    \
                qtraceText_.AppendAll(__VA_ARGS__);   \
                (scope).Write(__LINE__, qtraceText_); \
            } catch (...) {                           \
            }                                         \
        }                                             \
    } while (0)

// Declares the scope `name` and writes its enter line. Stands at the top of a function body.
#define QTRACE_SCOPE(name, category, source, level, function, ...)             \
    const ::qelmo::TraceScope name((category), (source), (level), (function)); \
    QTRACE_LINE_(name, ::qelmo::TraceScope::kEnterMark, __VA_ARGS__)

// Writes the leave line of the scope `name` here.
#define QTRACE_LEAVE(name, ...) QTRACE_LINE_(name, ::qelmo::TraceScope::kLeaveMark, __VA_ARGS__)
