/*
 * test_industry_silence.cpp - the station's silence limit with the real
 * service and its real 18 s: a station that authenticates and then says
 * nothing is dropped, and the unit returns to normal mode.
 */
#include "industBoard.h"

TEST(FactoryService, ASilentStationIsDroppedAfterEighteenSeconds)
{
    IndustBoard b;
    IbStation s;
    ASSERT_TRUE(b.startWith(s));
    uint64_t lastFrame = stationSimNowMs();
    ASSERT_TRUE(b.waitMode(KEL_MODE_INDUSTRY));

    ASSERT_EQ(1, stationSimWaitClosed(&s.st, 30000));
    uint64_t silentMs = stationSimNowMs() - lastFrame;
    EXPECT_GE(silentMs, 17500u);
    EXPECT_LE(silentMs, 22000u);
    EXPECT_TRUE(b.waitMode(KEL_MODE_NORMAL));
    EXPECT_TRUE(b.serviceRunning());
}
