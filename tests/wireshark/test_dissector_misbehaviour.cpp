/*
 * A misbehaving meter as Wireshark shows it: the meter simulator on
 * 127.0.0.91 sends each kind of bad traffic to a plain socket standing in
 * for the unit, between good frames, and the capture is read back with
 * tshark and the unit's dissector. Each misbehaviour carries its expert
 * item, the good frames around it none, a frame split over two segments is
 * one good frame, and a frame behind garbage in the same segment is still
 * found. Every frame is read by the stand-in before the next is sent, so
 * each lies in packets of its own.
 *
 * With KEL_WIRESHARK_SAMPLES=<dir> the capture is kept there as
 * misbehaviour.pcap (tools/wireshark/make-samples.sh).
 *
 * Also here: the sample captures kept in the tree for readers still open
 * with every frame decoded.
 */
#include <gtest/gtest.h>

#include <poll.h>

#include "meterSim.h"
#include "wiresharkCapture.h"

#define MB_ADDR "127.0.0.91"

/* The unit's end of one link: connects and reads what the meter sends. */
class StandIn {
public:
    ~StandIn()
    {
        if (fd >= 0)
            close(fd);
    }
    bool connectTo(uint16_t port)
    {
        uint64_t end = wscNowMs() + WSC_DEADLINE_MS;
        while (wscNowMs() < end) {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_in a;
            memset(&a, 0, sizeof(a));
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            inet_pton(AF_INET, MB_ADDR, &a.sin_addr);
            if (connect(fd, (struct sockaddr *)&a, sizeof(a)) == 0)
                return true;
            close(fd);
            fd = -1;
            wscSleepMs(WSC_POLL_MS);
        }
        return false;
    }
    /* Exactly n bytes within the deadline. */
    bool take(size_t n)
    {
        std::vector<char> buf(n);
        size_t got = 0;
        uint64_t end = wscNowMs() + WSC_DEADLINE_MS;
        while (got < n && wscNowMs() < end) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, WSC_POLL_MS) != 1)
                continue;
            ssize_t r = recv(fd, buf.data() + got, n - got, 0);
            if (r <= 0)
                return false;
            got += (size_t)r;
        }
        return got == n;
    }
    int fd = -1;
};

class MisbehavingMeter : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = wscMissing();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(cap.start(MB_ADDR)) << wscReadFile(cap.errFile);
        MeterSimConfig_t cfg;
        meterSimDefaultConfig(&cfg, MB_ADDR);
        cfg.heartbeatMs = 0; /* only the frames sent here */
        cfg.bServeStartup = 1;
        sim = meterSimStart(&cfg);
        ASSERT_NE(sim, nullptr);
        ASSERT_TRUE(ns.connectTo(MSW_NS_PORT));
        ASSERT_TRUE(fb.connectTo(MSW_FB_PORT));
        ASSERT_TRUE(stp.connectTo(MSW_STP_PORT));
        for (int32_t link : {MSIM_LINK_NONSCREEN, MSIM_LINK_SCREEN, MSIM_LINK_STARTUP})
            ASSERT_EQ(meterSimWaitConnected(sim, link, WSC_DEADLINE_MS), 1);
    }
    void TearDown() override { meterSimStop(sim); }

    /* A frame of `link` with a prefix and `bodyLen` bytes of body. */
    void sendFrame(StandIn &s, int32_t link, int32_t cmd, const void *body, uint32_t bodyLen)
    {
        ASSERT_EQ(meterSimSendFrame(sim, link, cmd, body, bodyLen, nullptr), 1);
        ASSERT_TRUE(s.take(MSW_HEAD_LEN + bodyLen));
    }
    void heartbeat(StandIn &s, int32_t link)
    {
        ASSERT_EQ(meterSimSendHeartbeat(sim, link), 1);
        ASSERT_TRUE(s.take(MSW_HEAD_LEN));
    }
    void raw(StandIn &s, int32_t link, const std::string &bytes)
    {
        ASSERT_EQ(meterSimSendRaw(sim, link, bytes.data(), (uint32_t)bytes.size()), 1);
        ASSERT_TRUE(s.take(bytes.size()));
    }
    static std::string head(uint32_t magic, uint32_t length, uint32_t tid, int32_t cmd)
    {
        std::string h(MSW_HEAD_LEN, '\0');
        memcpy(&h[0], &magic, 4);
        memcpy(&h[4], &length, 4);
        memcpy(&h[8], &tid, 4);
        memcpy(&h[12], &cmd, 4);
        return h;
    }

    LoopbackCapture cap;
    MeterSim_t *sim = nullptr;
    StandIn ns, fb, stp;
};

static const std::vector<std::string> kExperts = {
    "kelunit.bad_magic", "kelunit.bad_length", "kelunit.short_payload",
    "kelunit.long_payload", "kelunit.unknown_cmd", "kelunit.bad_rect"};

static bool marked(const WscPacket &p)
{
    for (const std::string &e : kExperts)
        if (!p.at(e).empty())
            return true;
    return false;
}

TEST_F(MisbehavingMeter, EachKindOfBadTrafficCarriesItsExpertItemAndTheGoodFramesNone)
{
    heartbeat(ns, MSIM_LINK_NONSCREEN);
    ASSERT_EQ(meterSimSendBadMagic(sim, MSIM_LINK_NONSCREEN, 0xdeadbeefu), 1);
    ASSERT_TRUE(ns.take(MSW_HEAD_LEN));
    /* Garbage and a good heartbeat in one segment. */
    raw(ns, MSIM_LINK_NONSCREEN, std::string("\x01\x02\x03", 3) + head(MSW_MAGIC, 16, 77, MSW_NS_HEARTBEAT));
    ASSERT_EQ(meterSimSendOversize(sim, MSIM_LINK_NONSCREEN, 2000), 1);
    ASSERT_TRUE(ns.take(2000));
    heartbeat(ns, MSIM_LINK_NONSCREEN);
    raw(ns, MSIM_LINK_NONSCREEN, head(MSW_MAGIC, 8, 78, MSW_NS_HEARTBEAT).substr(0, 8));
    uint32_t halfTime = 1900000000u;
    sendFrame(ns, MSIM_LINK_NONSCREEN, MSW_NS_SET_TIME, &halfTime, 4);
    sendFrame(ns, MSIM_LINK_NONSCREEN, 42, nullptr, 0);
    uint32_t extra[2] = {1, 2};
    sendFrame(ns, MSIM_LINK_NONSCREEN, MSW_NS_HEARTBEAT, extra, sizeof(extra));
    /* A heartbeat split over two segments 300 ms apart: one good frame. */
    ASSERT_EQ(meterSimSendStalled(sim, MSIM_LINK_NONSCREEN, 6, 300), 1);
    ASSERT_TRUE(ns.take(MSW_HEAD_LEN));

    uint16_t pixels[MSW_RECT_PIXELS] = {0};
    ASSERT_EQ(meterSimSendRect(sim, 300, 0, 64, 6, pixels, MSW_RECT_PIXELS), 1);
    ASSERT_TRUE(fb.take(MSW_FB_MAX_FRAME));
    heartbeat(fb, MSIM_LINK_SCREEN);

    ASSERT_EQ(meterSimSendBadMagic(sim, MSIM_LINK_STARTUP, 0x12345678u), 1);
    ASSERT_TRUE(stp.take(MSW_HEAD_LEN));
    heartbeat(stp, MSIM_LINK_STARTUP);
    ASSERT_TRUE(cap.stop());
    const char *keep = getenv("KEL_WIRESHARK_SAMPLES");
    if (keep != nullptr && *keep != '\0') {
        EXPECT_TRUE(cap.keep(std::string(keep) + "/misbehaviour.pcap"));
    }

    std::vector<std::string> fields = {"frame.number", "tcp.srcport", "kelns.cmd", "kelns.length",
                                       "kelfb.cmd", "kelfb.rect.x", "kelstp.cmd"};
    fields.insert(fields.end(), kExperts.begin(), kExperts.end());
    std::string err;
    std::vector<WscPacket> pk = wscPackets(cap.file, "kelns || kelfb || kelstp", fields, &err);
    EXPECT_EQ(err.find("Lua"), std::string::npos) << err;

    /* Packets from `port` marked with `expert` whose `field` holds `value`
     * (any value for ""; no value at all for "-"). */
    auto having = [&](const std::string &expert, const char *port, const std::string &field,
                      const std::string &value) {
        int n = 0;
        for (const WscPacket &p : pk) {
            if (p.at(expert).empty() || !wscHas(p, "tcp.srcport", port))
                continue;
            if (value == "-")
                n += p.at(field).empty();
            else
                n += value.empty() || wscHas(p, field, value);
        }
        return n;
    };
    /* The wrong magic alone, and the garbage in front of a heartbeat that
     * is still decoded. */
    EXPECT_EQ(having("kelunit.bad_magic", "1236", "kelns.cmd", "-"), 1);
    EXPECT_EQ(having("kelunit.bad_magic", "1236", "kelns.cmd", "8"), 1);
    EXPECT_EQ(having("kelunit.bad_length", "1236", "kelns.length", "2000"), 1);
    EXPECT_EQ(having("kelunit.bad_length", "1236", "kelns.length", "8"), 1);
    EXPECT_EQ(having("kelunit.short_payload", "1236", "kelns.cmd", "2"), 1);
    EXPECT_EQ(having("kelunit.unknown_cmd", "1236", "kelns.cmd", "42"), 1);
    EXPECT_EQ(having("kelunit.long_payload", "1236", "kelns.cmd", "8"), 1);
    EXPECT_EQ(having("kelunit.bad_rect", "1234", "kelfb.rect.x", "300"), 1);
    EXPECT_EQ(having("kelunit.bad_magic", "1235", "kelstp.cmd", "-"), 1);

    /* Heartbeats: two plain ones, the one behind the garbage, the long one
     * and the split one on the non-screen link, one each on the others; the
     * plain and the split ones are not marked. */
    int nsBeats = 0, goodBeats = 0;
    for (const WscPacket &p : pk) {
        if (wscHas(p, "kelns.cmd", "8")) {
            nsBeats += (int)p.at("kelns.cmd").size();
            goodBeats += !marked(p);
        }
    }
    EXPECT_EQ(nsBeats, 5);
    EXPECT_EQ(goodBeats, 3);
    int others = 0;
    for (const WscPacket &p : pk) {
        if (wscHas(p, "kelfb.cmd", "5") || wscHas(p, "kelstp.cmd", "6")) {
            others++;
            EXPECT_FALSE(marked(p)) << "frame " << p.at("frame.number")[0];
        }
    }
    EXPECT_EQ(others, 2);

    TsharkRun all = wscTshark(cap.file, "-V");
    EXPECT_EQ(all.out.find("Lua Error"), std::string::npos);
    EXPECT_EQ(all.err.find("Lua"), std::string::npos) << all.err;
}

/* The readers' samples (tools/wireshark/make-samples.sh) still open with
 * every frame decoded: the four links unmarked, the bad one with every
 * kind of mark. No capture is made, so no root is needed. */
TEST(DissectorSamples, OpenWithEveryFrameDecoded)
{
    if (!wscHaveTool("tshark"))
        GTEST_SKIP() << "tshark is not installed (scripts/lib-install.sh installs it)";
    const std::string dir = KEL_TEST_SOURCE_DIR "/tests/wireshark/samples/";
    for (const char *proto : {"kelfb", "kelstp", "kelns", "kelind"}) {
        std::string file = dir + proto + ".pcapng";
        std::string err;
        std::vector<WscPacket> pk = wscPackets(
            file, "tcp", {"frame.number", "tcp.len", std::string(proto) + ".cmd", "_ws.expert.severity"}, &err);
        EXPECT_EQ(err.find("Lua"), std::string::npos) << err;
        int frames = 0;
        for (const WscPacket &p : pk) {
            const std::string &n = p.at("frame.number")[0];
            frames += (int)p.at(std::string(proto) + ".cmd").size();
            if (p.at("tcp.len") != std::vector<std::string>{"0"}) {
                EXPECT_FALSE(p.at(std::string(proto) + ".cmd").empty()) << file << " frame " << n;
            }
            for (const std::string &sev : p.at("_ws.expert.severity"))
                EXPECT_LT(atol(sev.c_str()), 0x600000L) << file << " frame " << n;
        }
        EXPECT_GT(frames, 3) << file;
    }
    std::string bad = dir + "kelunit-bad.pcapng";
    std::vector<WscPacket> pk = wscPackets(bad, "kelns || kelfb || kelstp", kExperts);
    for (const std::string &e : kExperts)
        EXPECT_FALSE(wscAll(pk, e).empty()) << e;
    TsharkRun all = wscTshark(bad, "-V");
    EXPECT_EQ(all.out.find("Lua Error"), std::string::npos);
}
