#include "common/Trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "common/Handles.h"
#include "support/ProcessRunner.h"
#include "support/TestSettings.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

TEST(FormatTrace, Table) {
    EXPECT_EQ(L"CreateService  Successfully.\n", FormatTrace(L"CreateService  Successfully.\n"));
    EXPECT_EQ(L"OpenSCManager FAILED (5)\n", FormatTrace(L"OpenSCManager FAILED (%d)\n", 5));
    EXPECT_EQ(L"x -2147483648 y", FormatTrace(L"x %d y", static_cast<int>(0x80000000u)));
    EXPECT_EQ(L"StartServiceCtrlDispatcher Error code : 4294967295.\n",
              FormatTrace(L"StartServiceCtrlDispatcher Error code : %u.\n", 0xFFFFFFFFu));
    EXPECT_EQ(L"IsSupportedID Found OK :USB\\VID_1  VID_1",
              FormatTrace(L"IsSupportedID Found OK :%s  %s", L"USB\\VID_1", L"VID_1"));
    EXPECT_EQ(L"1.1 SymblicName:\t \\\\?\\usb#x \r\n",
              FormatTrace(L"%d.1 SymblicName:\t %s \r\n", 1, L"\\\\?\\usb#x"));
    EXPECT_EQ(L"\x4e2d\x6587 (null)", FormatTrace(L"%s %s", L"\x4e2d\x6587", static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(L"100% ff %q %", FormatTrace(L"100%% %x %q %", 255u));
    EXPECT_EQ(L"", FormatTrace(L""));
}

TEST(FormatTraceFileLine, PrefixAndLineEndRemoved) {
    SYSTEMTIME t = {};
    t.wYear = 2026; t.wMonth = 3; t.wDay = 7; t.wHour = 4; t.wMinute = 5; t.wSecond = 6; t.wMilliseconds = 7;
    EXPECT_EQ(L"2026-03-07 04:05:06.007 [42] Service stopped successfully",
              FormatTraceFileLine(t, 42, L"Service stopped successfully\r\n"));
    EXPECT_EQ(L"2026-03-07 04:05:06.007 [42] StartMonitoring....", FormatTraceFileLine(t, 42, L"StartMonitoring...."));
}

TEST(Trace, KeepsLastErrorAndReachesListeners) {
    ScopedTraceCapture capture;
    SetLastError(0xdeadbeef);
    Trace(L"Error CreateFile: %s, Error Code: %d\n", L"\\\\.\\E:", 2);
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    ASSERT_EQ(1u, capture.Messages().size());
    EXPECT_EQ(L"Error CreateFile: \\\\.\\E:, Error Code: 2\n", capture.Messages()[0]);
}

// A hold keeps its thread's messages, in order and with the time each was
// traced, until it is released; another thread's go at once, and a hold
// inside a hold keeps nothing of its own.
TEST(TraceHold, KeepsTheThreadsMessagesUntilReleased) {
    TempFolder folder;
    std::wstring path = folder / L"trace.log";
    TraceFileSetting setting(path);
    ScopedTraceCapture capture;
    {
        ScopedTraceHold hold;
        Trace(L"first\n");
        {
            ScopedTraceHold inner;
            Trace(L"second\n");
        }
        EXPECT_TRUE(capture.Messages().empty()) << "the inner hold wrote the outer one's messages";
        Sleep(20);  // the other thread's line is stamped a later millisecond
        std::thread([] { Trace(L"another thread\n"); }).join();
        EXPECT_EQ(std::vector<std::wstring>{L"another thread\n"}, capture.Messages());
        SetLastError(0xdeadbeef);
        hold.Release();
        EXPECT_EQ(0xdeadbeefu, GetLastError());
        Trace(L"third\n");
    }
    EXPECT_EQ((std::vector<std::wstring>{L"another thread\n", L"first\n", L"second\n", L"third\n"}),
              capture.Messages());
    std::string text = ReadFileBytes(path);
    size_t first = text.find("] first");
    size_t other = text.find("] another thread");
    ASSERT_NE(std::string::npos, first) << text;
    ASSERT_NE(std::string::npos, other) << text;
    // Written after the other thread's line, stamped before it.
    EXPECT_LT(other, first) << text;
    auto stamp = [&text](size_t at) { return text.substr(text.rfind('\n', at) + 1, 23); };
    EXPECT_LT(stamp(first), stamp(other)) << text;
}

// What one thread kept goes with its work to another thread's hold: written
// there before that hold's own lines, once it is released; a thread with no
// hold of its own writes them at once.
TEST(TraceHold, LinesHandedToAnotherThreadAreWrittenFirstThere) {
    ScopedTraceCapture capture;
    HeldTraceLines handed;
    {
        ScopedTraceHold hold;
        Trace(L"event\n");
        hold.TakeHeld(handed);
        Trace(L"event, after\n");
    }
    EXPECT_EQ(std::vector<std::wstring>{L"event, after\n"}, capture.Messages());
    std::thread([&handed] {
        ScopedTraceHold hold;
        Trace(L"worker\n");
        hold.AddHeld(handed);
        EXPECT_TRUE(handed.empty());
    }).join();
    EXPECT_EQ((std::vector<std::wstring>{L"event, after\n", L"event\n", L"worker\n"}), capture.Messages());

    {
        ScopedTraceHold hold;
        Trace(L"again\n");
        hold.TakeHeld(handed);
    }
    std::thread([&handed] {
        ScopedTraceHold outer;
        ScopedTraceHold inner;  // keeps nothing of its own
        inner.AddHeld(handed);
    }).join();
    EXPECT_EQ(L"again\n", capture.Messages().back());
    WriteHeldTraceLines(handed);  // nothing left to write
    EXPECT_EQ(4u, capture.Messages().size());
}

TEST(TraceFile, AppendsUtf8LinesFromManyThreads) {
    TempFolder folder;
    std::wstring path = folder / L"trace.log";
    {
        TraceFileSetting setting(path);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 50; ++i) Trace(L"thread %d message %d \x4e2d\x6587\n", t, i);
            });
        }
        for (auto& th : threads) th.join();
    }
    std::string text = ReadFileBytes(path);
    std::istringstream lines(text);
    std::string line;
    std::set<std::string> seen;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ('\r', line.back());
        line.pop_back();
        // "YYYY-MM-DD hh:mm:ss.mmm [tid] thread t message i 中文"
        ASSERT_GT(line.size(), 24u);
        EXPECT_EQ('-', line[4]);
        EXPECT_EQ('.', line[19]);
        size_t body = line.find("] ");
        ASSERT_NE(std::string::npos, body);
        std::string message = line.substr(body + 2);
        EXPECT_EQ(message.substr(message.size() - 6), "\xe4\xb8\xad\xe6\x96\x87");
        seen.insert(message);
        ++count;
    }
    EXPECT_EQ(200, count);
    EXPECT_EQ(200u, seen.size());
}

TEST(TraceFile, UnwritablePlacesDisturbNothing) {
    TempFolder folder;
    const std::wstring places[] = {
        folder / L"no\\such\\folder\\trace.log",
        folder.Path(),  // a folder, not a file
        L"",
    };
    for (const auto& place : places) {
        TraceFileSetting setting(place);
        ScopedTraceCapture capture;
        SetLastError(1234);
        Trace(L"still fine %d\n", 1);
        EXPECT_EQ(1234u, GetLastError());
        EXPECT_EQ(1u, capture.Count(L"still fine 1\n"));
    }
}

// SYSTEM writes no trace file that a user could redirect: none in a folder
// ordinary users may change (where a link could take its place), and none
// that is itself a link. Each is said once, to the debugger and the
// listeners; the trace goes on there.
TEST(TraceFile, NoFileInAFolderUsersMayChangeNorThroughALink) {
    TempFolder folder;
    {
        std::wstring path = folder / L"open\\trace.log";
        ASSERT_TRUE(CreateDirectoryW((folder / L"open").c_str(), nullptr));
        OthersWritable writable(folder / L"open");
        ASSERT_TRUE(writable.done());
        TraceFileSetting setting(path);
        ScopedTraceCapture capture;
        Trace(L"first\n");
        ReloadTraceSettings();
        Trace(L"second\n");
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str())) << "written in a folder users may change";
        EXPECT_EQ(1u, capture.Count(L"first\n"));
        EXPECT_EQ(1u, capture.Count(L"Trace: the trace file " + path + L" is not written: its folder " + folder.Path() +
                                    L"open\\ can be changed by ordinary users: Everyone (write data, append data, "
                                    L"write EA, write attributes, delete child, delete).\n"));
        EXPECT_EQ(3u, capture.Messages().size());
    }
    {
        // A second name for a file elsewhere, made while nobody watched.
        std::wstring path = folder / L"trace.log";
        std::wstring target = folder / L"elsewhere.bat";
        ASSERT_TRUE(WriteFileBytes(target, "@echo off\r\n"));
        ASSERT_TRUE(CreateHardLinkW(path.c_str(), target.c_str(), nullptr)) << GetLastError();
        TraceFileSetting setting(path);
        ScopedTraceCapture capture;
        Trace(L"through the link\n");
        Trace(L"again\n");
        EXPECT_EQ("@echo off\r\n", ReadFileBytes(target));
        EXPECT_EQ(1u, capture.Count(L"Trace: the trace file " + path + L" is not written: it has 2 hard links.\n"));
        EXPECT_EQ(3u, capture.Messages().size());
        DeleteFileW(path.c_str());
    }
}

// The folder must be there, and pass, when the line is written: a folder
// that is missing is refused, and stays refused once someone makes it until
// it passes (here: made writable by everyone, then taken back); a folder
// reached through a link is refused though its target would pass.
TEST(TraceFile, AMissingFolderIsRefusedUntilItIsThereAndPasses) {
    TempFolder folder;
    std::wstring logs = folder / L"Logs\\";
    std::wstring path = logs + L"cdzorra.log";
    TraceFileSetting setting(path);
    const std::wstring refused = L"Trace: the trace file " + path + L" is not written: ";
    {
        ScopedTraceCapture capture;
        ReloadTraceSettings();
        Trace(L"no folder\n");
        ReloadTraceSettings();
        Trace(L"no folder yet\n");
        EXPECT_EQ(1u, capture.Count(refused + L"its folder " + logs + L" does not exist.\n"));
    }
    ASSERT_TRUE(CreateDirectoryW(logs.c_str(), nullptr));
    {
        OthersWritable writable(logs);
        ASSERT_TRUE(writable.done());
        ScopedTraceCapture capture;
        ReloadTraceSettings();
        Trace(L"made by someone\n");
        EXPECT_EQ(1u, capture.Count(refused + L"its folder " + logs +
                                    L" can be changed by ordinary users: Everyone (write data, append data, write EA, "
                                    L"write attributes, delete child, delete).\n"));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    }
    ReloadTraceSettings();
    Trace(L"now it passes\n");
    EXPECT_NE(std::string::npos, ReadFileBytes(path).find("] now it passes\r\n"));
    EXPECT_EQ(std::string::npos, ReadFileBytes(path).find("made by someone"));

    UnixLink link(folder / L"Linked", logs);
    ASSERT_TRUE(link.made());
    std::wstring linked = folder / L"Linked\\cdzorra.log";
    TraceFileSetting linkSetting(linked);
    ScopedTraceCapture capture;
    ReloadTraceSettings();
    Trace(L"through a link\n");
    EXPECT_EQ(1u, capture.Count(L"Trace: the trace file " + linked + L" is not written: its folder " +
                                folder.Path() + L"Linked\\ can be changed by ordinary users: " + folder.Path() +
                                L"Linked\\ is a reparse point (a link or junction).\n"));
    EXPECT_EQ(std::string::npos, ReadFileBytes(path).find("through a link"));
    DeleteFileW(path.c_str());
}

// At 10 MB the file rolls over once: it becomes "<name>.1", replacing an
// older one, and the line starts a new file.
TEST(TraceFile, RollsOverOnceAtTenMegabytes) {
    TempFolder folder;
    std::wstring path = folder / L"trace.log";
    std::string full(static_cast<size_t>(kTraceFileLimit) - 10, 'x');
    ASSERT_TRUE(WriteFileBytes(path, full));
    ASSERT_TRUE(WriteFileBytes(path + L".1", "an older rollover"));
    TraceFileSetting setting(path);
    ReloadTraceSettings();
    Trace(L"past the limit\n");
    EXPECT_EQ(full.size(), ReadFileBytes(path + L".1").size());
    std::string fresh = ReadFileBytes(path);
    EXPECT_NE(std::string::npos, fresh.find("] past the limit\r\n")) << fresh.substr(0, 200);
    EXPECT_LT(fresh.size(), 200u);
    DeleteFileW((path + L".1").c_str());
    DeleteFileW(path.c_str());
}

// Once the setting is removed nothing goes to the file it named: a message
// after that would make the file anew.
TEST(TraceFile, NoSettingWritesNoFile) {
    TempFolder folder;
    std::wstring path = folder / L"trace.log";
    {
        TraceFileSetting setting(path);
        Trace(L"while set\n");
    }
    ASSERT_NE(std::string::npos, ReadFileBytes(path).find("] while set\r\n")) << "the setting wrote nothing";
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    Trace(L"nowhere\n");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str())) << "written after the setting went";
}

// The service and a command line may trace into one file at the same time:
// every line of both arrives, whole and on a line of its own.
TEST(TraceFile, TwoProcessesAppendingAtOnceKeepEveryLineWhole) {
    TempFolder folder;
    std::wstring path = folder / L"trace.log";
    TraceFileSetting setting(path);
    const int kLines = 3000;
    const wchar_t* tags[] = {L"first", L"second"};
    ProcessResult results[2];
    {
        std::vector<std::thread> writers;
        for (int w = 0; w < 2; ++w) {
            writers.emplace_back([&, w] {
                results[w] = RunProgram(BuildProgramFolder() + L"config_probe.exe",
                                        L"trace " + std::to_wstring(kLines) + L" " + tags[w], 120000);
            });
        }
        for (auto& writer : writers) writer.join();
    }
    for (const ProcessResult& result : results) {
        ASSERT_TRUE(result.started) << result.failure;
        ASSERT_EQ("trace=3000\n", result.output);
    }
    std::istringstream lines(ReadFileBytes(path));
    std::string line;
    std::map<std::string, std::set<int>> numbers;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        // "YYYY-MM-DD hh:mm:ss.mmm [tid] first 17\r"
        size_t body = line.find("] ");
        ASSERT_TRUE(line.size() > 26 && line[4] == '-' && line[19] == '.' && line[24] == '[' &&
                    body != std::string::npos && line.back() == '\r')
            << "line " << count << " is not whole: " << line;
        std::istringstream words(line.substr(body + 2));
        std::string tag;
        int number = -1;
        std::string rest;
        words >> tag >> number;
        EXPECT_FALSE(static_cast<bool>(words >> rest)) << "two messages on one line: " << line;
        numbers[tag].insert(number);
    }
    EXPECT_EQ(2 * kLines, count);
    EXPECT_EQ(static_cast<size_t>(kLines), numbers["first"].size());
    EXPECT_EQ(static_cast<size_t>(kLines), numbers["second"].size());
}

// A program that reads the trace file and locks all of it (log viewers,
// backup and virus scanners do) does not hold up the threads that trace: each
// line is written without the append lock, or counted and said later.
TEST(TraceFile, AReaderThatLocksTheFileStallsNoTrace) {
    TempFolder folder;
    std::wstring path = folder / L"trace.log";
    ASSERT_TRUE(WriteFileBytes(path, ""));
    TraceFileSetting setting(path);
    UniqueFileHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader.valid());
    OVERLAPPED whole = {};
    ASSERT_TRUE(LockFileEx(reader.get(), 0, 0, MAXDWORD, MAXDWORD, &whole)) << GetLastError();

    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread tracer([&done] {
        for (int i = 1; i <= 3; ++i) Trace(L"while locked %d\n", i);
        SetEvent(done.get());
    });
    // A guard against a hang, not a measure: a stall lasts as long as the lock.
    DWORD waited = WaitForSingleObject(done.get(), 20000);
    UnlockFileEx(reader.get(), 0, MAXDWORD, MAXDWORD, &whole);
    tracer.join();
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), waited) << "tracing waited for the reader's lock";
    reader.reset();

    Trace(L"after the lock\n");
    std::string text = ReadFileBytes(path);
    int accounted = 0;
    for (int i = 1; i <= 3; ++i) accounted += text.find("while locked " + std::to_string(i)) != std::string::npos;
    size_t notice = text.find("Trace: ");
    if (notice != std::string::npos) accounted += std::stoi(text.substr(notice + 7));
    EXPECT_EQ(3, accounted) << text;
    EXPECT_NE(std::string::npos, text.find("] after the lock\r\n")) << text;
}

// A capture ends while another thread traces: once RemoveTraceListener has
// returned, its listener runs no more, and a call already under way has ended.
TEST(TraceListener, RemovalWaitsForACallInFlight) {
    UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    int id = AddTraceListener([&](const std::wstring& message) {
        if (message != L"slow listener\n") return;
        ++calls;
        SetEvent(entered.get());
        Sleep(300);  // long enough for the removal to come in meanwhile
        finished = true;
    });
    std::thread tracer([] { Trace(L"slow listener\n"); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 30000));
    RemoveTraceListener(id);
    EXPECT_TRUE(finished) << "RemoveTraceListener returned while its listener was still running";
    Trace(L"slow listener\n");
    EXPECT_EQ(1, calls.load());
    tracer.join();
}

}  // namespace
