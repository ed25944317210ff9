// Small owners for Win32 handles and memory, the only place in the tree that closes or frees one.
// Every owner keeps the thread's last error across its own release, so a function may return
// right after a failed call and its caller still sees the error of that call.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <utility>

namespace qelmo {

// Saves GetLastError on construction and puts it back on destruction.
class LastErrorKeeper {
public:
    LastErrorKeeper() : error_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD error_;
};

// Generic unique owner: Traits provide Invalid() and Release(T).
template <typename T, typename Traits>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T value) : value_(value) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    T release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(T value = Traits::Invalid()) {
        T old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            LastErrorKeeper keep;
            Traits::Release(old);
        }
    }
    // Releases what is held now and returns the release call's own result, for the owners whose
    // release reports one (the registry key). The last error is not kept here.
    auto close() {
        using Result = decltype(Traits::Release(value_));
        T old = std::exchange(value_, Traits::Invalid());
        if (old == Traits::Invalid()) return Result{};
        return Traits::Release(old);
    }
    // For out-parameters: releases what is held and hands out the slot.
    T* put() {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::Invalid();
};

struct ScHandleTraits {
    static SC_HANDLE Invalid() { return nullptr; }
    static void Release(SC_HANDLE h) { CloseServiceHandle(h); }
};
struct FileHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(HANDLE h) { CloseHandle(h); }
};
struct KernelHandleTraits {  // handles whose "none" is null (DuplicateHandle, events)
    static HANDLE Invalid() { return nullptr; }
    static void Release(HANDLE h) { CloseHandle(h); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static LONG Release(HKEY h) { return RegCloseKey(h); }
};
struct FindTraits {  // FindFirstFileW / FindFirstFileExW searches
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(HANDLE h) { FindClose(h); }
};
struct InfFileTraits {  // SetupOpenInfFileW
    static HINF Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(HINF h) { SetupCloseInfFile(h); }
};
struct FileQueueTraits {  // SetupOpenFileQueue
    static HSPFILEQ Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(HSPFILEQ h) { SetupCloseFileQueue(h); }
};
struct LocalMemTraits {
    static HLOCAL Invalid() { return nullptr; }
    static void Release(HLOCAL h) { LocalFree(h); }
};
struct SidTraits {  // SIDs from AllocateAndInitializeSid
    static PSID Invalid() { return nullptr; }
    static void Release(PSID h) { FreeSid(h); }
};
struct LibraryTraits {
    static HMODULE Invalid() { return nullptr; }
    static void Release(HMODULE h) { FreeLibrary(h); }
};

using ScHandle = UniqueHandle<SC_HANDLE, ScHandleTraits>;
using FileHandle = UniqueHandle<HANDLE, FileHandleTraits>;
using KernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;
using RegKeyHandle = UniqueHandle<HKEY, RegKeyTraits>;
using LocalMem = UniqueHandle<HLOCAL, LocalMemTraits>;
using SidPtr = UniqueHandle<PSID, SidTraits>;
using LibraryHandle = UniqueHandle<HMODULE, LibraryTraits>;
using FindHandle = UniqueHandle<HANDLE, FindTraits>;
using InfFileHandle = UniqueHandle<HINF, InfFileTraits>;
using FileQueueHandle = UniqueHandle<HSPFILEQ, FileQueueTraits>;

// The process and thread handles of a started process (CreateProcessW's PROCESS_INFORMATION).
struct ProcessHandles {
    KernelHandle process;
    KernelHandle thread;
    DWORD processId = 0;

    ProcessHandles() = default;
    explicit ProcessHandles(const PROCESS_INFORMATION& info)
        : process(info.hProcess), thread(info.hThread), processId(info.dwProcessId) {}
};

}  // namespace qelmo
