// Every test finds the prefix as a test must find it and leaves it so (see
// PrefixLeftovers): what a test left behind fails that test, and what an
// earlier process left (a test program that crashed) fails the next test.
// Either way it is removed after the report, so one leftover fails one test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSettings.h"

namespace {

// A service's process goes a moment after its last report, a client a moment
// after it was told to end: what is still there after this is a leftover.
const DWORD kProcessGraceMs = 10000;

void Check(const char* when, DWORD graceMs) {
    std::vector<std::string> found = PrefixLeftovers(graceMs);
    if (found.empty()) return;
    std::string list;
    for (const std::string& line : found) list += "\n  " + line;
    ADD_FAILURE() << when << ", the prefix is not as every test must find it:" << list;
    RemovePrefixLeftovers();
}

class LeftoverCheck : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { Check("Before the test (left by an earlier one)", 0); }
    // Runs before the result is printed: a failure here is the test's own.
    void OnTestEnd(const ::testing::TestInfo&) override { Check("After the test", kProcessGraceMs); }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new LeftoverCheck);
    return true;
}();

}  // namespace
