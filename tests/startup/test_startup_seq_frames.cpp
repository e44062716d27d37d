/*
 * The startup link's frames as the real kelstpclient puts them on the wire,
 * decoded by the meter simulator's own records: data request layout, digest
 * value, transaction numbering, heartbeat timing, a challenge while idle,
 * and a meter that breaks its frames (wrong magic, oversize length, cut
 * off, stalled). Addresses 127.0.0.56 and 127.0.0.57.
 */
#include "test_startup_seqHarness.h"

#include "kel.h"

namespace {

TEST_F(StartupSeq, FramesCarryTheLayoutTheMeterDecodesAndConsecutiveIds)
{
    bringUp("127.0.0.56", false);
    ASSERT_EQ(kelSetSerialNumber("SN12345678", 10), 1);
    cfg.stpRandom = 0x12345678u;
    startMeter();
    startUnit();

    /* Data request: 20 fixed bytes and the ten characters, no NUL. */
    MeterSimRecord_t req;
    ASSERT_TRUE(waitFrame(0, MSW_STP_DATA_REQ, 20000, &req));
    ASSERT_EQ(req.nBytes, 30u);
    EXPECT_EQ(req.length, 30u);
    const uint8_t version[4] = {3, 2, 193, 0};
    EXPECT_EQ(memcmp(req.bytes + 16, version, 4), 0);
    EXPECT_EQ(std::string((const char *)req.bytes + 20, 10), "SN12345678");
    uint32_t magic;
    memcpy(&magic, req.bytes, 4);
    EXPECT_EQ(magic, MSW_MAGIC);

    /* Digest: (challenge * M + 3171547) mod N, worked out by the meter. */
    MeterSimRecord_t digest;
    ASSERT_TRUE(waitFrame(req.seq, MSW_STP_DIGEST, 5000, &digest));
    EXPECT_EQ(digest.length, 20u);
    EXPECT_EQ((uint32_t)word(digest, 16), meterSimDigest(0x12345678u));
    EXPECT_LT((uint32_t)word(digest, 16), (uint32_t)KEL_DIGEST_N);
    EXPECT_EQ(digest.check, MSIM_CHECK_RIGHT);

    /* Running report, then heartbeats of 16 bytes a little over 2 s apart. */
    MeterSimRecord_t running;
    ASSERT_TRUE(waitState(digest.seq, MSW_STP_STATE_APP_RUNNING, 15000, &running));
    EXPECT_EQ(running.length, 20u);
    MeterSimRecord_t hb1, hb2;
    ASSERT_TRUE(waitFrame(running.seq, MSW_STP_HEARTBEAT, 6000, &hb1));
    ASSERT_TRUE(waitFrame(hb1.seq + 1, MSW_STP_HEARTBEAT, 6000, &hb2));
    EXPECT_EQ(hb1.nBytes, 16u);
    EXPECT_EQ(hb1.length, 16u);
    EXPECT_GE(hb2.timeMs - hb1.timeMs, 1900u);
    EXPECT_LE(hb2.timeMs - hb1.timeMs, 4500u);

    /* Every frame of the unit so far numbered 0, 1, 2, ... */
    uint32_t expected = 0;
    for (uint32_t s = 0; s <= hb2.seq; s++) {
        MeterSimRecord_t rec;
        if (meterSimWait(sim, s, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSIM_ANY, 0, &rec) != 1 ||
            rec.seq > hb2.seq)
            break;
        EXPECT_EQ(rec.transID, expected) << "frame " << rec.seq;
        expected++;
        s = rec.seq;
    }
    EXPECT_GE(expected, 5u);

    /* A challenge while idle sets the clock and is not answered. */
    uint32_t mark = meterSimMark(sim);
    MSW_StpRandom_t challenge = {7u, 1900000000u};
    ASSERT_EQ(meterSimSendFrame(sim, MSIM_LINK_STARTUP, MSW_STP_RANDOM, &challenge,
                                sizeof(challenge), nullptr),
              1);
    EXPECT_TRUE(waitJournalCount("date -s 2030.3.17-17:46:40", 2, 5000));
    usleep(1500 * 1000);
    EXPECT_EQ(meterSimCount(sim, mark, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_DIGEST), 0);
    EXPECT_EQ(meterSimConnected(sim, MSIM_LINK_STARTUP), 1);
}

/* The meter breaks a frame; the unit gives the link up and connects again. */
void expectReconnect(MeterSim_t *sim, uint32_t mark, uint32_t conn)
{
    MeterSimRecord_t rec;
    ASSERT_EQ(meterSimWait(sim, mark, MSIM_LINK_STARTUP, MSIM_EV_CONNECT, MSIM_ANY, 15000, &rec), 1);
    EXPECT_EQ(rec.conn, conn);
    ASSERT_EQ(meterSimWait(sim, rec.seq, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_DATA_REQ, 5000,
                           &rec),
              1);
}

TEST_F(StartupSeq, BrokenMeterFramesEndTheLinkAndAStallWithinTheTimeOutDoesNot)
{
    /* No application and no delivery: the unit waits in the update state
     * and no app client comes and goes. */
    bringUp("127.0.0.57", false, false);
    startMeter();
    startUnit();
    ASSERT_TRUE(waitState(0, MSW_STP_STATE_APP_UPDATE, 20000, nullptr));

    /* A heartbeat arriving in two parts 300 ms apart is one frame. */
    uint32_t mark = meterSimMark(sim);
    ASSERT_EQ(meterSimSendStalled(sim, MSIM_LINK_STARTUP, 6, 300), 1);
    usleep(1500 * 1000);
    EXPECT_EQ(meterSimCount(sim, mark, MSIM_LINK_STARTUP, MSIM_EV_CLOSED, MSIM_ANY), 0);
    EXPECT_EQ(meterSimConnected(sim, MSIM_LINK_STARTUP), 1);

    mark = meterSimMark(sim);
    ASSERT_EQ(meterSimSendBadMagic(sim, MSIM_LINK_STARTUP, 0x12345678u), 1);
    expectReconnect(sim, mark, 2);

    /* A length beyond the 52-byte record is refused, not read into it. */
    mark = meterSimMark(sim);
    ASSERT_EQ(meterSimSendOversize(sim, MSIM_LINK_STARTUP, 400), 1);
    expectReconnect(sim, mark, 3);

    /* Half a challenge, then the meter hangs up. */
    mark = meterSimMark(sim);
    ASSERT_EQ(meterSimSendCutAndClose(sim, MSIM_LINK_STARTUP, 10), 1);
    expectReconnect(sim, mark, 4);

    /* Each failure stopped the app client through its script. */
    EXPECT_GE(journalCount("/etc/init.d/kelappclient stop"), 3);
    EXPECT_TRUE(sb.running(stp));
}

} // namespace
