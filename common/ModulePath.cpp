#include "common/ModulePath.h"

#include <windows.h>

std::wstring GetModulePath() {
    std::wstring buffer(260, L'\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetModuleFileNameW(nullptr, &buffer[0], size);
        if (length == 0) return std::wstring();
        // A cut path fills the buffer (and XP leaves it unterminated): grow and ask again.
        if (length < size - 1 || (length < size && GetLastError() != ERROR_INSUFFICIENT_BUFFER)) {
            buffer.resize(length);
            return buffer;
        }
        if (size >= 65536) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(size * 2, L'\0');
    }
}
