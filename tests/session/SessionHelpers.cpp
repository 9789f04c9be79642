#include "SessionHelpers.h"

#include <tlhelp32.h>

#include <future>

#include "common/Handles.h"
#include "common/StringUtil.h"
#include "support/ProcessFigures.h"
#include "support/TestFiles.h"

ShownDialog::ShownDialog(const TestDialogLayout& layout) {
    std::promise<HWND> created;
    std::future<HWND> window = created.get_future();
    thread_ = std::thread([&layout, &created] {
        HWND dialog = CreateTestDialog(layout);
        created.set_value(dialog);
        if (!dialog) return;
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    });
    window_ = window.get();
}

ShownDialog::~ShownDialog() {
    Close();
    thread_.join();
}

void ShownDialog::Close() {
    if (window_ && IsWindow(window_)) PostMessageW(window_, WM_CLOSE, 0, 0);
}

namespace {

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

// The value of "name=" up to the next blank; the command line runs to the end.
std::wstring Field(const std::wstring& line, const std::wstring& name) {
    size_t at = line.find(L" " + name + L"=");
    size_t start = line.compare(0, name.size() + 1, name + L"=") == 0 ? name.size() + 1
                   : at == std::wstring::npos                         ? std::wstring::npos
                                                                      : at + name.size() + 2;
    if (start == std::wstring::npos) return std::wstring();
    if (name == L"cmdline") return line.substr(start);
    size_t end = line.find(L' ', start);
    return line.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::wstring Unescaped(const std::wstring& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, L"%20") == 0) {
            out += L' ';
            i += 2;
        } else if (text.compare(i, 3, L"%2C") == 0) {
            out += L',';
            i += 2;
        } else if (text.compare(i, 3, L"%25") == 0) {
            out += L'%';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

TestClientCopy::TestClientCopy(const std::wstring& folder, const std::wstring& name) : path_(folder + name) {
    copied_ = CopyFileW((BuildProgramFolder() + L"testclient.exe").c_str(), path_.c_str(), TRUE) != FALSE;
}

TestClientCopy::~TestClientCopy() {
    StopClients();
    if (copied_) DeleteFileW(path_.c_str());
}

std::vector<ClientMark> TestClientCopy::Marks() const {
    std::wstring text = Utf8ToWide(ReadFileBytes(MarkerPath()));
    std::vector<ClientMark> marks;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        std::wstring line = text.substr(start, end - start);
        ClientMark mark;
        mark.pid = wcstoul(Field(line, L"pid").c_str(), nullptr, 10);
        mark.winsta = Field(line, L"winsta");
        mark.desktop = Field(line, L"desktop");
        mark.user = Field(line, L"user");
        mark.errorMode = wcstoul(Field(line, L"errormode").c_str(), nullptr, 10);
        mark.cwd = Unescaped(Field(line, L"cwd"));
        std::wstring probes = Field(line, L"probes");
        for (size_t start = 0; start < probes.size();) {
            size_t comma = probes.find(L',', start);
            if (comma == std::wstring::npos) comma = probes.size();
            mark.probes.push_back(Unescaped(probes.substr(start, comma - start)));
            start = comma + 1;
        }
        mark.cmdline = Field(line, L"cmdline");
        marks.push_back(mark);
    }
    return marks;
}

std::vector<ClientMark> TestClientCopy::WaitForMarks(size_t count, DWORD timeoutMs) const {
    const DWORD start = GetTickCount();
    std::vector<ClientMark> marks = Marks();
    while (marks.size() < count && GetTickCount() - start < timeoutMs) {
        Sleep(20);
        marks = Marks();
    }
    return marks;
}

int TestClientCopy::StopClients() {
    std::vector<ClientMark> marks = Marks();
    // Every client of this copy sees its marker go within 50 ms and ends.
    DeleteFileW(MarkerPath().c_str());
    std::vector<RunningProgram> clients;
    for (const ClientMark& mark : marks) clients.push_back({mark.pid, path_});
    WaitForProgramsToEnd(clients, 5000);
    // Any still there, and any that runs this copy without a line in the
    // marker (started after the marker went), is ended.
    size_t slash = path_.find_last_of(L'\\');
    std::vector<RunningProgram> left;
    for (const RunningProgram& program : RunningPrograms({path_.substr(slash + 1)})) {
        if (EqualsIgnoreCaseAscii(program.path, path_)) left.push_back(program);
    }
    EndPrograms(left);
    return static_cast<int>(left.size());
}

DWORD OwnHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
    // Wine answers 0 above; its system-wide handle list is real.
    long counted = SystemTableHandleCount(GetCurrentProcessId());
    return counted < 0 ? 0 : static_cast<DWORD>(counted);
}

bool WaitForProcessEnd(DWORD pid, DWORD timeoutMs) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) return true;  // already gone
    return WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}
