#pragma once
// GoogleTest fixture over the simulated modem: installs its driver once per
// test program, starts every test with the device unplugged and an empty
// view of the log, and unplugs it again at the end.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ErrorText.h"
#include "support/SimModem.h"
#include "support/TestFiles.h"

class SimModemFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!installed_) {
            std::wstring error;
            installed_ = SimModemInstall(BuildProgramFolder() + L"simmodem.sys", &error);
            installError_ = error;
        }
    }

    void SetUp() override {
        if (!installed_) {
            // Every test prefix runs kernel drivers (scripts/wine-env.sh
            // restarts a new prefix for that): the error says what failed.
            FAIL() << "installing the simulated modem: " << Narrow(installError_);
        }
        ASSERT_TRUE(SimModemUnplugAndSettle()) 
            << "the simulated modem does not settle unplugged: " << SimModemWaitReport();
        logStart_ = SimModemLogPosition();
    }

    void TearDown() override {
        if (installed_) SimModemUnplugAndSettle();
    }

    // Bounds a hang: Wine's device host may take seconds on a busy machine.
    static constexpr DWORD kSettleMs = 30000;

    void PlugAndSettle(const SIM_PLUG& plug = SimModemDefaultPlug()) {
        ASSERT_TRUE(SimModemPlug(plug)) << "plug failed: " << LastErrorText();
        ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_CDROM, kSettleMs)) 
            << "the CD-ROM face did not start: " << SimModemWaitReport();
    }

    // Events logged since the test began.
    std::vector<SIM_EVENT> Events() const { return SimModemReadLog(logStart_); }
    std::vector<SIM_EVENT> EventsOf(ULONG kind) const {
        std::vector<SIM_EVENT> found;
        for (const SIM_EVENT& event : Events()) {
            if (event.kind == kind) found.push_back(event);
        }
        return found;
    }

    static std::string Narrow(const std::wstring& text) {
        std::string narrow;
        for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
        return narrow;
    }

    ULONG logStart_ = 0;

private:
    static inline bool installed_ = false;
    static inline std::wstring installError_;
};
