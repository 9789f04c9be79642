// Import stand-ins that let the exe load on Windows 2000 and XP.
//
// The thread library under the C++ runtime (winpthreads, used for thread-safe
// statics and std::mutex) imports GetTickCount64 (Vista and later) and
// Add/RemoveVectoredExceptionHandler (XP and later). A static import of a
// function the system lacks stops the loader before the program runs. This
// file defines the import slots itself, so the linker takes them from here
// and not from kernel32's import library: each slot points to a function that
// calls the system's own when it has one and falls back otherwise.
//
// It is linked into the exe and the installer's custom-action DLL (as an
// object, so its slots win over the import library); tools/endurance checks
// the exe's import table, tests/package the DLL's.

#include <windows.h>

#include "app/OldWindowsImports.h"

namespace {

FARPROC Kernel32Function(const char* name) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 != nullptr ? GetProcAddress(kernel32, name) : nullptr;
}

typedef ULONGLONG(WINAPI* TickCount64Function)();
typedef PVOID(WINAPI* AddHandlerFunction)(ULONG, PVECTORED_EXCEPTION_HANDLER);
typedef ULONG(WINAPI* RemoveHandlerFunction)(PVOID);

// The fallback counter: the 32-bit tick count with its wraps counted. It is
// read at least every few milliseconds by the waits that use it, far more
// often than the 49.7-day wrap, so no wrap goes unseen.
volatile LONG g_lastLow = 0;
volatile LONG g_wraps = 0;

// Looked up on each call: a function-local static would take the runtime's
// guard, which itself waits through this very function.
ULONGLONG WINAPI TickCount64Stand() {
    TickCount64Function system =
        reinterpret_cast<TickCount64Function>(reinterpret_cast<void (*)()>(Kernel32Function("GetTickCount64")));
    if (system != nullptr) return system();
    TickExtension state = {static_cast<DWORD>(g_lastLow), static_cast<DWORD>(g_wraps)};
    ULONGLONG now = ExtendTickCount(GetTickCount(), &state);
    InterlockedExchange(&g_wraps, static_cast<LONG>(state.wraps));
    InterlockedExchange(&g_lastLow, static_cast<LONG>(state.lastLow));
    return now;
}

// Without vectored handlers (Windows 2000) there is nothing to add: the
// runtime uses its handler only to name threads for a debugger.
PVOID WINAPI AddHandlerStand(ULONG first, PVECTORED_EXCEPTION_HANDLER handler) {
    AddHandlerFunction system = reinterpret_cast<AddHandlerFunction>(
        reinterpret_cast<void (*)()>(Kernel32Function("AddVectoredExceptionHandler")));
    return system != nullptr ? system(first, handler) : nullptr;
}

ULONG WINAPI RemoveHandlerStand(PVOID handle) {
    RemoveHandlerFunction system = reinterpret_cast<RemoveHandlerFunction>(
        reinterpret_cast<void (*)()>(Kernel32Function("RemoveVectoredExceptionHandler")));
    return system != nullptr && handle != nullptr ? system(handle) : 0;
}

}  // namespace

// Only mingw's runtime pulls these imports in, and the slots are named with
// GNU assembler labels; other compilers build the exe without this part.
#if defined(__MINGW32__)

#if defined(_WIN64)
#define CDZ_IMPORT_SLOT(name, decorated) "__imp_" #name
#else
#define CDZ_IMPORT_SLOT(name, decorated) "__imp__" #name "@" #decorated
#endif

extern "C" {
TickCount64Function cdzTickCount64Slot asm(CDZ_IMPORT_SLOT(GetTickCount64, 0)) = TickCount64Stand;
AddHandlerFunction cdzAddHandlerSlot asm(CDZ_IMPORT_SLOT(AddVectoredExceptionHandler, 8)) = AddHandlerStand;
RemoveHandlerFunction cdzRemoveHandlerSlot asm(CDZ_IMPORT_SLOT(RemoveVectoredExceptionHandler, 4)) =
    RemoveHandlerStand;
}

#endif  // __MINGW32__
