#include "support/TestFiles.h"

#include "common/Handles.h"
#include "support/ProcessRunner.h"

TempFolder::TempFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    for (;;) {
        std::wstring candidate = std::wstring(temp) + L"cdz_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                 std::to_wstring(InterlockedIncrement(&counter)) + L"\\";
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return;
    }
}

TempFolder::~TempFolder() {
    if (!path_.empty()) RemoveTree(path_);
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path) {
    // Sharing deletion too: the service opens its trace file with DELETE (for
    // the rollover) while it appends, and a reader must not miss it then.
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

void RemoveTree(const std::wstring& folder) {
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((base + L"*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = base + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    SetFileAttributesW(base.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(base.c_str());
}

std::wstring TestProgramFolder() {
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L'\\') + 1);
}

std::wstring BuildProgramFolder() {
    std::wstring own = TestProgramFolder();
    if (GetFileAttributesW((own + L"CDZorra_Detect.exe").c_str()) != INVALID_FILE_ATTRIBUTES) return own;
    std::wstring above = own.substr(0, own.size() - 1);
    return above.substr(0, above.find_last_of(L'\\') + 1);
}

namespace {

// The Unix path Wine maps a Windows path to, or empty.
std::wstring UnixPath(const std::wstring& path) {
    typedef char*(CDECL * UnixNameFunction)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixNameFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr) return std::wstring();
    char* name = unixName(path.c_str());
    if (name == nullptr) return std::wstring();
    std::string unixPath = name;
    HeapFree(GetProcessHeap(), 0, name);
    return std::wstring(unixPath.begin(), unixPath.end());
}

}  // namespace

bool MakeUnixLink(const std::wstring& link, const std::wstring& target) {
    std::wstring from = UnixPath(target);
    std::wstring to = UnixPath(link);
    if (from.empty() || to.empty()) return false;
    ProcessResult result = RunProgram(L"Z:\\bin\\ln", L"-s \"" + from + L"\" \"" + to + L"\"", 30000);
    return result.started && result.exitCode == 0;
}

bool RemoveUnixLink(const std::wstring& link) {
    std::wstring path = link;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    std::wstring unixPath = UnixPath(path);
    if (unixPath.empty()) return false;
    ProcessResult result = RunProgram(L"Z:\\bin\\rm", L"-f \"" + unixPath + L"\"", 30000);
    return result.started && result.exitCode == 0;
}

// chmod runs as the Unix program it is: Wine starts an ELF binary given to
// CreateProcess as such.
bool SetOthersWritable(const std::wstring& path, bool writable) {
    std::wstring unixPath = UnixPath(path);
    if (unixPath.empty()) return false;
    std::wstring arguments = std::wstring(writable ? L"o+w \"" : L"o-w \"") + unixPath + L"\"";
    ProcessResult result = RunProgram(L"Z:\\bin\\chmod", arguments, 30000);
    return result.started && result.exitCode == 0;
}
