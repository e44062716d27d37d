/*
 * A short session of the whole unit as Wireshark shows it: the real
 * kelstpclient (which brings up kelcontrol and kelappclient) against the
 * meter simulator on 127.0.0.90, then kelindustry with the station
 * simulator connecting to the same address, all captured with tcpdump and
 * read back with tshark and the unit's dissector.
 *
 * Every frame the meter recorded from the unit is in the capture, in order,
 * with its command and transaction id; what the meter and the station sent
 * is decoded field for field (a full screen of 200 rectangles is 201
 * frames); no frame of this good traffic carries an expert item, and no
 * Lua error shows anywhere.
 *
 * With KEL_WIRESHARK_SAMPLES=<dir> the capture is kept there as
 * session.pcap (tools/wireshark/make-samples.sh makes the readers'
 * samples from it).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "kelSandbox.h"
#include "meterSim.h"
#include "stationSim.h"
#include "wiresharkCapture.h"

#define SS_ADDR "127.0.0.90"
#define SS_SN "DISSECT-7"
#define SS_CHALLENGE 123456789u
#define SS_CLOCK 1900000000u /* 2030-03-17 17:46:40 UTC */
#define SS_EXTRA_FRAMES 3    /* unit frames the meter may not have read yet at the end */
#define KEY_1_INPUT 103
#define KEY_HOME_INPUT 102

typedef std::pair<std::string, std::string> CmdTid;

class UnitSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = wscMissing();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(sb.ok());
        ASSERT_TRUE(sb.write("/etc/vboard.conf", "METER_HOST=" SS_ADDR "\n"));
        ASSERT_TRUE(sb.write("/kel/config/kel.conf", "APP_VERSION 001.008.000\n"));
        ASSERT_TRUE(sb.write("/kel/factory/sn.conf", "SN " SS_SN "\n"));
        ASSERT_TRUE(cap.start(SS_ADDR)) << wscReadFile(cap.errFile);
        MeterSimConfig_t cfg;
        meterSimDefaultConfig(&cfg, SS_ADDR);
        cfg.bServeStartup = 1;
        cfg.stpRandom = SS_CHALLENGE;
        cfg.stpUnixTime = SS_CLOCK;
        sim = meterSimStart(&cfg);
        ASSERT_NE(sim, nullptr);
    }
    void TearDown() override
    {
        if (ind > 0)
            sb.stop(ind);
        if (stp > 0)
            sb.stop(stp);
        meterSimStop(sim);
    }

    bool waitFrame(uint32_t from, int32_t link, int32_t cmd, MeterSimRecord_t *rec = nullptr)
    {
        MeterSimRecord_t r;
        return meterSimWait(sim, from, link, MSIM_EV_FRAME, cmd, WSC_DEADLINE_MS,
                            rec != nullptr ? rec : &r) == 1;
    }
    static int32_t word(const MeterSimRecord_t &rec, uint32_t at)
    {
        int32_t v = -1;
        if (at + 4 <= rec.nBytes)
            memcpy(&v, rec.bytes + at, 4);
        return v;
    }
    /* True once the frame buffer file holds the screen (display pixels,
     * little-endian) within the deadline. */
    bool lcdShows(const uint16_t *pixels)
    {
        std::string want(MSW_SCREEN_W * MSW_SCREEN_H * 2, '\0');
        for (size_t i = 0; i < (size_t)MSW_SCREEN_W * MSW_SCREEN_H; i++) {
            want[2 * i] = (char)(pixels[i] & 0xFF);
            want[2 * i + 1] = (char)(pixels[i] >> 8);
        }
        uint64_t end = wscNowMs() + WSC_DEADLINE_MS;
        while (sb.read("/dev/fb0") != want) {
            if (wscNowMs() >= end)
                return false;
            wscSleepMs(WSC_POLL_MS);
        }
        return true;
    }
    /* Every frame of the unit the meter recorded on `link`, in order. */
    std::vector<CmdTid> recorded(int32_t link)
    {
        std::vector<CmdTid> out;
        MeterSimRecord_t rec;
        uint32_t from = 0;
        while (meterSimWait(sim, from, link, MSIM_EV_FRAME, MSIM_ANY, 0, &rec) == 1) {
            out.emplace_back(std::to_string(rec.cmdType), std::to_string(rec.transID));
            from = rec.seq + 1;
        }
        return out;
    }

    KelSandbox sb{KEL_TEST_BIN_DIR};
    LoopbackCapture cap;
    MeterSim_t *sim = nullptr;
    pid_t stp = -1, ind = -1;
};

/* (command, transaction id) of every frame of `proto` in packets sent to
 * (toPort true) or from `port`, in capture order. */
static std::vector<CmdTid> framesOf(const std::vector<WscPacket> &pk, const std::string &proto,
                                    const std::string &port, bool toPort)
{
    std::vector<CmdTid> out;
    for (const WscPacket &p : pk) {
        if (!wscHas(p, toPort ? "tcp.dstport" : "tcp.srcport", port))
            continue;
        const std::vector<std::string> &c = p.at(proto + ".cmd");
        const std::vector<std::string> &t = p.at(proto + ".tid");
        for (size_t i = 0; i < c.size(); i++)
            out.emplace_back(c[i], i < t.size() ? t[i] : "?");
    }
    return out;
}

static std::vector<std::string> valuesFrom(const std::vector<WscPacket> &pk, const std::string &field,
                                           const std::string &srcPort)
{
    std::vector<WscPacket> sel;
    for (const WscPacket &p : pk)
        if (wscHas(p, "tcp.srcport", srcPort))
            sel.push_back(p);
    return wscAll(sel, field);
}

static int count(const std::vector<CmdTid> &frames, const std::string &cmd)
{
    int n = 0;
    for (const CmdTid &f : frames)
        n += f.first == cmd;
    return n;
}

TEST_F(UnitSession, EveryFrameOfTheSessionIsDecodedAndNoneIsMarked)
{
    /* Start-up: authenticated, versions equal, the app client runs and
     * announces both meter links. */
    stp = sb.spawn({"/usr/bin/kelstpclient", SS_ADDR});
    ASSERT_GT(stp, 0);
    MeterSimRecord_t stpReq, digest, fbReq;
    ASSERT_TRUE(waitFrame(0, MSIM_LINK_STARTUP, MSW_STP_DATA_REQ, &stpReq));
    ASSERT_TRUE(waitFrame(0, MSIM_LINK_STARTUP, MSW_STP_DIGEST, &digest));
    ASSERT_TRUE(waitFrame(0, MSIM_LINK_SCREEN, MSW_FB_DATA_REQ, &fbReq));
    ASSERT_TRUE(waitFrame(0, MSIM_LINK_NONSCREEN, MSW_NS_GET_DATA));

    /* A full screen, then the non-screen commands, each answered. */
    meterSimDrawPattern(sim, MSIM_PATTERN_BARS, 0);
    int32_t fullRects = meterSimSendScreen(sim, 0, 1);
    ASSERT_EQ(fullRects, 200);
    uint32_t tid[4];
    MSW_Pattern_t status = {1000, 50, 1, 0};
    MSW_Pattern_t alarm = {500, 25, 2, 1};
    ASSERT_EQ(meterSimSetBrightness(sim, 40, &tid[0]), 1);
    ASSERT_EQ(meterSimSetTime(sim, SS_CLOCK + 60, &tid[1]), 1);
    ASSERT_EQ(meterSimSetStatusLed(sim, MSW_LED_GREEN, &status, &tid[2]), 1);
    ASSERT_EQ(meterSimSetAlarmLed(sim, &alarm, &tid[3]), 1);
    for (uint32_t t : tid)
        EXPECT_EQ(meterSimWaitResponse(sim, MSIM_LINK_NONSCREEN, t, WSC_DEADLINE_MS), MSW_RC_OK);

    /* The screen link drops and comes back: the new connection starts
     * white, so only the rectangles of a small box travel; then a key. */
    uint32_t mark = meterSimMark(sim);
    ASSERT_EQ(meterSimDrop(sim, MSIM_LINK_SCREEN), 1);
    ASSERT_TRUE(waitFrame(mark, MSIM_LINK_SCREEN, MSW_FB_DATA_REQ));
    meterSimDrawPattern(sim, MSIM_PATTERN_SOLID, 0xFFFF);
    meterSimFillRect(sim, 100, 100, 40, 10, 0x001F);
    int32_t boxRects = meterSimSendScreen(sim, 1, 1);
    ASSERT_GT(boxRects, 0);
    ASSERT_LT(boxRects, 10);
    /* Once the box is on the LCD the link has announced itself, so the key
     * is not held back. */
    ASSERT_TRUE(lcdShows(meterSimScreen(sim)));
    ASSERT_TRUE(sb.pressKey(KEY_1_INPUT));
    ASSERT_TRUE(sb.releaseKey(KEY_1_INPUT));
    std::vector<MeterSimRecord_t> keys(2);
    ASSERT_TRUE(waitFrame(mark, MSIM_LINK_SCREEN, MSW_FB_KEYEVENT, &keys[0]));
    ASSERT_TRUE(waitFrame(keys[0].seq + 1, MSIM_LINK_SCREEN, MSW_FB_KEYEVENT, &keys[1]));

    /* The factory act: a station authenticates and runs a few commands. */
    ind = sb.spawn({"/usr/bin/kelindustry"});
    ASSERT_GT(ind, 0);
    StationSim_t st;
    stationSimInit(&st);
    ASSERT_EQ(stationSimConnect(&st, SS_ADDR, SSW_PORT, WSC_DEADLINE_MS), 1);
    ASSERT_EQ(stationSimAuthenticate(&st, STATION_DIGEST_RIGHT, WSC_DEADLINE_MS), 1);
    StationFrame_t resp;
    int32_t led[2] = {SSW_LED_STATE_RED, SSW_LED_ON};
    EXPECT_EQ(stationSimRequest(&st, SSW_SN_SET, SS_SN, strlen(SS_SN), &resp, WSC_DEADLINE_MS), 1);
    EXPECT_EQ(stationSimRequest(&st, SSW_LED_TEST, led, sizeof(led), &resp, WSC_DEADLINE_MS), 1);
    ASSERT_TRUE(sb.setTemperature(35250));
    EXPECT_EQ(stationSimRequest(&st, SSW_TEMP_GET, nullptr, 0, &resp, WSC_DEADLINE_MS), 1);
    int32_t stationTemp = stationSimResult(&resp);
    /* A key on the factory floor reaches the station (and the meter). */
    ASSERT_TRUE(sb.pressKey(KEY_HOME_INPUT));
    ASSERT_TRUE(sb.releaseKey(KEY_HOME_INPUT));
    std::vector<std::string> stationKeys;
    for (int i = 0; i < 2; i++) {
        StationFrame_t ev;
        ASSERT_EQ(stationSimWaitFor(&st, SSW_RESPONSE, SSW_BUTTON_TEST, &ev, WSC_DEADLINE_MS), 1);
        ASSERT_GE(ev.payloadLen, 8u);
        int32_t kv[2];
        memcpy(kv, ev.payload, sizeof(kv));
        stationKeys.push_back(std::to_string(kv[0]));
        stationKeys.push_back(std::to_string(kv[1]));
    }
    MeterSimRecord_t homeKey;
    ASSERT_TRUE(waitFrame(keys[1].seq + 1, MSIM_LINK_SCREEN, MSW_FB_KEYEVENT, &homeKey));
    ASSERT_TRUE(waitFrame(homeKey.seq + 1, MSIM_LINK_SCREEN, MSW_FB_KEYEVENT));
    EXPECT_EQ(stationSimRequest(&st, SSW_INFO_GET, nullptr, 0, &resp, WSC_DEADLINE_MS), 1);
    EXPECT_EQ(stationSimRequest(&st, SSW_HEARTBEAT, nullptr, 0, &resp, WSC_DEADLINE_MS), 1);
    stationSimClose(&st);

    /* What the meter heard, then the meter gone and the capture closed. */
    std::vector<CmdTid> heard[MSIM_NUM_LINKS];
    for (int32_t link = 0; link < MSIM_NUM_LINKS; link++)
        heard[link] = recorded(link);
    std::vector<std::string> meterKeys[2]; /* codes, actions */
    MeterSimRecord_t rec;
    for (uint32_t from = 0; meterSimWait(sim, from, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_KEYEVENT, 0,
                                         &rec) == 1;
         from = rec.seq + 1) {
        meterKeys[0].push_back(std::to_string(word(rec, 16)));
        meterKeys[1].push_back(std::to_string(word(rec, 20)));
    }
    sb.stop(ind);
    ind = -1;
    sb.stop(stp);
    stp = -1;
    meterSimStop(sim);
    sim = nullptr;
    ASSERT_TRUE(cap.stop());
    const char *keep = getenv("KEL_WIRESHARK_SAMPLES");
    if (keep != nullptr && *keep != '\0') {
        EXPECT_TRUE(cap.keep(std::string(keep) + "/session.pcap"));
    }

    std::string err;
    std::vector<WscPacket> pk = wscPackets(
        cap.file, "kelfb || kelns || kelstp || kelind",
        {"frame.number", "tcp.srcport", "tcp.dstport",
         "kelfb.cmd", "kelfb.tid", "kelfb.rect.bytes", "kelfb.display.width", "kelfb.display.height",
         "kelfb.display.bpp", "kelfb.key", "kelfb.key.action", "kelfb.resp.tid",
         "kelns.cmd", "kelns.tid", "kelns.brightness", "kelns.time", "kelns.led.colour",
         "kelns.led.cycle", "kelns.led.duty", "kelns.led.act", "kelns.led.inact", "kelns.resp.tid",
         "kelns.resp.code",
         "kelstp.cmd", "kelstp.tid", "kelstp.sn", "kelstp.challenge", "kelstp.time", "kelstp.digest",
         "kelstp.app_version", "kelstp.kernel_version", "kelstp.state",
         "kelind.cmd", "kelind.tid", "kelind.msgtype", "kelind.sn", "kelind.led", "kelind.led.ctrl",
         "kelind.result", "kelind.info.mpu_freq", "kelind.temperature", "kelind.key",
         "kelind.key.action"},
        &err);
    EXPECT_EQ(err.find("Lua"), std::string::npos) << err;

    /* Every frame the meter recorded from the unit, in order, on each
     * link; the capture may hold a few more sent while the meter stopped. */
    const char *ports[MSIM_NUM_LINKS] = {"1234", "1236", "1235"};
    const char *protos[MSIM_NUM_LINKS] = {"kelfb", "kelns", "kelstp"};
    for (int32_t link = 0; link < MSIM_NUM_LINKS; link++) {
        std::vector<CmdTid> got = framesOf(pk, protos[link], ports[link], true);
        ASSERT_GE(got.size(), heard[link].size()) << protos[link];
        EXPECT_LE(got.size(), heard[link].size() + SS_EXTRA_FRAMES) << protos[link];
        EXPECT_TRUE(std::equal(heard[link].begin(), heard[link].end(), got.begin())) << protos[link];
    }

    /* Screen: 200 rectangles and SCR_FIN, 201 frames covering all 153600
     * bytes of the screen; then the box's rectangles on the new connection. */
    std::vector<CmdTid> screen = framesOf(pk, "kelfb", "1234", false);
    size_t fin = 0;
    while (fin < screen.size() && screen[fin].first != "3")
        fin++;
    ASSERT_LT(fin, screen.size());
    std::vector<CmdTid> firstScreen;
    for (size_t i = 0; i <= fin; i++)
        if (screen[i].first == "2" || screen[i].first == "3")
            firstScreen.push_back(screen[i]);
    EXPECT_EQ(firstScreen.size(), 201u);
    EXPECT_EQ(count(screen, "2"), fullRects + boxRects);
    EXPECT_EQ(count(screen, "3"), 2);
    long bytes = 0;
    std::vector<std::string> rectBytes = valuesFrom(pk, "kelfb.rect.bytes", "1234");
    for (int i = 0; i < fullRects && i < (int)rectBytes.size(); i++)
        bytes += atol(rectBytes[i].c_str());
    EXPECT_EQ(bytes, 153600);
    EXPECT_EQ(wscAll(pk, "kelfb.display.width"), std::vector<std::string>(2, "320"));
    EXPECT_EQ(wscAll(pk, "kelfb.display.height"), std::vector<std::string>(2, "240"));
    EXPECT_EQ(wscAll(pk, "kelfb.display.bpp"), std::vector<std::string>(2, "16"));
    /* The keys as the meter recorded them: KEY_1, then HOME from the
     * factory act. */
    EXPECT_EQ(wscAll(pk, "kelfb.key"), meterKeys[0]);
    EXPECT_EQ(wscAll(pk, "kelfb.key.action"), meterKeys[1]);
    ASSERT_GE(meterKeys[0].size(), 2u);
    EXPECT_EQ(meterKeys[0][0], "103");
    EXPECT_EQ(meterKeys[1][0], "1");
    EXPECT_EQ(meterKeys[1][1], "0");
    EXPECT_EQ(meterKeys[0].size(), 4u);
    /* Each DATA_REQ answered by the meter's RESPONSE naming its id. */
    std::vector<std::string> fbAnswered = valuesFrom(pk, "kelfb.resp.tid", "1234");
    ASSERT_EQ(fbAnswered.size(), 2u);
    EXPECT_EQ(fbAnswered[0], std::to_string(fbReq.transID));

    /* Non-screen: the four commands with their values and ids, each
     * answered OK by the unit. */
    EXPECT_EQ(valuesFrom(pk, "kelns.brightness", "1236"), std::vector<std::string>{"40"});
    std::vector<std::string> when = valuesFrom(pk, "kelns.time", "1236");
    ASSERT_EQ(when.size(), 1u);
    EXPECT_NE(when[0].find("2030 17:47:40"), std::string::npos) << when[0];
    EXPECT_EQ(valuesFrom(pk, "kelns.led.colour", "1236"), std::vector<std::string>{"0"});
    EXPECT_EQ(valuesFrom(pk, "kelns.led.cycle", "1236"), (std::vector<std::string>{"1000", "500"}));
    EXPECT_EQ(valuesFrom(pk, "kelns.led.duty", "1236"), (std::vector<std::string>{"50", "25"}));
    EXPECT_EQ(valuesFrom(pk, "kelns.led.act", "1236"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(valuesFrom(pk, "kelns.led.inact", "1236"), (std::vector<std::string>{"0", "1"}));
    std::vector<CmdTid> commands = framesOf(pk, "kelns", "1236", false);
    std::vector<std::string> answered = wscAll(pk, "kelns.resp.tid");
    std::vector<std::string> codes = wscAll(pk, "kelns.resp.code");
    for (int i = 0; i < 4; i++) {
        std::string t = std::to_string(tid[i]);
        EXPECT_EQ(std::count(commands.begin(), commands.end(), CmdTid(std::to_string(1 + i), t)), 1)
            << "command with id " << t;
        auto at = std::find(answered.begin(), answered.end(), t);
        ASSERT_NE(at, answered.end()) << "no answer to " << t;
        EXPECT_EQ(codes[(size_t)(at - answered.begin())], "1");
    }

    /* Startup: the unit's data request, the meter's challenge and clock,
     * the unit's digest as the meter checked it, versions and state. */
    EXPECT_EQ(wscAll(pk, "kelstp.sn"), std::vector<std::string>{SS_SN});
    EXPECT_EQ(valuesFrom(pk, "kelstp.challenge", "1235"),
              std::vector<std::string>{std::to_string(SS_CHALLENGE)});
    std::vector<std::string> clock = valuesFrom(pk, "kelstp.time", "1235");
    ASSERT_EQ(clock.size(), 1u);
    EXPECT_NE(clock[0].find("2030 17:46:40"), std::string::npos) << clock[0];
    EXPECT_EQ(wscAll(pk, "kelstp.digest"), std::vector<std::string>{std::to_string((uint32_t)word(digest, 16))});
    EXPECT_EQ(digest.check, MSIM_CHECK_RIGHT);
    EXPECT_EQ(wscAll(pk, "kelstp.app_version"), std::vector<std::string>{"1.8"});
    EXPECT_EQ(wscAll(pk, "kelstp.kernel_version"), std::vector<std::string>{"193"});
    std::vector<std::string> states = wscAll(pk, "kelstp.state");
    EXPECT_NE(std::find(states.begin(), states.end(), "1"), states.end());

    /* Factory: the station's requests exactly, the unit's answers to each. */
    std::vector<std::pair<std::string, std::string>> asked, told;
    for (const WscPacket &p : pk) {
        bool toUnit = wscHas(p, "tcp.dstport", "1237");
        bool fromUnit = wscHas(p, "tcp.srcport", "1237");
        const std::vector<std::string> &m = p.at("kelind.msgtype");
        const std::vector<std::string> &c = p.at("kelind.cmd");
        for (size_t i = 0; i < c.size() && i < m.size(); i++) {
            if (toUnit)
                asked.emplace_back(m[i], c[i]);
            if (fromUnit)
                told.emplace_back(m[i], c[i]);
        }
    }
    std::vector<std::pair<std::string, std::string>> wantAsked = {
        {"1", "0"}, {"0", "1"}, {"1", "6"}, {"1", "10"}, {"1", "12"}, {"1", "19"}, {"1", "16"}};
    EXPECT_EQ(asked, wantAsked);
    std::vector<std::pair<std::string, std::string>> wantTold = {
        {"1", "1"}, {"0", "0"}, {"0", "6"}, {"0", "10"}, {"0", "12"},
        {"0", "11"}, {"0", "11"}, {"0", "19"}, {"0", "16"}};
    size_t k = 0;
    for (const auto &f : told)
        if (k < wantTold.size() && f == wantTold[k])
            k++;
    EXPECT_EQ(k, wantTold.size());
    EXPECT_EQ(wscAll(pk, "kelind.sn"), std::vector<std::string>{SS_SN});
    EXPECT_EQ(wscAll(pk, "kelind.led"), std::vector<std::string>{"1"});
    EXPECT_EQ(wscAll(pk, "kelind.info.mpu_freq"), std::vector<std::string>{"200000"});
    EXPECT_EQ(wscAll(pk, "kelind.temperature"), std::vector<std::string>{std::to_string(stationTemp)});
    EXPECT_EQ(stationTemp, 35250);
    std::vector<std::string> keysSeen;
    std::vector<std::string> keyCodes = wscAll(pk, "kelind.key");
    std::vector<std::string> keyActions = wscAll(pk, "kelind.key.action");
    for (size_t i = 0; i < keyCodes.size() && i < keyActions.size(); i++) {
        keysSeen.push_back(keyCodes[i]);
        keysSeen.push_back(keyActions[i]);
    }
    EXPECT_EQ(keysSeen, stationKeys);
    EXPECT_EQ(stationKeys, (std::vector<std::string>{"102", "1", "102", "0"}));

    /* Nothing of this good traffic is marked, and no Lua error anywhere. */
    std::vector<WscPacket> marked = wscPackets(
        cap.file, "(kelfb || kelns || kelstp || kelind) && _ws.expert.severity >= warning",
        {"frame.number"});
    EXPECT_EQ(wscAll(marked, "frame.number"), std::vector<std::string>());
    TsharkRun all = wscTshark(cap.file, "-V");
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out.find("Lua Error"), std::string::npos);
    EXPECT_EQ(all.err.find("Lua"), std::string::npos) << all.err;
}
