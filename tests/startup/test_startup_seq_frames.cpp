/*
 * The startup link's frames as the real kelstpclient puts them on the wire,
 * decoded by the meter simulator's own records: data request layout, digest
 * value, transaction numbering, heartbeat timing, a challenge while idle,
 * and a meter that breaks its frames (wrong magic, oversize length, cut
 * off, stalled); and the meter's own side of the exchange against a
 * hand-written unit: a wrong digest refused, a right one answered with the
 * versions, an application delivered on request. Addresses 127.0.0.56 to
 * 127.0.0.58.
 */
#include "test_startup_seqHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

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

/* ---- a hand-written unit ---- */

typedef std::vector<uint8_t> Bytes;

int unitConnect(const char *addr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(MSW_STP_PORT);
    inet_pton(AF_INET, addr, &sa.sin_addr);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

Bytes frame(int32_t cmd, uint32_t transId, const void *body, uint32_t len)
{
    MSW_Head_t head = {MSW_MAGIC, MSW_HEAD_LEN + len, transId, cmd};
    Bytes b(sizeof(head) + len);
    memcpy(b.data(), &head, sizeof(head));
    if (len > 0)
        memcpy(b.data() + sizeof(head), body, len);
    return b;
}

bool unitSend(int fd, const Bytes &b)
{
    return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == (ssize_t)b.size();
}

/* One whole frame from the meter (head and body), empty on time-out. */
Bytes unitRecv(int fd, int timeoutMs)
{
    uint8_t buf[MSW_STP_MAX_FRAME];
    uint32_t have = 0;
    uint32_t want = 8;
    while (have < want) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return Bytes();
        ssize_t n = recv(fd, buf + have, want - have, 0);
        if (n <= 0)
            return Bytes();
        have += (uint32_t)n;
        if (have == 8) {
            memcpy(&want, buf + 4, 4);
            if (want < MSW_HEAD_LEN || want > sizeof(buf))
                return Bytes();
        }
    }
    return Bytes(buf, buf + have);
}

int32_t cmdOf(const Bytes &b)
{
    int32_t c = -1;
    if (b.size() >= MSW_HEAD_LEN)
        memcpy(&c, b.data() + 12, 4);
    return c;
}

uint32_t wordAt(const Bytes &b, size_t off)
{
    uint32_t v = 0;
    if (b.size() >= off + 4)
        memcpy(&v, b.data() + off, 4);
    return v;
}

TEST(StartupMeter, TheMeterRefusesAWrongDigestAndDeliversAfterARightOne)
{
    char dir[] = "/tmp/kelseqXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string src = std::string(dir) + "/app.bin";
    std::string dst = std::string(dir) + "/delivered";
    FILE *f = fopen(src.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("new application", f);
    fclose(f);

    MeterSimConfig_t cfg;
    meterSimDefaultConfig(&cfg, "127.0.0.58");
    cfg.bServeStartup = 1;
    cfg.heartbeatMs = 0;
    cfg.stpRandom = 4242u;
    cfg.stpUnixTime = 1900000000u;
    cfg.stpAppVersion = 0x0203;
    cfg.stpKernelVersion = 200;
    cfg.appSource = src.c_str();
    cfg.appDest = dst.c_str();
    MeterSim_t *sim = meterSimStart(&cfg);
    ASSERT_NE(sim, nullptr);
    int fd = unitConnect("127.0.0.58");
    ASSERT_GE(fd, 0);

    /* The challenge: 28 bytes, the value and the clock. */
    MSW_StpDataReq_t req;
    memset(&req, 0, sizeof(req));
    ASSERT_TRUE(unitSend(fd, frame(MSW_STP_DATA_REQ, 0, &req, 4 + 3)));
    Bytes random = unitRecv(fd, 3000);
    ASSERT_EQ(random.size(), 28u);
    EXPECT_EQ(cmdOf(random), MSW_STP_RANDOM);
    EXPECT_EQ(wordAt(random, 16), 4242u);
    uint64_t clock = 0;
    memcpy(&clock, random.data() + 20, 8);
    EXPECT_EQ(clock, 1900000000u);

    /* A wrong answer: refused, no versions, recorded as wrong. */
    uint32_t wrong = meterSimDigest(4242u) + 1;
    ASSERT_TRUE(unitSend(fd, frame(MSW_STP_DIGEST, 1, &wrong, 4)));
    Bytes refused = unitRecv(fd, 3000);
    ASSERT_EQ(refused.size(), 28u);
    EXPECT_EQ(cmdOf(refused), MSW_STP_RESPONSE);
    EXPECT_EQ(wordAt(refused, 16), 1u);                 /* answers transaction 1 */
    EXPECT_EQ(wordAt(refused, 20), (uint32_t)MSW_STP_DIGEST);
    EXPECT_EQ(wordAt(refused, 24), (uint32_t)MSW_RC_ERROR);
    EXPECT_TRUE(unitRecv(fd, 500).empty());
    MeterSimRecord_t rec;
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_DIGEST, 1000, &rec), 1);
    EXPECT_EQ(rec.check, MSIM_CHECK_WRONG);

    /* The challenge is used up: even the right answer now needs a new one. */
    uint32_t right = meterSimDigest(4242u);
    ASSERT_TRUE(unitSend(fd, frame(MSW_STP_DIGEST, 2, &right, 4)));
    EXPECT_EQ(wordAt(unitRecv(fd, 3000), 24), (uint32_t)MSW_RC_ERROR);
    ASSERT_TRUE(unitSend(fd, frame(MSW_STP_DATA_REQ, 3, &req, 4)));
    ASSERT_EQ(cmdOf(unitRecv(fd, 3000)), MSW_STP_RANDOM);
    ASSERT_TRUE(unitSend(fd, frame(MSW_STP_DIGEST, 4, &right, 4)));
    EXPECT_EQ(wordAt(unitRecv(fd, 3000), 24), (uint32_t)MSW_RC_OK);
    Bytes version = unitRecv(fd, 3000);
    ASSERT_EQ(version.size(), 24u);
    EXPECT_EQ(cmdOf(version), MSW_STP_VERSION);
    EXPECT_EQ(wordAt(version, 16), 0x0203u);
    EXPECT_EQ(wordAt(version, 20), 200u);

    /* An update request: the file lands at the destination, then the
     * meter says the transfer is done. */
    int32_t update = MSW_STP_STATE_APP_UPDATE;
    ASSERT_TRUE(unitSend(fd, frame(MSW_STP_STATE, 5, &update, 4)));
    Bytes done = unitRecv(fd, 3000);
    ASSERT_EQ(done.size(), 20u);
    EXPECT_EQ(cmdOf(done), MSW_STP_STATE);
    EXPECT_EQ(wordAt(done, 16), (uint32_t)MSW_STP_STATE_APP_TRANS_DONE);
    EXPECT_EQ(meterSimDeliveries(sim), 1);
    struct stat st;
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 15);
    EXPECT_TRUE(st.st_mode & S_IXUSR);

    /* Other states are only recorded. */
    int32_t running = MSW_STP_STATE_APP_RUNNING;
    ASSERT_TRUE(unitSend(fd, frame(MSW_STP_STATE, 6, &running, 4)));
    EXPECT_TRUE(unitRecv(fd, 500).empty());
    EXPECT_EQ(meterSimCount(sim, 0, MSIM_LINK_STARTUP, MSIM_EV_FRAME, MSW_STP_STATE), 2);

    close(fd);
    meterSimStop(sim);
    unlink(dst.c_str());
    unlink(src.c_str());
    rmdir(dir);
}

} // namespace
