#include "support/child_process.h"

#include <algorithm>

#include "common/handles.h"

namespace qelmo::test {

namespace {

// Whatever the pipe holds now, without waiting for more.
void Drain(HANDLE pipe, std::string& into) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD got = 0;
        DWORD want = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
        if (!ReadFile(pipe, buffer, want, &got, nullptr) || got == 0) return;
        into.append(buffer, got);
    }
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

ChildRun RunChild(const std::wstring& exe, const std::vector<std::wstring>& args, DWORD timeoutMs) {
    ChildRun run;
    std::wstring line = QuoteArgument(exe);
    for (const auto& a : args)
        line += L" " + QuoteArgument(a);

    Pipe out, err;
    if (!out.Create() || !err.Create()) return run;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out.write.get();
    si.hStdError = err.write.get();
    PROCESS_INFORMATION info{};
    run.started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &si, &info) != FALSE;
    out.write.reset();
    err.write.reset();
    if (!run.started) return run;
    const ProcessHandles child(info);

    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        Drain(out.read.get(), run.out);
        Drain(err.read.get(), run.err);
        if (WaitForSingleObject(child.process.get(), 10) == WAIT_OBJECT_0) break;
        if (GetTickCount64() > deadline) {
            run.timedOut = true;
            TerminateProcess(child.process.get(), 99);
            WaitForSingleObject(child.process.get(), 5000);
            break;
        }
    }
    Drain(out.read.get(), run.out);
    Drain(err.read.get(), run.err);
    GetExitCodeProcess(child.process.get(), &run.exitCode);
    std::erase(run.out, '\r');
    std::erase(run.err, '\r');
    return run;
}

}  // namespace qelmo::test
