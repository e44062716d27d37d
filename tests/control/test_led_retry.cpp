/*
 * The LED thread on a board whose kernel lacks one LED's trigger: the
 * set-up fails until the attribute appears. The thread must not spin on
 * it (the emulated board lost a quarter of its CPU to a 5 ms retry), must
 * say so once, and must finish the set-up on its own once the attribute
 * is there. Own executable: the thread never ends.
 */
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "kel.h"
#include "kelerror.h"
#include "test_led_harness.h"

namespace {

const int kWatchMs = 3000;
/* A 5 ms retry makes some 300 attempts in the watch; doubling up to a
 * second, about a dozen. */
const int kMostAttempts = 30;

/* Writes of the green LED's trigger (one per set-up attempt) within ms. */
int countTriggerWrites(const std::string &file, int ms)
{
    int fd = inotify_init1(IN_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    if (inotify_add_watch(fd, file.c_str(), IN_CLOSE_WRITE) < 0) {
        close(fd);
        return -1;
    }
    int writes = 0;
    alignas(struct inotify_event) char buf[4096];
    for (int waited = 0; waited < ms; waited += 10) {
        kelSleep(10);
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0) {
            for (ssize_t off = 0; off < n;) {
                const struct inotify_event *ev = (const struct inotify_event *)(buf + off);
                writes++;
                off += (ssize_t)sizeof(*ev) + ev->len;
            }
        }
    }
    close(fd);
    return writes;
}

} // namespace

TEST(LedThread, AnLedTheKernelLacksIsRetriedEverLessOftenAndSetUpOnceItAppears)
{
    KelTestRoot root;
    ASSERT_TRUE(ledBoardMake(root, std::string(kLedRed) + "/trigger"));
    ASSERT_TRUE(ledThreadStart());

    KELNS_patternData_t blink = {400, 50, 1, 0};
    ASSERT_EQ(1, kelSetAlarmLED(&blink));
    int attempts = countTriggerWrites(root.path(std::string(kLedGreen) + "/trigger"), kWatchMs);
    EXPECT_GT(attempts, 0);
    EXPECT_LT(attempts, kMostAttempts);
    EXPECT_EQ(KEL_FALSE, KEL_LOAD(bLedInited));
    EXPECT_EQ(1, kelErrorRingCount(KEL_HW_LED_CTRL_FAIL));

    /* The driver shows up; no new pattern comes. */
    root.write(std::string(kLedRed) + "/trigger", "");
    bool inited = false;
    for (int waited = 0; waited < 10000 && !inited; waited += 10) {
        inited = KEL_LOAD(bLedInited) == KEL_TRUE;
        kelSleep(10);
    }
    EXPECT_TRUE(inited);
    EXPECT_EQ("default-on", root.read(std::string(kLedRed) + "/trigger"));

    /* The thread outlives the test; keep it off the removed root. */
    KELNS_patternData_t off = {1000, 0, 1, 0};
    ASSERT_EQ(1, kelSetAlarmLED(&off));
}
