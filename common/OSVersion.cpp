#include "common/OSVersion.h"

OSVersionClass ClassifyOSVersion(DWORD major, DWORD minor, DWORD platformId) {
    if (major == 4 && platformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (minor == 10) return OS_WIN98;
        if (minor == 90) return OS_WINME;
        return OS_UNKNOWN;
    }
    if (major == 5 && platformId == VER_PLATFORM_WIN32_NT) {
        if (minor == 0) return OS_WIN2000;
        if (minor == 1) return OS_WINXP;
        if (minor == 2) return OS_WIN2003;
        return OS_UNKNOWN;
    }
    if (major == 6) return OS_VISTA;
    return OS_UNKNOWN;
}

OSVersionClass GetOSVersion() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(&info)) return OS_UNKNOWN;
    return ClassifyOSVersion(info.dwMajorVersion, info.dwMinorVersion, info.dwPlatformId);
}
