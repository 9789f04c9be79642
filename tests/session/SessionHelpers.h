#pragma once
// Real windows and real processes for the user-session tests.

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "support/UserShell.h"

#include "tools/testdialog/TestDialogBuilder.h"

// A dialog shown by a thread of its own, which pumps its messages until the
// dialog is destroyed. The destructor closes it (WM_CLOSE) and joins.
//
// Under Wine without a window manager every visible top-level window takes
// two seconds to go: close many at once (Close on each, then destroy them),
// and the waits overlap.
class ShownDialog {
public:
    explicit ShownDialog(const TestDialogLayout& layout);
    ~ShownDialog();
    ShownDialog(const ShownDialog&) = delete;
    ShownDialog& operator=(const ShownDialog&) = delete;

    HWND Window() const { return window_; }
    // Asks the dialog to go, without waiting.
    void Close();

private:
    std::thread thread_;
    HWND window_ = nullptr;
};

// One line of a test client's marker file (see tools/testclient).
struct ClientMark {
    DWORD pid = 0;
    std::wstring winsta;
    std::wstring desktop;
    std::wstring user;
    UINT errorMode = 0;
    std::wstring cwd;
    std::vector<std::wstring> probes;  // "CDZ_PROBE_X=value" each
    std::wstring cmdline;
};

// testclient.exe of the build, copied into folder under name. The copies'
// clients are stopped and the file is removed by the destructor.
class TestClientCopy {
public:
    TestClientCopy(const std::wstring& folder, const std::wstring& name);
    ~TestClientCopy();
    TestClientCopy(const TestClientCopy&) = delete;
    TestClientCopy& operator=(const TestClientCopy&) = delete;

    bool Copied() const { return copied_; }
    const std::wstring& Path() const { return path_; }
    std::wstring MarkerPath() const { return path_ + L".marker"; }
    // The lines written so far.
    std::vector<ClientMark> Marks() const;
    // Waits (at most timeoutMs) until at least count lines were written.
    std::vector<ClientMark> WaitForMarks(size_t count, DWORD timeoutMs = 30000) const;
    // Ends every client started from this copy: removes the marker, waits for
    // them to go and terminates any that stays, and any that runs this copy
    // without a line in the marker. Returns how many had to be terminated.
    int StopClients();

private:
    std::wstring path_;
    bool copied_ = false;
};

// How many handles this process holds.
DWORD OwnHandleCount();

// Waits at most timeoutMs for the process to end; true when it ended.
bool WaitForProcessEnd(DWORD pid, DWORD timeoutMs);
