// A wait on the simulated modem that runs out says what it waited for and
// what it saw instead.

#include "support/SimModemFixture.h"

namespace {

class WaitReport : public SimModemFixture {};

TEST_F(WaitReport, ATimedOutWaitNamesTheWantedStateAndTheStateSeen) {
    ASSERT_FALSE(SimModemWaitSettled(SIM_STATE_MODEM, 200));
    EXPECT_EQ("waited 200 ms for the simulated modem to settle modem (every face started, no removal pending); "
              "saw unplugged, 0 of 0 faces started, 0 removals pending, bus started",
              SimModemWaitReport());

    ASSERT_FALSE(SimModemWaitEvent(SimModemLogPosition(), SIM_EVENT_CDB, 200));
    EXPECT_EQ(0u, SimModemWaitReport().find("waited 200 ms for a \"cdb\" event from number ")) << SimModemWaitReport();

    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_UNPLUGGED, 1000)) << SimModemWaitReport();
    EXPECT_EQ("", SimModemWaitReport());
}

}  // namespace
