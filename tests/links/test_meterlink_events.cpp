/*
 * What the unit reports to the meter on its own: key presses read by the
 * real daemon from the keypad FIFO arrive as KEYEVENT frames on the screen
 * link (the KEY_2 + KEY_3 combination included), temperature changes and
 * errors of 200 and above as GET_TEMPERATURE and GET_ERROR frames on the
 * non-screen link. Meter simulator on 127.0.0.61.
 */
#include "test_meterlinkBoard.h"

#include "kelerror.h"

static const char *kAddr = "127.0.0.61";

#define EV_KEY 1

struct Key {
    int32_t code;
    int32_t action;
    bool operator==(const Key &o) const { return code == o.code && action == o.action; }
};

static void PrintTo(const Key &k, std::ostream *os)
{
    *os << (k.action == 1 ? "press " : k.action == 0 ? "release " : "action? ") << k.code;
}

static Key P(int32_t code) { return Key{code, 1}; }
static Key R(int32_t code) { return Key{code, 0}; }

TEST(MeterLinkEvents, KeyPressesOnTheKeypadArriveAsKeyEventFramesInOrder)
{
    MeterLinkBoard b;
    ASSERT_TRUE(b.bringUp(kAddr)) << b.appOutput() << b.describe(0);
    uint32_t mark = meterSimMark(b.sim);

    ASSERT_TRUE(b.press(102));   /* HOME */
    ASSERT_TRUE(b.release(102));
    ASSERT_TRUE(b.press(103));   /* KEY_1, with an auto-repeat */
    ASSERT_TRUE(b.writeKey(EV_KEY, 103, 2));
    ASSERT_TRUE(b.release(103));
    ASSERT_TRUE(b.writeKey(EV_KEY, 30, 1)); /* not a keypad key */
    ASSERT_TRUE(b.press(108));   /* KEY_2 and KEY_3 held together */
    ASSERT_TRUE(b.press(105));
    ASSERT_TRUE(b.release(105));
    ASSERT_TRUE(b.release(108));
    ASSERT_TRUE(b.press(106));   /* KEY_4 */
    ASSERT_TRUE(b.release(106));

    const std::vector<Key> want = {P(102), R(102), P(103), P(103), R(103),
                                   P(108), P(105), R(59), P(106), R(106)};
    std::vector<MeterSimRecord_t> got =
        b.frames(mark, MSIM_LINK_SCREEN, MSW_FB_KEYEVENT, want.size());
    std::vector<Key> keys;
    for (const MeterSimRecord_t &r : got)
        keys.push_back(Key{mlbWord(r, 16), mlbWord(r, 20)});
    EXPECT_EQ(want, keys) << b.describe(mark);
    kelTestSleepMs(1000);
    EXPECT_EQ((int32_t)want.size(),
              meterSimCount(b.sim, mark, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_KEYEVENT));

    /* The frame itself: 24 bytes, magic C7 29 53 B4, length 0x18, command 4. */
    ASSERT_FALSE(got.empty());
    const MeterSimRecord_t &home = got[0];
    ASSERT_EQ(24u, home.nBytes);
    const uint8_t head[] = {0xC7, 0x29, 0x53, 0xB4, 0x18, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, memcmp(home.bytes, head, sizeof(head)));
    EXPECT_EQ(4, mlbWord(home, 12));

    /* Key events, DATA_REQ and heartbeats share one counter: every frame of
     * the connection carries the next transaction id. */
    std::vector<MeterSimRecord_t> all = b.frames(0, MSIM_LINK_SCREEN, MSIM_ANY, 1000, 0);
    ASSERT_GE(all.size(), want.size() + 1);
    for (size_t i = 1; i < all.size(); i++)
        EXPECT_EQ(all[i - 1].transID + 1, all[i].transID) << "frame " << i << "\n" << b.describe(0);
    EXPECT_TRUE(b.alive());
}

TEST(MeterLinkEvents, TemperatureChangesAndSeriousErrorsReachTheMeter)
{
    MeterLinkBoard b;
    ASSERT_TRUE(b.bringUp(kAddr)) << b.appOutput() << b.describe(0);

    /* The daemon forwards to the meter once it has heard from the app
     * client: a screen does that. */
    ASSERT_EQ(1, meterSimSendScrFin(b.sim));
    std::string white(MLB_FB_BYTES, '\xFF');
    ASSERT_TRUE(b.waitScreen(white));

    /* The sensor moves; the daemon looks every 10 s. */
    uint32_t mark = meterSimMark(b.sim);
    ASSERT_TRUE(b.sb.setTemperature(41500));
    bool seen = false;
    uint64_t end = meterSimNowMs() + 35000;
    MeterSimRecord_t rec;
    uint32_t from = mark;
    while (!seen && meterSimNowMs() < end) {
        if (meterSimWait(b.sim, from, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_TEMPERATURE,
                         (uint32_t)(end - meterSimNowMs()), &rec) != 1)
            break;
        from = rec.seq + 1;
        EXPECT_EQ(20u, rec.nBytes);
        seen = mlbWord(rec, 16) == 41500;
    }
    EXPECT_TRUE(seen) << "no GET_TEMPERATURE of 41500\n" << b.describe(mark);

    /* Errors reported by any program of the board: below 200 they stay in
     * the unit's log, from 200 on they go to the meter with their time. */
    mark = meterSimMark(b.sim);
    uint64_t before = (uint64_t)time(nullptr);
    ASSERT_GT(kelLogError(KEL_TASK_APP_CLIENT, KEL_FILEID_APPCLIENT, 9001, KEL_COMM_TIMEOUT), 0);
    ASSERT_GT(kelLogError(KEL_TASK_APP_CLIENT, KEL_FILEID_APPCLIENT, 9002, KEL_HW_LED_CTRL_FAIL), 0);
    std::vector<MeterSimRecord_t> errs =
        b.frames(mark, MSIM_LINK_NONSCREEN, MSW_NS_GET_ERROR, 1, MLB_DEADLINE_MS);
    ASSERT_EQ(1u, errs.size()) << b.describe(mark);
    EXPECT_EQ(28u, errs[0].nBytes);
    EXPECT_EQ((int32_t)KEL_HW_LED_CTRL_FAIL, mlbWord(errs[0], 16));
    uint64_t stamp = 0;
    memcpy(&stamp, errs[0].bytes + 20, sizeof(stamp));
    EXPECT_GE(stamp + 5, before);
    EXPECT_LE(stamp, (uint64_t)time(nullptr) + 5);
    /* The daemon handles the reports in order, so by now the first one has
     * been logged and not forwarded. */
    kelTestSleepMs(1000);
    EXPECT_EQ(1, meterSimCount(b.sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_ERROR))
        << b.describe(mark);
    EXPECT_TRUE(b.alive());
}
