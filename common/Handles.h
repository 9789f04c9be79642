#pragma once
// Owners for the Win32 handles this system opens. Every owner closes its handle
// on destruction and keeps GetLastError() as it was, so a function that fails
// and returns through its owners still leaves the failed call's error readable.

#include <windows.h>
#include <setupapi.h>
#include <tlhelp32.h>

template <typename Traits>
class UniqueAny {
public:
    using pointer = typename Traits::pointer;

    UniqueAny() noexcept : value_(Traits::Invalid()) {}
    explicit UniqueAny(pointer value) noexcept : value_(value) {}
    ~UniqueAny() { reset(); }

    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    pointer get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes what is held and hands out the slot for a call that fills it.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

    pointer release() noexcept {
        pointer value = value_;
        value_ = Traits::Invalid();
        return value;
    }

    void reset(pointer value = Traits::Invalid()) noexcept {
        if (valid()) {
            DWORD error = ::GetLastError();
            Traits::Close(value_);
            ::SetLastError(error);
        }
        value_ = value;
    }

private:
    pointer value_;
};

struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() { return nullptr; }
    static void Close(pointer h) { ::CloseHandle(h); }
};

// Files, devices and toolhelp snapshots report failure as INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) { ::FindClose(h); }
};

struct ScHandleTraits {
    using pointer = SC_HANDLE;
    static pointer Invalid() { return nullptr; }
    static void Close(pointer h) { ::CloseServiceHandle(h); }
};

struct DevInfoTraits {
    using pointer = HDEVINFO;
    static pointer Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) { ::SetupDiDestroyDeviceInfoList(h); }
};

struct RegKeyTraits {
    using pointer = HKEY;
    static pointer Invalid() { return nullptr; }
    static void Close(pointer h) { ::RegCloseKey(h); }
};

struct LocalMemoryTraits {
    using pointer = HLOCAL;
    static pointer Invalid() { return nullptr; }
    static void Close(pointer h) { ::LocalFree(h); }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;     // events, threads, processes, tokens
using UniqueFileHandle = UniqueAny<FileHandleTraits>;   // files, devices, snapshots
using UniqueFindHandle = UniqueAny<FindHandleTraits>;
using UniqueScHandle = UniqueAny<ScHandleTraits>;
using UniqueDevInfo = UniqueAny<DevInfoTraits>;
using UniqueRegKey = UniqueAny<RegKeyTraits>;
using UniqueLocalMemory = UniqueAny<LocalMemoryTraits>;
