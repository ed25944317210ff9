// Runs a program of the build as a child process and collects what it printed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qelmo::test {

struct ChildRun {
    bool started = false;
    bool timedOut = false;        // ended by TerminateProcess after the deadline
    DWORD exitCode = 0xFFFFFFFF;  // of the process, when it started
    std::string out;              // standard output, '\r' removed
    std::string err;              // standard error, '\r' removed
};

// One command-line argument, quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg);

// Starts `exe` with the quoted program name followed by `args` and reads its standard output and
// error until the process has ended (not until the pipes close: a Wine system process started on
// the child's behalf can inherit them and keep them open for the whole session). After
// `timeoutMs` the child is ended.
ChildRun RunChild(const std::wstring& exe, const std::vector<std::wstring>& args,
                  DWORD timeoutMs = 120000);

}  // namespace qelmo::test
