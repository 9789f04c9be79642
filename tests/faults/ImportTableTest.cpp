// The exe must load on a bare Windows 2000, so its import table may name no
// function that came after it. scripts/check-exe.sh reads the import table of
// both builds from their files, on every host. The three functions the thread
// runtime needs from later releases have stand-ins (app/OldWindowsImports.cpp);
// this is the one of them with logic of its own.

#include <gtest/gtest.h>

#include "app/OldWindowsImports.h"

namespace {

TEST(ImportTable, TickCountStandInCountsWraps) {
    TickExtension state = {0, 0};
    EXPECT_EQ(ExtendTickCount(5, &state), 5u);
    EXPECT_EQ(ExtendTickCount(0xFFFFFFF0u, &state), 0xFFFFFFF0u);
    EXPECT_EQ(ExtendTickCount(0xFFFFFFF0u, &state), 0xFFFFFFF0u);
    EXPECT_EQ(ExtendTickCount(3, &state), 0x100000003ull);
    EXPECT_EQ(ExtendTickCount(10, &state), 0x10000000Aull);
}

}  // namespace
