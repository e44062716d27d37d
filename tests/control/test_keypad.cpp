/*
 * Keypad input: board input records fed through a pipe become key events on
 * the T queue (and on the I queue in factory test mode), with the
 * KEY_2 + KEY_3 combination reported as one release of KELFB_KEY_COMB_0.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kelTestRoot.h"
#include "kelkeypad.h"
#include "kelmsg.h"

namespace {

struct Posted {
    INT32 code;
    INT32 action;
    bool operator==(const Posted &o) const { return code == o.code && action == o.action; }
};

std::ostream &operator<<(std::ostream &os, const Posted &p) { return os << p.code << (p.action ? "v" : "^"); }

/* Everything waiting on the queue of `letter`, in order. */
std::vector<Posted> drainKeys(const KelTestRoot &root, char letter)
{
    std::vector<Posted> out;
    key_t key = ftok(root.path("/home/root").c_str(), letter);
    int id = msgget(key, 0);
    if (id < 0) {
        return out;
    }
    struct {
        long mtype;
        char text[64];
    } buf;
    for (;;) {
        ssize_t n = msgrcv(id, &buf, sizeof(buf.text), 0, IPC_NOWAIT);
        if (n < 0) {
            break;
        }
        EXPECT_EQ(buf.mtype, KEL_MSG_TYPE_TX);
        EXPECT_EQ(n, 12) << "command word and key event";
        INT32 cmd;
        KELFB_keyEvent_t ev;
        memcpy(&cmd, buf.text, 4);
        memcpy(&ev, buf.text + 4, sizeof(ev));
        EXPECT_EQ(cmd, KEL_MSGQ_TX_KEYEVENT);
        out.push_back({ev.keyCode, ev.keyAction});
    }
    return out;
}

class Keypad : public ::testing::Test {
protected:
    KelTestRoot root;
    int fds[2] = {-1, -1};

    void SetUp() override
    {
        kelKeyPadResetMap();
        ASSERT_EQ(pipe(fds), 0);
    }
    void TearDown() override
    {
        close(fds[0]);
        close(fds[1]);
    }
    /* Writes one 16-byte board record and lets the handler read it. */
    INT32 feed(UINT16 type, UINT16 code, INT32 value, kel_WorkMode_t mode = KEL_MODE_NORMAL)
    {
        kel_InputEvent_t rec;
        memset(&rec, 0, sizeof(rec));
        rec.tvSec = 1700000000u;
        rec.tvUsec = 250000u;
        rec.type = type;
        rec.code = code;
        rec.value = value;
        EXPECT_EQ(write(fds[1], &rec, sizeof(rec)), 16);
        return kelKeyPadEventHandle(fds[0], mode);
    }
    INT32 press(UINT16 code, kel_WorkMode_t mode = KEL_MODE_NORMAL) { return feed(1, code, 1, mode); }
    INT32 release(UINT16 code, kel_WorkMode_t mode = KEL_MODE_NORMAL) { return feed(1, code, 0, mode); }
    std::vector<Posted> tx() { return drainKeys(root, 'T'); }
    std::vector<Posted> industry() { return drainKeys(root, 'I'); }
};

} // namespace

TEST_F(Keypad, SingleKeysArePostedAsTheyComeAndAutoRepeatCountsAsPress)
{
    EXPECT_EQ(press(KELFB_KEY_1), 1);
    EXPECT_EQ(feed(1, KELFB_KEY_1, 2), 1); /* auto-repeat */
    EXPECT_EQ(release(KELFB_KEY_1), 1);
    EXPECT_EQ(press(KELFB_KEY_HOME), 1);
    EXPECT_EQ(release(KELFB_KEY_HOME), 1);
    /* Either combination key alone is a single key. */
    EXPECT_EQ(press(KELFB_KEY_2), 1);
    EXPECT_EQ(release(KELFB_KEY_2), 1);
    std::vector<Posted> want = {{103, 1}, {103, 1}, {103, 0}, {102, 1}, {102, 0}, {108, 1}, {108, 0}};
    EXPECT_EQ(tx(), want);
    EXPECT_TRUE(industry().empty()) << "the factory queue only hears keys in factory test mode";
}

TEST_F(Keypad, ReleasingOneOfTwoHeldCombinationKeysReportsTheCombinationOnce)
{
    EXPECT_EQ(press(KELFB_KEY_2), 1);
    EXPECT_EQ(press(KELFB_KEY_3), 1);
    EXPECT_EQ(release(KELFB_KEY_3), 1);
    EXPECT_EQ(release(KELFB_KEY_2), 0) << "the partner's release is swallowed";
    std::vector<Posted> want = {{108, 1}, {105, 1}, {59, 0}};
    EXPECT_EQ(tx(), want);
    for (int i = 0; i < KEL_KEYMAP_ROWS; i++) {
        EXPECT_EQ(kelKeyMap[i].keyAction, KELFB_KEY_RELEASE) << "row " << i;
        EXPECT_EQ(kelKeyMap[i].bCombKeyActive, KEL_FALSE) << "row " << i;
    }

    /* The same works in the other order, and again afterwards. */
    EXPECT_EQ(press(KELFB_KEY_3), 1);
    EXPECT_EQ(press(KELFB_KEY_2), 1);
    EXPECT_EQ(release(KELFB_KEY_2), 1);
    EXPECT_EQ(release(KELFB_KEY_3), 0);
    want = {{105, 1}, {108, 1}, {59, 0}};
    EXPECT_EQ(tx(), want);
}

TEST_F(Keypad, RepressingAKeyWhileTheCombinationIsHeldPostsThePressOnly)
{
    press(KELFB_KEY_2);
    press(KELFB_KEY_3);
    release(KELFB_KEY_3);
    EXPECT_EQ(press(KELFB_KEY_3), 1);
    EXPECT_EQ(release(KELFB_KEY_3), 0);
    EXPECT_EQ(release(KELFB_KEY_2), 0);
    std::vector<Posted> want = {{108, 1}, {105, 1}, {59, 0}, {105, 1}};
    EXPECT_EQ(tx(), want);

    /* The combination has ended: the keys are single keys again. */
    press(KELFB_KEY_2);
    release(KELFB_KEY_2);
    want = {{108, 1}, {108, 0}};
    EXPECT_EQ(tx(), want);
}

TEST_F(Keypad, FactoryModePostsEveryEventOnBothQueues)
{
    press(KELFB_KEY_2, KEL_MODE_INDUSTRY);
    press(KELFB_KEY_3, KEL_MODE_INDUSTRY);
    release(KELFB_KEY_2, KEL_MODE_INDUSTRY);
    release(KELFB_KEY_3, KEL_MODE_INDUSTRY);
    press(KELFB_KEY_HOME, KEL_MODE_INDUSTRY);
    std::vector<Posted> want = {{108, 1}, {105, 1}, {59, 0}, {102, 1}};
    EXPECT_EQ(tx(), want);
    EXPECT_EQ(industry(), want);
}

TEST_F(Keypad, TheCombinationCodeFromTheDeviceIsAnOrdinaryKey)
{
    EXPECT_EQ(press(KELFB_KEY_COMB_0), 1);
    EXPECT_EQ(release(KELFB_KEY_COMB_0), 1);
    std::vector<Posted> want = {{59, 1}, {59, 0}};
    EXPECT_EQ(tx(), want);
}

TEST_F(Keypad, OtherRecordsUnknownCodesAndShortReadsPostNothing)
{
    EXPECT_EQ(feed(0, 0, 0), 1) << "synchronisation records are ignored";
    EXPECT_EQ(feed(4, 4, 458792), 1) << "scan-code records are ignored";
    EXPECT_EQ(feed(1, 30, 1), -1) << "a key outside the map";
    EXPECT_EQ(feed(1, 0xffff, 1), -1);

    /* A cut-off record is dropped; the next whole record still works. */
    const unsigned char part[10] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    ASSERT_EQ(write(fds[1], part, sizeof(part)), 10);
    EXPECT_EQ(kelKeyPadEventHandle(fds[0], KEL_MODE_NORMAL), -1);
    EXPECT_EQ(press(KELFB_KEY_1), 1);

    /* A closed or invalid descriptor is a read error, not a crash. */
    EXPECT_EQ(kelKeyPadEventHandle(-1, KEL_MODE_NORMAL), -1);
    std::vector<Posted> want = {{103, 1}};
    EXPECT_EQ(tx(), want);
}

TEST_F(Keypad, DeviceIsOpenedInsideThePlatformRoot)
{
    KEL_DEVICE_INFO dev;
    memset(&dev, 0, sizeof(dev));
    dev.fd_kbd = -1;
    EXPECT_EQ(kelKeyDevInit(&dev), -1) << "no device in the root";

    ASSERT_EQ(system(("mkdir -p " + root.path("/dev/input")).c_str()), 0);
    ASSERT_EQ(mkfifo(root.path("/dev/input/event0").c_str(), 0600), 0);
    ASSERT_EQ(kelKeyDevInit(&dev), 1);
    ASSERT_GE(dev.fd_kbd, 0);

    /* A second writer (the keypad simulator) feeds the FIFO. */
    int writer = open(root.path("/dev/input/event0").c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    kel_InputEvent_t rec;
    memset(&rec, 0, sizeof(rec));
    rec.type = 1;
    rec.code = KELFB_KEY_4;
    rec.value = 1;
    ASSERT_EQ(write(writer, &rec, sizeof(rec)), 16);
    EXPECT_EQ(kelKeyPadEventHandle(dev.fd_kbd, KEL_MODE_NORMAL), 1);
    close(writer);
    EXPECT_EQ(kelKeyDevClose(&dev), 0);
    std::vector<Posted> want = {{106, 1}};
    EXPECT_EQ(tx(), want);
}
