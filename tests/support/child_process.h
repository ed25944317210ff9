// Runs a program of the build as a child process: to its end, reading what it prints (with limits
// on its silence and on its whole run), or started to be ended at any moment.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/handles.h"

namespace qelmo::test {

// The exit code of a child that a limit ended.
inline constexpr DWORD kEndedExitCode = 0xDEAD;

struct ChildRun {
    bool started = false;
    bool timedOut = false;        // ended by TerminateProcess after a limit
    DWORD exitCode = 0xFFFFFFFF;  // of the process, when it started
    std::string out;              // standard output, '\r' removed (empty when lines go to onLine)
    std::string err;              // standard error, '\r' removed (empty when it goes with output)
    double seconds = 0;           // from the start to the end
};

struct ChildOptions {
    // The child's current folder; empty: this process's.
    std::wstring folder;
    // Standard error goes into the same pipe as standard output.
    bool errorsWithOutput = false;
    // Each complete line of standard output, without its line end, as it arrives (a last line
    // without one too); `out` then stays empty.
    std::function<void(const std::string&)> onLine;
    // The child is ended when nothing arrives for this long (0: no such limit) or when the whole
    // run takes longer.
    double silenceLimitSeconds = 0;
    double totalLimitSeconds = 120;
};

// One command-line argument, quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg);

// Starts `commandLine` (its first word names the program) with its standard input closed and its
// standard output and error in pipes, and reads them until the process has ended (not until the
// pipes close: a Wine system process started on the child's behalf can inherit them and keep them
// open for the whole session).
ChildRun RunCommand(const std::wstring& commandLine, const ChildOptions& options);

// The same for `exe` with the quoted program name followed by `args`, collecting both outputs;
// after `timeoutMs` the child is ended.
ChildRun RunChild(const std::wstring& exe, const std::vector<std::wstring>& args,
                  DWORD timeoutMs = 120000);

// A started process that the caller may end at any moment.
class KillableProcess {
public:
    KillableProcess() = default;
    ~KillableProcess();
    KillableProcess(const KillableProcess&) = delete;
    KillableProcess& operator=(const KillableProcess&) = delete;

    // Standard output and error go to the NUL device.
    bool Start(const std::wstring& commandLine, const std::wstring& folder);
    // True when it ended within `milliseconds`.
    bool WaitFor(DWORD milliseconds);
    // TerminateProcess and wait for the end; true when it was still running when killed.
    bool Kill();
    DWORD ExitCode() const;

private:
    ProcessHandles process_;
};

}  // namespace qelmo::test
