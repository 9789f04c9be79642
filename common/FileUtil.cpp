#include "common/FileUtil.h"

#include <wincrypt.h>

#include "common/Handles.h"

std::wstring WithBackslash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder;
}

bool EndsWithIni(const std::wstring& name) {
    return name.size() >= 4 && lstrcmpiW(name.c_str() + name.size() - 4, L".ini") == 0;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes, size_t maxBytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bytes->clear();
    char buffer[64 * 1024];
    for (;;) {
        DWORD got = 0;
        // A folder may open, depending on the system; reading one never works.
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) return false;
        if (got == 0) return true;
        if (bytes->size() + got > maxBytes) {
            SetLastError(ERROR_FILE_TOO_LARGE);
            return false;
        }
        bytes->append(buffer, got);
    }
}

bool ReplaceFileWith(const std::wstring& path, const std::string& bytes) {
    std::wstring part = path + L".new";
    {
        UniqueFileHandle file(
            CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                               written != bytes.size())) {
            DWORD error = written != bytes.size() && GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT : GetLastError();
            file.reset();
            DeleteFileW(part.c_str());
            SetLastError(error);
            return false;
        }
    }
    if (!MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileW(part.c_str());
        SetLastError(error);
        return false;
    }
    return true;
}

bool ListFileNames(const std::wstring& folder, std::vector<std::wstring>* names, std::vector<std::wstring>* shortNames) {
    names->clear();
    if (shortNames != nullptr) shortNames->clear();
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES) return true;
        SetLastError(error);
        return false;
    }
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        names->push_back(data.cFileName);
        if (shortNames != nullptr) shortNames->push_back(data.cAlternateFileName);
    } while (FindNextFileW(find.get(), &data));
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        find.reset();
        SetLastError(error);
        return false;
    }
    return true;
}

std::wstring RandomNamePart() {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return std::wstring();
    BYTE bytes[16] = {};
    BOOL made = CryptGenRandom(provider, sizeof(bytes), bytes);
    DWORD error = GetLastError();
    CryptReleaseContext(provider, 0);
    if (!made) {
        SetLastError(error);
        return std::wstring();
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring hex;
    for (BYTE b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}
