/*
 * The LED thread as the daemon runs it: it stays away from the hardware
 * until the first pattern arrives, then sets up the triggers and blinks the
 * alarm LED on the real tick. Own executable: the thread never ends.
 */
#include <gtest/gtest.h>

#include <string>

#include "kel.h"
#include "test_led_harness.h"

namespace {

/* Waits up to `ms` for `file` to read `want`. */
bool waitFor(const KelTestRoot &root, const std::string &file, const std::string &want, int ms)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (root.read(file) == want) {
            return true;
        }
        kelSleep(5);
    }
    return root.read(file) == want;
}

} // namespace

TEST(LedThread, SetsUpTheLedsOnTheFirstPatternAndBlinksTheAlarm)
{
    KelTestRoot root;
    ASSERT_TRUE(ledBoardMake(root));
    ASSERT_TRUE(ledThreadStart());

    /* No pattern yet: the hardware keeps the kernel's defaults. */
    kelSleep(100);
    EXPECT_EQ("", root.read(std::string(kLedGreen) + "/trigger"));
    EXPECT_EQ(KEL_FALSE, KEL_LOAD(bLedInited));

    /* 200 ms on, 200 ms off. */
    KELNS_patternData_t blink = {400, 50, 1, 0};
    ASSERT_EQ(1, kelSetAlarmLED(&blink));
    EXPECT_TRUE(waitFor(root, std::string(kLedGreen) + "/trigger", "timer", 2000));
    EXPECT_TRUE(waitFor(root, std::string(kLedAlarm) + "/trigger", "default-on", 2000));
    EXPECT_TRUE(waitFor(root, std::string(kLedAlarm) + "/brightness", "255", 3000));
    EXPECT_TRUE(waitFor(root, std::string(kLedAlarm) + "/brightness", "0", 3000));
    EXPECT_TRUE(waitFor(root, std::string(kLedAlarm) + "/brightness", "255", 3000));

    /* A new steady pattern wakes the thread and holds the LED lit. */
    KELNS_patternData_t on = {1000, 100, 1, 0};
    ASSERT_EQ(1, kelSetAlarmLED(&on));
    EXPECT_TRUE(waitFor(root, std::string(kLedAlarm) + "/brightness", "255", 3000));
    kelSleep(600);
    EXPECT_EQ("255", root.read(std::string(kLedAlarm) + "/brightness"));

    /* The thread outlives the test; keep it off the removed root. */
    KELNS_patternData_t off = {1000, 0, 1, 0};
    ASSERT_EQ(1, kelSetAlarmLED(&off));
    EXPECT_TRUE(waitFor(root, std::string(kLedAlarm) + "/brightness", "0", 3000));
}
