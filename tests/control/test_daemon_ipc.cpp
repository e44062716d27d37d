/*
 * Where the other programs meet the real control daemon: bursts of frames
 * handed over through the shared segment as the app client writes them,
 * and queue records the daemon must take off without losing its queues.
 */
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/msg.h>

#include "kelTestRoot.h"
#include "kelerror.h"
#include "test_daemon_harness.h"

namespace {

INT32 queueOf(kel_MsgQue_ID_t letter)
{
    INT32 id = -1;
    EXPECT_GT(kelAppMsgQueGetID(&id, letter), 0);
    return id;
}

} // namespace

/* The frame buffer file as the daemon maps it. */
class ScreenMap {
public:
    explicit ScreenMap(const std::string &path)
    {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) {
            void *m = mmap(nullptr, KEL_FB_FRAME_SIZE, PROT_READ, MAP_SHARED, fd, 0);
            close(fd);
            if (m != MAP_FAILED) {
                map = (const volatile UINT8 *)m;
            }
        }
    }
    ~ScreenMap()
    {
        if (map != nullptr) {
            munmap((void *)map, KEL_FB_FRAME_SIZE);
        }
    }
    bool ok() const { return map != nullptr; }
    /* Spins until the daemon is caught copying `colour` onto the screen
     * (one end of it shows the colour, the other not yet) or timeoutMs
     * passed. */
    bool waitCopying(UINT16 colour, int timeoutMs) const
    {
        long end = kelTestNowMs() + timeoutMs;
        while (kelTestNowMs() < end) {
            if ((pixel(0) == colour) != (pixel(KEL_FB_FRAME_SIZE / 2 - 1) == colour)) {
                return true;
            }
        }
        return false;
    }

private:
    UINT16 pixel(size_t i) const { return (UINT16)(map[2 * i] | map[2 * i + 1] << 8); }
    const volatile UINT8 *map = nullptr;
};

TEST(DaemonHandOver, AfterEveryBurstTheScreenShowsTheLastFrameWrittenWhole)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    ScreenMap screen(b.sb.path(FB_FILE));
    ASSERT_TRUE(screen.ok());
    int screenFd = open(b.sb.path(FB_FILE).c_str(), O_RDWR);
    ASSERT_GE(screenFd, 0);
    const int bursts = 500;
    const int framesPerBurst = 5;
    int wrong = 0;
    for (int burst = 0; burst < bursts; burst++) {
        std::vector<UINT8> frame;
        for (int i = 0; i < framesPerBurst; i++) {
            /* Every frame one colour of its own: a mix of two never passes
             * for either of them. */
            UINT16 colour = (UINT16)(1 + burst * framesPerBurst + i);
            if (i == framesPerBurst - 2) {
                /* Written back, the screen file's pages fault on the
                 * daemon's next copy: it takes as long as a copy into a
                 * panel's memory does on the board. */
                fdatasync(screenFd);
            }
            if (i == framesPerBurst - 1) {
                /* The last frame comes while the daemon is busy showing
                 * the one before it, when it can be caught at it. */
                screen.waitCopying((UINT16)(colour - 1), 5);
            } else if (i > 0) {
                usleep((useconds_t)(20 * ((burst + i) % 8)));
            }
            frame = solidFrame(colour);
            ASSERT_TRUE(b.showFrame(frame, KEL_TASK_FB_CLIENT));
        }
        if (!b.waitScreen(frame, 3000)) {
            wrong++;
        }
    }
    close(screenFd);
    EXPECT_EQ(0, wrong) << "bursts whose last frame never reached the screen whole";
}

TEST(DaemonQueues, RecordsNobodyTakesOrTooLongAreDroppedAndEveryQueueLivesOn)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    INT32 rq = queueOf(KEL_MSG_ID_RX);
    INT32 fq = queueOf(KEL_MSG_ID_FB);
    INT32 eq = queueOf(KEL_MSG_ID_ERROR);
    ASSERT_TRUE(b.sendBrightness(55));
    ASSERT_TRUE(waitFor([&] { return b.backlight() == "55"; }));

    /* R: one record of its own type but far too long; the queue stays and
     * a request after it is applied. */
    ASSERT_TRUE(kelTestSendRaw(rq, KEL_MSG_TYPE_RX, 100, KEL_MSGQ_RX_BRIGHTNESS));
    ASSERT_TRUE(b.sendBrightness(44));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "44"; }));
    EXPECT_EQ(rq, queueOf(KEL_MSG_ID_RX));

    /* Then records of a type nobody takes, until the queue is full: they
     * are taken off, and a request sent after them is applied. */
    rq = queueOf(KEL_MSG_ID_RX);
    int foreign = 0;
    while (foreign < 4096 && kelTestSendRaw(rq, 9, 4, 0)) {
        foreign++;
    }
    ASSERT_GT(foreign, 0);
    EXPECT_TRUE(waitFor([&] { return b.sendBrightness(37); }));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "37"; }));

    /* F: the same, then a frame. */
    ASSERT_TRUE(kelTestSendRaw(fq, KEL_MSG_TYPE_FB, 100, KEL_TASK_CONTROL));
    ASSERT_TRUE(kelTestSendRaw(fq, KEL_MSG_TYPE_FB, 4, KEL_TASK_CONTROL));
    ASSERT_TRUE(kelTestSendRaw(fq, 9, 8, KEL_TASK_CONTROL));
    std::vector<UINT8> frame = patternFrame(11);
    ASSERT_TRUE(b.showFrame(frame, KEL_TASK_FB_CLIENT));
    EXPECT_TRUE(b.waitScreen(frame));

    /* E: the same, then a report that reaches the log. */
    ASSERT_TRUE(kelTestSendRaw(eq, KEL_MSG_TYPE_ERROR, 100, KEL_TASK_CONTROL));
    ASSERT_TRUE(kelTestSendRaw(eq, 9, 28, KEL_TASK_CONTROL));
    kel_ErrorLog_t report;
    memset(&report, 0, sizeof(report));
    report.appTaskID = KEL_TASK_CONTROL;
    report.fileID = 77;
    report.lineNum = 4242;
    report.errorData.errCode = KEL_COMM_TIMEOUT;
    report.errorData.errTimeStamp = 1700000000ull;
    ASSERT_GT(kelSendErrorData(&report), 0);
    EXPECT_TRUE(waitFor([&] {
        return b.sb.read("/kel/log/kelerror.log").find(":77:4242:") != std::string::npos;
    }));

    /* No queue was removed: producers keep reaching the same ones. */
    EXPECT_EQ(rq, queueOf(KEL_MSG_ID_RX));
    EXPECT_EQ(fq, queueOf(KEL_MSG_ID_FB));
    EXPECT_EQ(eq, queueOf(KEL_MSG_ID_ERROR));
}
