/*
 * The real control daemon reading the keypad: 16-byte input records written
 * into the keypad FIFO come out as key events on the T queue (and on the I
 * queue too in factory test mode), with the KEY_2 + KEY_3 combination.
 */
#include "test_daemon_harness.h"

#define EV_SYN_TYPE 0
#define EV_KEY_TYPE 1
#define MODE_NORMAL 0
#define MODE_INDUSTRY 4

struct Key {
    INT32 code;
    INT32 action;
    bool operator==(const Key &o) const { return code == o.code && action == o.action; }
};

static void PrintTo(const Key &k, std::ostream *os)
{
    *os << (k.action == KELFB_KEY_PRESS ? "press " : "release ") << k.code;
}

/* Key events on `letter` until `count` arrived or the deadline passed. */
static std::vector<Key> keyEvents(DaemonBoard &b, kel_MsgQue_ID_t letter, size_t count,
                                  int timeoutMs = HARNESS_DEADLINE_MS)
{
    std::vector<Key> keys;
    long end = kelTestNowMs() + timeoutMs;
    kel_MsgQue_Tx_t ev;
    while (keys.size() < count) {
        long left = end - kelTestNowMs();
        if (left < 0 || !b.recvEventOf(letter, KEL_MSGQ_TX_KEYEVENT, &ev, (int)left)) {
            break;
        }
        EXPECT_EQ(KEL_MSG_TYPE_TX, ev.msgType);
        keys.push_back(Key{ev.data.kelKeyEvent.keyCode, ev.data.kelKeyEvent.keyAction});
    }
    return keys;
}

static const Key P(INT32 code) { return Key{code, KELFB_KEY_PRESS}; }
static const Key R(INT32 code) { return Key{code, KELFB_KEY_RELEASE}; }

TEST(DaemonKeypad, SingleKeysAndAutoRepeatArePostedAsTheyCome)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());

    ASSERT_TRUE(b.press(KELFB_KEY_1));
    ASSERT_TRUE(b.release(KELFB_KEY_1));
    /* Auto-repeat (value 2) counts as a press. */
    ASSERT_TRUE(b.press(KELFB_KEY_4));
    ASSERT_TRUE(b.writeKey(EV_KEY_TYPE, KELFB_KEY_4, 2));
    ASSERT_TRUE(b.writeKey(EV_KEY_TYPE, KELFB_KEY_4, 2));
    ASSERT_TRUE(b.release(KELFB_KEY_4));
    /* A code outside the keypad and a non-key record post nothing. */
    ASSERT_TRUE(b.writeKey(EV_KEY_TYPE, 30, 1));
    ASSERT_TRUE(b.writeKey(4, KELFB_KEY_HOME, 1));
    ASSERT_TRUE(b.press(KELFB_KEY_HOME));
    ASSERT_TRUE(b.release(KELFB_KEY_HOME));
    /* Either combination key alone is a plain key. */
    ASSERT_TRUE(b.press(KELFB_KEY_2));
    ASSERT_TRUE(b.release(KELFB_KEY_2));

    std::vector<Key> want = {P(103), R(103), P(106), P(106), P(106), R(106), P(102), R(102), P(108), R(108)};
    EXPECT_EQ(want, keyEvents(b, KEL_MSG_ID_TX, want.size()));
    EXPECT_TRUE(keyEvents(b, KEL_MSG_ID_TX, 1, 1000).empty());
    /* Not in factory mode: the factory queue hears nothing. */
    EXPECT_TRUE(keyEvents(b, KEL_MSG_ID_INDUSTRY, 1, 500).empty());
}

TEST(DaemonKeypad, KeyTwoAndKeyThreeHeldTogetherReportTheCombinationOnce)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());

    /* Released in either order: one release of the combination code, and
     * the last release is swallowed. */
    ASSERT_TRUE(b.press(KELFB_KEY_2));
    ASSERT_TRUE(b.press(KELFB_KEY_3));
    ASSERT_TRUE(b.release(KELFB_KEY_3));
    ASSERT_TRUE(b.release(KELFB_KEY_2));
    ASSERT_TRUE(b.press(KELFB_KEY_3));
    ASSERT_TRUE(b.press(KELFB_KEY_2));
    ASSERT_TRUE(b.release(KELFB_KEY_2));
    ASSERT_TRUE(b.release(KELFB_KEY_3));
    /* While one key is still held after the report, the other pressed and
     * released again: press posted, release swallowed; the final release
     * ends the combination silently. */
    ASSERT_TRUE(b.press(KELFB_KEY_2));
    ASSERT_TRUE(b.press(KELFB_KEY_3));
    ASSERT_TRUE(b.release(KELFB_KEY_3));
    ASSERT_TRUE(b.press(KELFB_KEY_3));
    ASSERT_TRUE(b.release(KELFB_KEY_3));
    ASSERT_TRUE(b.release(KELFB_KEY_2));
    /* Afterwards the keys are plain keys again. */
    ASSERT_TRUE(b.press(KELFB_KEY_3));
    ASSERT_TRUE(b.release(KELFB_KEY_3));

    std::vector<Key> want = {P(108), P(105), R(59),  P(105), P(108), R(59), P(108),
                             P(105), R(59),  P(105), P(105), R(105)};
    EXPECT_EQ(want, keyEvents(b, KEL_MSG_ID_TX, want.size()));
    EXPECT_TRUE(keyEvents(b, KEL_MSG_ID_TX, 1, 1000).empty());
}

TEST(DaemonKeypad, InFactoryModeEveryKeyEventAlsoReachesTheFactoryQueue)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.sendMode(MODE_INDUSTRY));
    ASSERT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->kelWorkMode) == MODE_INDUSTRY; }));

    ASSERT_TRUE(b.press(KELFB_KEY_1));
    ASSERT_TRUE(b.release(KELFB_KEY_1));
    ASSERT_TRUE(b.press(KELFB_KEY_2));
    ASSERT_TRUE(b.press(KELFB_KEY_3));
    ASSERT_TRUE(b.release(KELFB_KEY_2));
    ASSERT_TRUE(b.release(KELFB_KEY_3));
    std::vector<Key> want = {P(103), R(103), P(108), P(105), R(59)};
    EXPECT_EQ(want, keyEvents(b, KEL_MSG_ID_TX, want.size()));
    EXPECT_EQ(want, keyEvents(b, KEL_MSG_ID_INDUSTRY, want.size()));

    /* Back in normal mode the factory queue is left out again. */
    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    ASSERT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->kelWorkMode) == MODE_NORMAL; }));
    ASSERT_TRUE(b.press(KELFB_KEY_HOME));
    ASSERT_TRUE(b.release(KELFB_KEY_HOME));
    want = {P(102), R(102)};
    EXPECT_EQ(want, keyEvents(b, KEL_MSG_ID_TX, want.size()));
    EXPECT_TRUE(keyEvents(b, KEL_MSG_ID_INDUSTRY, 1, 1000).empty());
}

TEST(DaemonKeypad, StrokesTypedIntoTheKeypadSimulatorArriveAsPressAndRelease)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.sb.exists("/usr/bin/keypadsim"));
    /* Left and right strokes; the line end and unknown letters send
     * nothing; q ends the simulator. */
    ASSERT_EQ(0, b.sb.shell("printf 'ax\\nd\\nq\\n' | keypadsim >/dev/null"));
    std::vector<Key> want = {P(105), R(105), P(106), R(106)};
    EXPECT_EQ(want, keyEvents(b, KEL_MSG_ID_TX, want.size()));
    EXPECT_TRUE(keyEvents(b, KEL_MSG_ID_TX, 1, 1000).empty());
}
