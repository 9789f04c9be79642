#include "session/UnsafeRemovalDialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "SessionHelpers.h"
#include "common/Handles.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

BOOL CALLBACK AppendVisible(HWND window, LPARAM parameter) {
    if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

std::vector<HWND> VisibleTopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(AppendVisible, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

class UnsafeRemovalDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Without a display Wine makes no window at all.
        TestDialogLayout hidden;
        hidden.visible = false;
        ShownDialog probe(hidden);
        ASSERT_NE(nullptr, probe.Window()) << "no window can be made: the suites run with a display (Xvfb)";
        ASSERT_EQ(nullptr, GetUnSafeRemoveWnd2K()) << "a matching dialog is on the desktop already";
    }
    void TearDown() override {
        // Every dialog of a case is gone before the next case looks.
        EXPECT_EQ(nullptr, GetUnSafeRemoveWnd2K());
    }
};

TestDialogLayout Layout(int statics, int buttons, int listViews) {
    TestDialogLayout layout;
    layout.statics = statics;
    layout.buttons = buttons;
    layout.listViews = listViews;
    layout.plain = true;
    return layout;
}

// Dialogs that live together; they are asked to go all at once, so that
// their closing waits overlap.
class DialogSet {
public:
    ~DialogSet() {
        for (auto& dialog : dialogs_) dialog->Close();
    }
    HWND Add(const TestDialogLayout& layout) {
        dialogs_.push_back(std::make_unique<ShownDialog>(layout));
        return dialogs_.back()->Window();
    }

private:
    std::vector<std::unique_ptr<ShownDialog>> dialogs_;
};

std::string Title(HWND window) {
    char title[128] = {};
    if (!window) return "none";
    GetWindowTextA(window, title, sizeof(title));
    return "\"" + std::string(title) + "\" (" + std::to_string(reinterpret_cast<UINT_PTR>(window)) + ")";
}

std::string Titles(const std::vector<HWND>& windows) {
    std::string text;
    for (HWND window : windows) text += (text.empty() ? "" : ", ") + Title(window);
    return text;
}

// The first of the windows in EnumWindows order, or null.
HWND FirstListed(const std::vector<HWND>& among) {
    for (HWND window : VisibleTopLevelWindows()) {
        for (HWND candidate : among) {
            if (window == candidate) return window;
        }
    }
    return nullptr;
}

TEST_F(UnsafeRemovalDialogTest, FingerprintOfVisibleControls) {
    struct Case {
        const char* what;
        TestDialogLayout layout;
        bool matches;
    };
    std::vector<Case> cases = {
        {"a seventh static", Layout(7, 2, 1), false},
        {"a third button", Layout(6, 3, 1), false},
        {"a second list view", Layout(6, 2, 2), false},
        {"five statics", Layout(5, 2, 1), false},
        {"one button", Layout(6, 1, 1), false},
        {"no list view", Layout(6, 2, 0), false},
    };
    TestDialogLayout hiddenShort = Layout(5, 2, 1);
    hiddenShort.hiddenStatics = 1;
    cases.push_back({"a hidden static does not make up for a missing one", hiddenShort, false});
    TestDialogLayout nestedExtra = Layout(7, 2, 1);
    nestedExtra.nested = true;
    cases.push_back({"nested controls count towards too many", nestedExtra, false});
    TestDialogLayout hiddenDialog = Layout(6, 2, 1);
    hiddenDialog.visible = false;
    cases.push_back({"a hidden dialog", hiddenDialog, false});
    cases.push_back({"the exact make-up", Layout(6, 2, 1), true});
    TestDialogLayout hiddenExtras = Layout(6, 2, 1);
    hiddenExtras.hiddenStatics = 1;
    hiddenExtras.hiddenButtons = 2;
    hiddenExtras.hiddenListViews = 1;
    cases.push_back({"hidden controls do not count", hiddenExtras, true});
    TestDialogLayout nested = Layout(6, 2, 1);
    nested.nested = true;
    cases.push_back({"controls nested in a child panel count", nested, true});

    DialogSet dialogs;
    std::vector<HWND> matching;
    HWND nestedDialog = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.matches && matching.empty()) {
            HWND nearMiss = GetUnSafeRemoveWnd2K();
            EXPECT_EQ(nullptr, nearMiss) << "among the near misses alone: " << Title(nearMiss);
        }
        TestDialogLayout layout = c.layout;
        layout.title.assign(c.what, c.what + strlen(c.what));
        HWND window = dialogs.Add(layout);
        ASSERT_NE(nullptr, window);
        EXPECT_EQ(c.matches, IsUnsafeRemovalDialog(window));
        if (c.matches) matching.push_back(window);
        if (c.matches && c.layout.nested) nestedDialog = window;
    }
    // Several match: the first that EnumWindows reports is the one.
    HWND found = GetUnSafeRemoveWnd2K();
    EXPECT_NE(matching.end(), std::find(matching.begin(), matching.end(), found)) << "found " << Title(found);
    EXPECT_EQ(FirstListed(matching), found) << "not the first match in EnumWindows order";

    ASSERT_NE(nullptr, nestedDialog);
    EXPECT_EQ(L"#32770", GetWindowClassName(nestedDialog));
    EXPECT_EQ(6u, FindDescendantsByClass(nestedDialog, L"STATIC").size());
    EXPECT_EQ(2u, FindDescendantsByClass(nestedDialog, L"button").size());
    EXPECT_EQ(1u, FindDescendantsByClass(nestedDialog, L"syslistview32").size());
    // The panel that holds the nested controls is a descendant as well.
    EXPECT_EQ(1u, FindDescendantsByClass(nestedDialog, L"cdztestpanel").size());
    EXPECT_TRUE(FindDescendantsByClass(nestedDialog, L"Stat").empty());
}

TEST_F(UnsafeRemovalDialogTest, GoneWindowGivesEmptyAnswers) {
    HWND gone;
    {
        TestDialogLayout layout;
        layout.visible = false;
        ShownDialog dialog(layout);
        gone = dialog.Window();
        ASSERT_EQ(L"#32770", GetWindowClassName(gone));
    }
    ASSERT_FALSE(IsWindow(gone));
    EXPECT_EQ(L"", GetWindowClassName(gone));
    EXPECT_TRUE(FindDescendantsByClass(gone, L"Static").empty());
    EXPECT_FALSE(IsUnsafeRemovalDialog(gone));
    EXPECT_FALSE(IsUnsafeRemovalDialog(nullptr));
}

// The dialog of another process, closed the way the service closes it.
TEST_F(UnsafeRemovalDialogTest, PostedCloseEndsTheDialogFound) {
    TempFolder folder;
    std::wstring ready = folder / L"ready.txt";
    std::wstring readyEvent = L"CDZTestDialogReady." + std::to_wstring(GetCurrentProcessId());
    UniqueHandle readyShown(CreateEventW(nullptr, TRUE, FALSE, readyEvent.c_str()));
    ASSERT_TRUE(readyShown.valid()) << GetLastError();
    std::wstring commandLine = L"\"" + BuildProgramFolder() + L"testdialog.exe\" nested hiddenstatic=2 \"title=Unsafe "
                               L"Removal of Device\" lifetime=60000 \"ready=" + ready + L"\" readyevent=" + readyEvent;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info))
        << GetLastError();
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    // The dialog program ends with the test, whichever way the test ends.
    struct EndAtExit {
        HANDLE process;
        ~EndAtExit() {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT && TerminateProcess(process, 1)) {
                WaitForSingleObject(process, 30000);
            }
        }
    } endAtExit{process.get()};
    // The program sets the event once its dialog exists; the deadline bounds
    // a hang (a busy machine may take seconds to start a program).
    const HANDLE shownOrEnded[] = {readyShown.get(), process.get()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, shownOrEnded, FALSE, 30000)) << "testdialog did not come up";
    std::string text = ReadFileBytes(ready);
    ASSERT_FALSE(text.empty()) << "testdialog wrote no ready file";
    HWND shown = reinterpret_cast<HWND>(static_cast<UINT_PTR>(strtoull(text.c_str() + 5, nullptr, 16)));

    HWND found = GetUnSafeRemoveWnd2K();
    EXPECT_EQ(shown, found);
    EXPECT_EQ(L"Unsafe Removal of Device", [&] {
        wchar_t title[64] = {};
        GetWindowTextW(found, title, 64);
        return std::wstring(title);
    }());
    ASSERT_TRUE(PostMessageW(found, WM_CLOSE, 0, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 30000)) << "the dialog stayed after WM_CLOSE";
    DWORD exitCode = 99;
    GetExitCodeProcess(process.get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
    EXPECT_FALSE(IsWindow(found));
}

TEST(UnsafeRemovalDialogEmptyDesktop, NoVisibleWindowIsTraced) {
    // No test leaves a window: one here was left by an earlier test.
    ASSERT_EQ("", Titles(VisibleTopLevelWindows())) << "visible windows are on this desktop";
    ScopedTraceCapture capture;
    EXPECT_EQ(nullptr, GetUnSafeRemoveWnd2K());
    ASSERT_EQ(1u, capture.Messages().size());
    EXPECT_EQ(0u, capture.Messages()[0].rfind(L"EnumTop error :", 0));
}

}  // namespace
