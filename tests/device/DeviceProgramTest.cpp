// The exe's device options against the real SetupAPI, run from a folder of
// their own with a driver script that names the synthetic devices.

#include <gtest/gtest.h>

#include <string>

#include "SyntheticDevices.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "device/DeviceEnum.h"
#include "support/ProcessRunner.h"
#include "support/TestFiles.h"

namespace {

std::wstring Tagged(const std::wstring& pattern) {
    std::wstring text = pattern;
    for (size_t at = text.find(L'@'); at != std::wstring::npos; at = text.find(L'@')) {
        text.replace(at, 1, L"CDZ" + SyntheticTag());
    }
    return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A copy of the exe with its own DrvScript folder.
class ExeFolder {
public:
    ExeFolder() {
        std::wstring exe = BuildProgramFolder() + L"CDZorra_Detect.exe";
        ready_ = !folder_.Path().empty() && CopyFileW(exe.c_str(), Exe().c_str(), FALSE) &&
                 CreateDirectoryW((folder_ / L"DrvScript").c_str(), nullptr);
    }
    bool Ready() const { return ready_; }
    std::wstring Exe() const { return folder_ / L"CDZorra_Detect.exe"; }
    std::wstring Folder() const { return folder_.Path(); }
    bool Script(const std::wstring& name, const std::wstring& text) const {
        return WriteFileBytes(folder_ / (L"DrvScript\\" + name), Narrow(text));
    }

private:
    TempFolder folder_;
    bool ready_ = false;
};

class DeviceProgramTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(exe.Ready());
        ASSERT_TRUE(exe.Script(L"cdz.ini", Tagged(L"[VidPid]\r\nCount=2\r\n0=USBSTOR\\CDROM&VEN_@&PROD_MODEM\r\n"
                                                   L"1=USB\\VID_@&PID_0001\r\n[Setup]\r\nVEN=VEN_@_NEVER\r\n")));
        ASSERT_TRUE(decoy.Ok() && cd.Ok()) << "a synthetic device cannot be made, error " << GetLastError();
        decoyPath = decoy.AddInterface(kGuidDevInterfaceCdRom);
        cdPath = cd.AddInterface(kGuidDevInterfaceCdRom);
        ASSERT_TRUE(cd.SetProperty(SPDRP_FRIENDLYNAME, L"CDZ Test Modem CD"));
        ASSERT_FALSE(decoyPath.empty());
        ASSERT_FALSE(cdPath.empty());
    }

    ExeFolder exe;
    // Made first, so it comes first in member order; not in the script.
    SyntheticDevice decoy{Tagged(L"USBSTOR\\CDROM&VEN_DECOY@&PROD_X\\7&3&0")};
    SyntheticDevice cd{Tagged(L"USBSTOR\\CDROM&VEN_@&PROD_MODEM&REV_1.00\\7&3&1")};
    std::wstring decoyPath;
    std::wstring cdPath;
};

TEST_F(DeviceProgramTest, CdbWithoutPathOpensTheSupportedCdRom) {
    ServedDevicePath decoyServed(decoyPath);
    ServedDevicePath cdServed(cdPath);
    ASSERT_TRUE(decoyServed.Ok() && cdServed.Ok()) << "a device path cannot be served, error " << GetLastError();
    ProcessResult r = RunProgram(exe.Exe(), L"-CDB 710300");
    ASSERT_TRUE(r.started) << r.failure;
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("", r.output);
    EXPECT_TRUE(cdServed.Opened()) << "the supported CD-ROM's path was not opened";
    EXPECT_FALSE(decoyServed.Opened()) << "a CD-ROM outside the driver script was opened";
}

TEST_F(DeviceProgramTest, ListShowsScriptDevicesFragmentsAndReadiness) {
    ASSERT_TRUE(exe.Script(L"zz_other.ini", L"[VidPid]\r\nCount=1\r\n0=USB\\\r\n"));
    SyntheticDevice modem(Tagged(L"USB\\VID_@&PID_0001&MI_00\\6&9&0"));
    ASSERT_TRUE(modem.Ok());
    std::wstring modemPath = modem.AddInterface(kGuidDevInterfaceModem);
    ASSERT_FALSE(modemPath.empty());

    ProcessResult r = RunProgram(exe.Exe(), L"-List");
    ASSERT_TRUE(r.started) << r.failure;
    EXPECT_EQ(0u, r.exitCode);
    const std::string& out = r.output;
    auto expectLine = [&out](const std::wstring& line) {
        EXPECT_NE(std::string::npos, out.find("\r\n" + Narrow(line) + "\r\n")) << "missing line: " << Narrow(line)
                                                                                << "\n--- output:\n" << out;
    };
    expectLine(L"Driver script: " + exe.Folder() + L"DrvScript\\cdz.ini");
    expectLine(L"  also present, not used: zz_other.ini");
    expectLine(Tagged(L"  [VidPid] 0 = \"USBSTOR\\CDROM&VEN_@&PROD_MODEM\" -> fragment \"CDROM&VEN_@&PROD_MODEM\""));
    expectLine(Tagged(L"  [Setup] VEN = \"VEN_@_NEVER\""));
    expectLine(L"     Device path:   " + cdPath);
    expectLine(L"     Friendly name: CDZ Test Modem CD");
    expectLine(Tagged(L"     Supported:     yes, by fragment \"CDROM&VEN_@&PROD_MODEM\" ([VidPid] 0)"));
    expectLine(Tagged(L"     Supported:     yes, by fragment \"VID_@&PID_0001\" ([VidPid] 1)"));
    expectLine(L"     Device path:   " + modemPath);
    expectLine(L"     -> the service takes this as the modem face: a CD-ROM arrival is then left alone");
    EXPECT_NE(std::string::npos, out.find("Supported:     no (")) << out;
    expectLine(L"Modem ready now: no: 2 supported device nodes present, 3 needed");
    expectLine(Tagged(L"On a CD-ROM arrival now the service would: do nothing, the supported modem face is already "
                      L"present (USB\\VID_@&PID_0001&MI_00\\6&9&0)."));
}

TEST_F(DeviceProgramTest, ListNamesTheEmptyEntryThatMakesEveryDeviceSupported) {
    ExeFolder other;
    ASSERT_TRUE(other.Ready());
    ASSERT_TRUE(other.Script(L"a.ini", L"[VidPid]\r\nCount=3\r\n0=USB\\VID_NONE\r\n2=USB\\VID_LATER\r\n"));
    ProcessResult r = RunProgram(other.Exe(), L"-List");
    ASSERT_TRUE(r.started) << r.failure;
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_NE(std::string::npos, r.output.find("\r\n  [VidPid] 1 = \"\" (empty: every device counts as supported)\r\n"))
        << r.output;
    EXPECT_EQ(std::string::npos, r.output.find("[VidPid] 2")) << "no entry after an empty one can match";
    EXPECT_NE(std::string::npos, r.output.find("Supported:     yes, by the empty entry [VidPid] 1, which matches every ID"))
        << r.output;
}

// Ten refused attempts cost ten seconds: with nothing supported there are none.
TEST_F(DeviceProgramTest, SafeRemoveWithNothingSupportedReturnsAtOnce) {
    ExeFolder other;
    ASSERT_TRUE(other.Ready());
    ASSERT_TRUE(other.Script(L"a.ini", Tagged(L"[VidPid]\r\nCount=1\r\n0=USB\\VID_@_NONE\r\n[Setup]\r\nVEN=@_NONE\r\n")));
    ProcessResult r = RunProgram(other.Exe(), L"-SafeRemove", 5000);
    ASSERT_TRUE(r.started) << r.failure;
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("", r.output);
}

TEST(DeviceProgram, ListWithoutScriptSaysEveryDeviceCounts) {
    ExeFolder bare;
    ASSERT_TRUE(bare.Ready());
    ProcessResult r = RunProgram(bare.Exe(), L"-list");
    ASSERT_TRUE(r.started) << r.failure;
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_NE(std::string::npos, r.output.find("\r\nDriver script: none (no " + Narrow(bare.Folder()) +
                                               "DrvScript\\*.ini): every device counts as supported.\r\n"
                                               "Driver script check:\r\n  there is no script: every CD-ROM whose "
                                               "instance ID holds \"&\", the machine's own drives included, would be "
                                               "sent the switch command\r\n"))
        << r.output;
}

// The check as an administrator sees it (docs/driver-script.md shows this
// script and its check), and a script the exe cannot open.
TEST(DeviceProgram, ListChecksTheDriverScript) {
    ExeFolder folder;
    ASSERT_TRUE(folder.Ready());
    ASSERT_TRUE(folder.Script(L"modems.ini", L"[VidPid]\r\nCount=3\r\n0=USB\\VID_12D1&PID_1001\r\n  # ZTE sticks\r\n"
                                             L"1=USB\\VID_19D2&PID_2000\r\n2=USB\\VID_19D2&PID_0031\r\n[Setup]\r\n"
                                             L"VEN=VID_1C9E&PID_9605\r\nIsDX=1\r\n"));
    ProcessResult r = RunProgram(folder.Exe(), L"-List");
    ASSERT_TRUE(r.started) << r.failure;
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_NE(std::string::npos,
              r.output.find("\r\nDriver script check:\r\n"
                            "  line 4: \"  # ZTE sticks\" ends the reading: a \"#\" starts a comment only in the first "
                            "column; lines 5 to 9 are never read, which leaves out [VidPid] 1 = "
                            "\"USB\\VID_19D2&PID_2000\", [VidPid] 2 = \"USB\\VID_19D2&PID_0031\", [Setup] VEN = "
                            "\"VID_1C9E&PID_9605\", [Setup] IsDX = \"1\"\r\n"
                            "  [VidPid] Count = 3, but only 1 of the entries 0 to 2 are present (the first missing one "
                            "is 1)\r\n"
                            "  [VidPid] 1 is missing: it matches every device (and no later entry is ever tested), so "
                            "every CD-ROM whose instance ID holds \"&\", the machine's own drives included, would be "
                            "sent the switch command\r\n\r\n"))
        << r.output;

    // Held open by another program that shares nothing: the script exists
    // but cannot be read, so nothing counts as supported, and -List says so.
    UniqueFileHandle held(CreateFileW((folder.Folder() + L"DrvScript\\modems.ini").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    r = RunProgram(folder.Exe(), L"-List");
    EXPECT_NE(std::string::npos, r.output.find("DrvScript\\modems.ini exists but cannot be read (error 32, ")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("): no device counts as supported and no switch rule is sent until it "
                                               "can be; the service reads it again every few seconds and at each "
                                               "arrival.\r\nDriver script check:\r\n  not checked: the script "
                                               "cannot be read\r\n"))
        << r.output;
}

}  // namespace
