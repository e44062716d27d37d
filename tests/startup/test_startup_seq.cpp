/*
 * Start-up sequences of the real kelstpclient on a virtual board against
 * the meter simulator: versions equal, application missing or different,
 * newer kernel build, refused or unanswered challenge, and the link lost
 * and found again. Each test has its own loopback address (127.0.0.50 to
 * 127.0.0.55).
 */
#include "test_startup_seqHarness.h"

#include <sys/stat.h>

namespace {

const char *const APP_START = "/etc/init.d/kelappclient start";
const char *const APP_STOP = "/etc/init.d/kelappclient stop";
const char *const APP_COPY = "/usr/bin/kelstartapp copy";

/* The init script removes the pid file once the program has ended. */
bool waitGoneIn(KelSandbox &sb, const std::string &boardPath, int timeoutMs)
{
    for (int waited = 0; sb.exists(boardPath); waited += 50) {
        if (waited >= timeoutMs)
            return false;
        usleep(50000);
    }
    return true;
}

off_t fileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST_F(StartupSeq, EqualVersionsStartTheAppClientAndALostLinkStopsIt)
{
    bringUp("127.0.0.50", true);
    startMeter();
    startUnit();

    /* The exchange in order, numbered from 0 by the unit. */
    MeterSimRecord_t req, digest, running;
    ASSERT_TRUE(waitFrame(0, MSW_STP_DATA_REQ, 20000, &req));
    EXPECT_EQ(req.conn, 1u);
    EXPECT_EQ(req.transID, 0u);
    ASSERT_TRUE(waitFrame(req.seq, MSW_STP_DIGEST, 5000, &digest));
    EXPECT_EQ(digest.transID, 1u);
    EXPECT_EQ(digest.check, MSIM_CHECK_RIGHT);
    ASSERT_TRUE(waitState(digest.seq, MSW_STP_STATE_APP_RUNNING, 15000, &running));
    EXPECT_EQ(running.transID, 2u);

    /* The meter's clock went to the board's date, the app client was
     * started through its script (not copied), and it talks to the meter. */
    EXPECT_TRUE(sb.waitJournal("date -s 2030.3.17-17:46:40", 2000));
    EXPECT_EQ(journalCount(APP_START), 1);
    EXPECT_EQ(journalIndex(APP_COPY), -1);
    EXPECT_EQ(meterSimWaitConnected(sim, MSIM_LINK_SCREEN, 15000), 1);
    EXPECT_TRUE(sb.exists("/var/run/kelappclient.pid"));
    EXPECT_TRUE(waitSegmentMode(KEL_MODE_NORMAL, 5000));

    /* The meter drops the link: the app client is stopped through its
     * script, the unit connects again and goes through the exchange anew. */
    uint32_t mark = meterSimMark(sim);
    ASSERT_EQ(meterSimDrop(sim, MSIM_LINK_STARTUP), 1);
    EXPECT_TRUE(sb.waitJournal(APP_STOP, 10000));
    EXPECT_TRUE(waitGoneIn(sb, "/var/run/kelappclient.pid", 5000));
    MeterSimRecord_t again;
    ASSERT_TRUE(waitFrame(mark, MSW_STP_DATA_REQ, 10000, &again));
    EXPECT_EQ(again.conn, 2u);
    ASSERT_TRUE(waitState(again.seq, MSW_STP_STATE_APP_RUNNING, 15000, nullptr));
    EXPECT_TRUE(waitJournalCount(APP_START, 2, 3000));
    EXPECT_TRUE(waitSegmentMode(KEL_MODE_NORMAL, 5000));
    EXPECT_TRUE(sb.running(stp));
}

TEST_F(StartupSeq, AMissingApplicationIsDeliveredCopiedIntoPlaceAndStarted)
{
    bringUp("127.0.0.51", false, false);
    std::string built = std::string(KEL_TEST_BIN_DIR) + "/kelappclient";
    std::string upload = sb.path("/usr/ftp/up/kelappclient");
    cfg.appSource = built.c_str();
    cfg.appDest = upload.c_str();
    startMeter();
    startUnit();

    /* Matching versions are not enough without the file. */
    MeterSimRecord_t update;
    ASSERT_TRUE(waitState(0, MSW_STP_STATE_APP_UPDATE, 20000, &update));
    ASSERT_TRUE(waitState(update.seq, MSW_STP_STATE_APP_RUNNING, 15000, nullptr));
    EXPECT_EQ(meterSimDeliveries(sim), 1);

    /* Copied first, then started. */
    int copy = journalIndex(APP_COPY);
    int start = journalIndex(APP_START);
    ASSERT_GE(copy, 0);
    EXPECT_GT(start, copy);
    struct stat st;
    ASSERT_EQ(lstat(sb.path("/kel/app/kelappclient").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(st.st_size, fileSize(built));
    EXPECT_EQ(meterSimWaitConnected(sim, MSIM_LINK_SCREEN, 15000), 1);

    /* The connection announced normal mode and nothing else. */
    ASSERT_GE(waitModeRequest(0, KEL_MODE_NORMAL, 2000), 0);
    for (int32_t m : modeRequests())
        EXPECT_EQ(m, KEL_MODE_NORMAL);
}

TEST_F(StartupSeq, ADifferentApplicationWaitsForTheMeterThenReplacesTheInstalledOne)
{
    bringUp("127.0.0.52", false);
    cfg.stpAppVersion = SEQ_APP_VERSION + 1;   /* the meter carries 1.9 */
    std::string built = std::string(KEL_TEST_BIN_DIR) + "/kelappclient";
    off_t builtSize = fileSize(built);
    startMeter();
    startUnit();

    /* No delivery yet: after 5 s without APP_TRANS_DONE the unit starts
     * over with a new data request. */
    MeterSimRecord_t update, repeat;
    ASSERT_TRUE(waitState(0, MSW_STP_STATE_APP_UPDATE, 20000, &update));
    EXPECT_EQ(update.length, 20u);
    EXPECT_EQ(word(update, MSW_HEAD_LEN), MSW_STP_STATE_APP_UPDATE);
    ASSERT_TRUE(waitFrame(update.seq, MSW_STP_DATA_REQ, 12000, &repeat));
    EXPECT_EQ(repeat.conn, update.conn);
    EXPECT_GE(repeat.timeMs - update.timeMs, 4500u);
    EXPECT_EQ(journalIndex(APP_COPY), -1);
    EXPECT_EQ(journalIndex(APP_START), -1);

    /* Now the meter delivers: the installed link is replaced by the new
     * file, the build's program is left alone. */
    std::string upload = sb.path("/usr/ftp/up/kelappclient");
    ASSERT_EQ(meterSimSetAppDelivery(sim, built.c_str(), upload.c_str()), 1);
    ASSERT_TRUE(waitState(repeat.seq, MSW_STP_STATE_APP_RUNNING, 20000, nullptr));
    EXPECT_EQ(meterSimDeliveries(sim), 1);
    EXPECT_GE(journalIndex(APP_COPY), 0);
    EXPECT_GT(journalIndex(APP_START), journalIndex(APP_COPY));
    struct stat st;
    ASSERT_EQ(lstat(sb.path("/kel/app/kelappclient").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, builtSize);
    EXPECT_EQ(fileSize(built), builtSize);
}

TEST_F(StartupSeq, ANewerKernelBuildAnnouncesTheUpgradeAndKeepsItAcrossReconnections)
{
    bringUp("127.0.0.53", false);
    cfg.stpKernelVersion = SEQ_KERNEL_BUILD + 1;
    startMeter();
    startUnit();

    MeterSimRecord_t kernel;
    ASSERT_TRUE(waitState(0, MSW_STP_STATE_KERNEL_UPDATE, 20000, &kernel));
    int normal = waitModeRequest(0, KEL_MODE_NORMAL, 3000);
    ASSERT_GE(normal, 0);
    int upgrade = waitModeRequest((size_t)normal, KEL_MODE_FW_UPGRADE, 5000);
    ASSERT_GT(upgrade, normal);

    /* Idle: only heartbeats from here on, and no app client. */
    uint32_t idleMark = meterSimMark(sim);
    usleep(4500 * 1000);
    EXPECT_GE(meterSimCount(sim, idleMark, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_HEARTBEAT), 1);
    EXPECT_EQ(meterSimCount(sim, idleMark, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_DATA_REQ), 0);
    EXPECT_EQ(meterSimCount(sim, idleMark, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_STATE), 0);
    EXPECT_EQ(journalIndex(APP_START), -1);

    /* Lost and found again: no normal mode while the upgrade is pending. */
    size_t beforeDrop = modeRequests().size();
    uint32_t mark = meterSimMark(sim);
    ASSERT_EQ(meterSimDrop(sim, MSIM_LINK_STARTUP), 1);
    ASSERT_TRUE(waitState(mark, MSW_STP_STATE_KERNEL_UPDATE, 15000, nullptr));
    EXPECT_TRUE(sb.waitJournal(APP_STOP, 1000));
    usleep(2500 * 1000);
    for (size_t i = beforeDrop; i < modeRequests().size(); i++)
        EXPECT_NE(modeRequests()[i], KEL_MODE_NORMAL) << "request " << i;

    /* The meter goes away: a failed connection announces an error... */
    size_t beforeStop = modeRequests().size();
    meterSimStop(sim);
    sim = nullptr;
    int error = waitModeRequest(beforeStop, KEL_MODE_ERROR, 15000);
    ASSERT_GE(error, 0);

    /* ...after which a meter with the unit's own kernel build brings
     * normal mode back and the app client starts. */
    cfg.stpKernelVersion = SEQ_KERNEL_BUILD;
    startMeter();
    ASSERT_GE(waitModeRequest((size_t)error, KEL_MODE_NORMAL, 20000), 0);
    EXPECT_TRUE(waitState(0, MSW_STP_STATE_APP_RUNNING, 20000, nullptr));
}

TEST_F(StartupSeq, ARefusedDigestMakesTheUnitStartOverEverySecondUntilAccepted)
{
    bringUp("127.0.0.54", false);
    cfg.stpDigestMode = MSIM_DIGEST_REFUSE;
    cfg.stpRandom = 0xDEADBEEFu;
    startMeter();
    startUnit();

    /* The unit's answer is right, but the meter refuses it. */
    MeterSimRecord_t digest, next;
    ASSERT_TRUE(waitFrame(0, MSW_STP_DIGEST, 20000, &digest));
    EXPECT_EQ(digest.check, MSIM_CHECK_RIGHT);
    EXPECT_EQ((uint32_t)word(digest, MSW_HEAD_LEN), meterSimDigest(0xDEADBEEFu));
    for (int round = 0; round < 2; round++) {
        ASSERT_TRUE(waitFrame(digest.seq, MSW_STP_DATA_REQ, 5000, &next));
        uint64_t gap = next.timeMs - digest.timeMs;
        EXPECT_GE(gap, 950u);
        EXPECT_LE(gap, 4000u);
        EXPECT_EQ(next.conn, 1u);
        ASSERT_TRUE(waitFrame(next.seq, MSW_STP_DIGEST, 5000, &digest));
    }
    EXPECT_EQ(meterSimCount(sim, 0, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_STATE), 0);
    EXPECT_EQ(journalIndex(APP_START), -1);

    /* Accepted at last: the start-up completes on the same connection. */
    meterSimSetDigestMode(sim, MSIM_DIGEST_CHECK);
    MeterSimRecord_t running;
    ASSERT_TRUE(waitState(digest.seq, MSW_STP_STATE_APP_RUNNING, 15000, &running));
    EXPECT_EQ(running.conn, 1u);
}

TEST_F(StartupSeq, ASilentMeterGetsADataRequestEverySecondAndIsDroppedAfterSixSeconds)
{
    bringUp("127.0.0.55", false);
    cfg.bSilent = 1;
    startMeter();
    startUnit();

    MeterSimRecord_t first, rec;
    ASSERT_TRUE(waitFrame(0, MSW_STP_DATA_REQ, 20000, &first));
    ASSERT_EQ(meterSimWait(sim, first.seq, MSIM_LINK_STARTUP, MSIM_EV_CLOSED, MSIM_ANY, 12000, &rec),
              1);
    uint64_t lived = rec.timeMs - first.timeMs;
    EXPECT_GE(lived, 5500u);
    EXPECT_LE(lived, 9000u);
    /* About one data request per second while the link lived. */
    int32_t requests = meterSimCount(sim, 0, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_DATA_REQ);
    EXPECT_GE(requests, 3);
    EXPECT_LE(requests, 7);
    EXPECT_EQ(meterSimCount(sim, 0, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_DIGEST), 0);

    /* The link failure stops the app client and the unit connects again. */
    EXPECT_TRUE(sb.waitJournal(APP_STOP, 5000));
    MeterSimRecord_t again;
    ASSERT_EQ(meterSimWait(sim, rec.seq, MSIM_LINK_STARTUP, MSIM_EV_CONNECT, MSIM_ANY, 10000, &again),
              1);
    EXPECT_EQ(again.conn, 2u);
    EXPECT_LE(again.timeMs - rec.timeMs, 6000u);
}

} // namespace
