#include "support/child_process.h"

#include <algorithm>

namespace qelmo::test {

namespace {

constexpr DWORD kPollMs = 10;
constexpr DWORD kEndWaitMs = 10000;

double Seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

// Whatever the pipe holds now, without waiting for more; true when something came.
bool Drain(HANDLE pipe, std::string& into) {
    bool got = false;
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD read = 0;
        DWORD want = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
        if (!ReadFile(pipe, buffer, want, &read, nullptr) || read == 0) break;
        into.append(buffer, read);
        got = true;
    }
    return got;
}

// A pipe whose write end the child inherits.
struct Pipe {
    KernelHandle read;
    KernelHandle write;

    bool Create() {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(read.put(), write.put(), &inherit, 0)) return false;
        return SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0) != FALSE;
    }
};

// Hands the complete lines of `pending` to `onLine` and keeps the rest.
void PassLines(std::string& pending, const std::function<void(const std::string&)>& onLine) {
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
        std::string text = pending.substr(0, newline);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        pending.erase(0, newline + 1);
        onLine(text);
    }
}

bool StartProcess(const std::wstring& commandLine, const std::wstring& folder, HANDLE output,
                  HANDLE errors, ProcessHandles& process) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = errors;
    std::wstring line = commandLine;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        return false;
    process = ProcessHandles(info);
    return true;
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& arg) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"') quoted.append(backslashes + 1, L'\\');
            backslashes = 0;
        }
        quoted += c;
    }
    quoted.append(backslashes, L'\\');  // doubled before the closing quote
    return quoted + L"\"";
}

ChildRun RunCommand(const std::wstring& commandLine, const ChildOptions& options) {
    ChildRun run;
    Pipe out, err;
    if (!out.Create() || (!options.errorsWithOutput && !err.Create())) return run;
    ProcessHandles child;
    const double start = Seconds();
    run.started = StartProcess(commandLine, options.folder, out.write.get(),
                               options.errorsWithOutput ? out.write.get() : err.write.get(), child);
    out.write.reset();  // the child holds the only write ends now
    err.write.reset();
    if (!run.started) return run;

    std::string pending;
    std::string& output = options.onLine ? pending : run.out;
    double lastOutput = start;
    bool ended = false;
    for (;;) {
        bool got = Drain(out.read.get(), output);
        if (err.read) got = Drain(err.read.get(), run.err) || got;
        if (options.onLine) PassLines(pending, options.onLine);
        if (got) {
            lastOutput = Seconds();
            continue;
        }
        if (ended) break;  // and nothing is left in the pipes
        if (WaitForSingleObject(child.process.get(), kPollMs) == WAIT_OBJECT_0) {
            ended = true;  // read what is left, then stop
            continue;
        }
        const double now = Seconds();
        if ((options.silenceLimitSeconds > 0 && now - lastOutput > options.silenceLimitSeconds) ||
            now - start > options.totalLimitSeconds) {
            run.timedOut = true;
            TerminateProcess(child.process.get(), kEndedExitCode);
            WaitForSingleObject(child.process.get(), kEndWaitMs);
            Drain(out.read.get(), output);
            if (err.read) Drain(err.read.get(), run.err);
            if (options.onLine) PassLines(pending, options.onLine);
            break;
        }
    }
    if (options.onLine && !pending.empty()) options.onLine(pending);
    GetExitCodeProcess(child.process.get(), &run.exitCode);
    run.seconds = Seconds() - start;
    std::erase(run.out, '\r');
    std::erase(run.err, '\r');
    return run;
}

ChildRun RunChild(const std::wstring& exe, const std::vector<std::wstring>& args, DWORD timeoutMs) {
    std::wstring line = QuoteArgument(exe);
    for (const auto& a : args)
        line += L" " + QuoteArgument(a);
    ChildOptions options;
    options.totalLimitSeconds = timeoutMs / 1000.0;
    return RunCommand(line, options);
}

KillableProcess::~KillableProcess() {
    if (process_.process) Kill();
}

bool KillableProcess::Start(const std::wstring& commandLine, const std::wstring& folder) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    FileHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));
    return StartProcess(commandLine, folder, nul.get(), nul.get(), process_);
}

bool KillableProcess::WaitFor(DWORD milliseconds) {
    return process_.process &&
           WaitForSingleObject(process_.process.get(), milliseconds) == WAIT_OBJECT_0;
}

bool KillableProcess::Kill() {
    if (!process_.process) return false;
    if (WaitForSingleObject(process_.process.get(), 0) == WAIT_OBJECT_0) return false;
    TerminateProcess(process_.process.get(), kEndedExitCode);
    WaitForSingleObject(process_.process.get(), 30000);
    return true;
}

DWORD KillableProcess::ExitCode() const {
    DWORD code = 0;
    if (process_.process) GetExitCodeProcess(process_.process.get(), &code);
    return code;
}

}  // namespace qelmo::test
