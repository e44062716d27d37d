/*
 * The meter simulator's screens and its command line: colour order,
 * whole and partial screens rebuilt the way the unit places rectangles,
 * image files, and kelmetersim serving a hand-written unit.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <thread>
#include <string>

#include "kelTestRoot.h"
#include "meterSim.h"
#include "test_metersimClient.h"

extern char **environ;

namespace {

const int W = 320;
const int H = 240;

/* The unit's own rule for one wire pixel (byte 0, byte 1) to display. */
uint16_t unitPixel(uint8_t b0, uint8_t b1)
{
    uint8_t n0 = (uint8_t)((b0 & 0xE0) | (b1 >> 3));
    uint8_t n1 = (uint8_t)((b1 & 0x07) | (uint8_t)(b0 << 3));
    return (uint16_t)(n0 | n1 << 8);
}

/* A unit frame buffer built from FBDATA frames the way the unit does. */
struct UnitFrame {
    std::vector<uint16_t> px = std::vector<uint16_t>(W * H, 0xFFFF);
    int rects = 0;
    bool place(const Bytes &f)
    {
        if (f.size() != 792 || get32(f, 12) != 2)
            return false;
        int x = get16(f, 16), y = get16(f, 18), w = get16(f, 20), h = get16(f, 22);
        if (x + w > W || y + h > H || w * h > 384)
            return false;
        for (int r = 0; r < h; r++)
            for (int c = 0; c < w; c++) {
                size_t at = 24 + 2 * (size_t)(r * w + c);
                px[(y + r) * W + x + c] = unitPixel(f[at], f[at + 1]);
            }
        rects++;
        return true;
    }
    /* Takes frames until SCR_FIN; false on anything else. */
    bool readScreen(int fd)
    {
        rects = 0;
        for (;;) {
            Bytes f = clientRecvFrame(fd, 3000);
            if (f.size() == 16 && get32(f, 12) == 3)
                return true;
            if (!place(f))
                return false;
        }
    }
};

class MeterScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int next = 10;
        addr = "127.0.78." + std::to_string(next++);
        MeterSimConfig_t cfg;
        meterSimDefaultConfig(&cfg, addr.c_str());
        cfg.heartbeatMs = 0;
        sim = meterSimStart(&cfg);
        ASSERT_NE(sim, nullptr);
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        meterSimStop(sim);
    }
    void connectScreen()
    {
        if (fd >= 0)
            close(fd);
        uint32_t mark = meterSimMark(sim);
        fd = clientConnect(addr.c_str(), 1234);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(meterSimWait(sim, mark, MSIM_LINK_SCREEN, MSIM_EV_CONNECT, MSIM_ANY, 2000, nullptr), 1);
    }
    bool sameAsSim(const UnitFrame &u)
    {
        const uint16_t *s = meterSimScreen(sim);
        return std::equal(u.px.begin(), u.px.end(), s);
    }
    std::string addr;
    MeterSim_t *sim = nullptr;
    int fd = -1;
};

TEST(MeterColour, WireOrderIsUndoneExactlyByTheUnitsByteRule)
{
    EXPECT_EQ(meterSimDisplayToWire(0xF800), 0x001F);
    EXPECT_EQ(meterSimDisplayToWire(0x07E0), 0x07E0);
    for (uint32_t v = 0; v < 0x10000; v++) {
        uint16_t wire = meterSimDisplayToWire((uint16_t)v);
        ASSERT_EQ(unitPixel((uint8_t)wire, (uint8_t)(wire >> 8)), v) << v;
    }
    EXPECT_EQ(meterSimRgb565(255, 0, 0), 0x001F);
    EXPECT_EQ(meterSimRgb565(0, 0, 255), 0xF800);
}

TEST_F(MeterScreen, AWholeScreenIsTwoHundredRectanglesAndScrFin)
{
    connectScreen();
    meterSimDrawPattern(sim, MSIM_PATTERN_GRADIENT, 0);
    int32_t sent = 0;
    std::thread sender([&] { sent = meterSimSendScreen(sim, 0, 1); });
    UnitFrame unit;
    bool ok = unit.readScreen(fd);
    sender.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(sent, 200);
    EXPECT_EQ(unit.rects, 200);
    EXPECT_TRUE(sameAsSim(unit));
    EXPECT_EQ(unit.px[0], 0x0000);
    EXPECT_EQ(unit.px[W * H - 1], 0xFFFF);
}

TEST_F(MeterScreen, OnlyChangedRectanglesFollowAndANewConnectionStartsWhite)
{
    connectScreen();
    meterSimDrawPattern(sim, MSIM_PATTERN_SOLID, 0xFFFF);
    meterSimFillRect(sim, 0, 0, 64, 6, 0x0000);        /* one tile */
    meterSimFillRect(sim, 300, 230, 20, 10, 0xF800);   /* two tiles */
    UnitFrame unit;
    std::thread first([&] { meterSimSendScreen(sim, 1, 1); });
    ASSERT_TRUE(unit.readScreen(fd));
    first.join();
    /* A fresh unit shows white: white tiles are not sent. */
    EXPECT_EQ(unit.rects, 3);
    EXPECT_TRUE(sameAsSim(unit));

    meterSimFillRect(sim, 100, 97, 10, 3, 0x1234);
    EXPECT_EQ(meterSimSendScreen(sim, 1, 1), 1);
    Bytes rect = clientRecvFrame(fd);
    ASSERT_TRUE(unit.place(rect));
    EXPECT_EQ(get16(rect, 16), 64);
    EXPECT_EQ(get16(rect, 18), 96);
    EXPECT_EQ(clientRecvFrame(fd), frameHead(16, 5, 3));
    EXPECT_TRUE(sameAsSim(unit));

    EXPECT_EQ(meterSimSendScreen(sim, 1, 0), 0);   /* nothing changed */

    /* After a reconnection the unit shows white again. */
    connectScreen();
    meterSimDrawPattern(sim, MSIM_PATTERN_SOLID, 0xFFFF);
    meterSimFillRect(sim, -5, 230, 20, 50, 0x0000);   /* clipped to the screen */
    EXPECT_EQ(meterSimSendScreen(sim, 1, 0), 2);
}

TEST_F(MeterScreen, SendingWithoutAUnitFails)
{
    EXPECT_EQ(meterSimSendScreen(sim, 0, 1), -1);
    EXPECT_EQ(meterSimSendScrFin(sim), -1);
}

std::string tempPath(const char *name)
{
    const char *dir = getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/metersim_" + std::to_string(getpid()) + "_" + name;
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
}

TEST_F(MeterScreen, PpmImagesAreReadTopLeftAndBrokenOnesRefused)
{
    std::string path = tempPath("ok.ppm");
    std::string px = std::string("\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF\xFF\xFF\xFF", 12);
    writeFile(path, "P6\n# two by two\n2 2\n255\n" + px);
    meterSimDrawPattern(sim, MSIM_PATTERN_SOLID, 0x1111);
    ASSERT_EQ(meterSimLoadImage(sim, path.c_str()), 1);
    const uint16_t *s = meterSimScreen(sim);
    EXPECT_EQ(s[0], 0x001F);
    EXPECT_EQ(s[1], 0x07E0);
    EXPECT_EQ(s[W], 0xF800);
    EXPECT_EQ(s[W + 1], 0xFFFF);
    EXPECT_EQ(s[2], 0x0000);        /* black beyond the picture */
    EXPECT_EQ(s[W * H - 1], 0x0000);

    /* 16-bit samples, wider than the screen: cropped. */
    std::string wide = "P6 400 1 65535\n";
    for (int x = 0; x < 400; x++)
        wide += x == 319 ? std::string("\x00\x00\xFF\xFF\x00\x00", 6) : std::string(6, '\0');
    writeFile(path, wide);
    ASSERT_EQ(meterSimLoadImage(sim, path.c_str()), 1);
    EXPECT_EQ(s[319], 0x07E0);

    meterSimDrawPattern(sim, MSIM_PATTERN_SOLID, 0x2222);
    const char *broken[] = {
        "P6\n2 2\n255\n\xFF\x00\x00",    /* ends before its pixels */
        "P6\n2 2\n0\n",                  /* no colour range */
        "P3\n1 1\n255\n255 0 0\n",       /* text variant */
        "P6\n0 2\n255\n",                /* empty */
        "P6\n99999999 2\n255\n",         /* absurd size */
    };
    for (const char *b : broken) {
        writeFile(path, b);
        EXPECT_EQ(meterSimLoadImage(sim, path.c_str()), -1) << b;
        EXPECT_EQ(s[0], 0x2222) << b;
    }
    EXPECT_EQ(meterSimLoadImage(sim, "/nonexistent/file.ppm"), -1);
    unlink(path.c_str());
}

#ifdef METERSIM_HAVE_PNG
TEST_F(MeterScreen, PngImagesAreReadWhereBuiltWithPng)
{
    /* 2 x 1 RGB, 8 bits: a red and a blue pixel. */
    const unsigned char png[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00,
        0x00, 0x7b, 0x40, 0xe8, 0xdd, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
        0x9c, 0x63, 0xf8, 0xcf, 0x00, 0x04, 0xff, 0x01, 0x07, 0x00, 0x01, 0xff, 0xe2, 0x23,
        0x9e, 0x59, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    std::string path = tempPath("ok.png");
    writeFile(path, std::string((const char *)png, sizeof(png)));
    ASSERT_EQ(meterSimLoadImage(sim, path.c_str()), 1);
    const uint16_t *s = meterSimScreen(sim);
    EXPECT_EQ(s[0], 0x001F);
    EXPECT_EQ(s[1], 0xF800);
    EXPECT_EQ(s[2], 0x0000);
    /* Cut short: refused, screen unchanged. */
    writeFile(path, std::string((const char *)png, 45));
    EXPECT_EQ(meterSimLoadImage(sim, path.c_str()), -1);
    EXPECT_EQ(s[0], 0x001F);
    unlink(path.c_str());
}
#endif

/* kelmetersim as a child process, its output in a file. */
struct CliRun {
    pid_t pid = -1;
    std::string out;
    bool start(const std::vector<std::string> &args)
    {
        out = tempPath("cli.txt");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::string prog = std::string(KEL_TEST_BIN_DIR) + "/kelmetersim";
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(prog.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        return rc == 0;
    }
    int wait()
    {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~CliRun()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!out.empty())
            unlink(out.c_str());
    }
};

TEST(MeterCli, ServesScreenAndSettingsToAUnitAndPrintsWhatItSends)
{
    const char *addr = "127.0.78.200";
    CliRun cli;
    ASSERT_TRUE(cli.start({addr, "--pattern", "solid:ff0000", "--brightness", "50",
                           "--alarm-led", "1000,50,1,1", "--heartbeat", "0",
                           "--duration", "8000"}));
    int ns = clientConnect(addr, 1236, 6000);
    ASSERT_GE(ns, 0);
    ASSERT_TRUE(clientSend(ns, frameHead(16, 0, 7)));
    Bytes answer = clientRecvFrame(ns, 3000);
    ASSERT_EQ(answer.size(), 28u);
    EXPECT_EQ(get32(answer, 24), 1u);
    Bytes bright = clientRecvFrame(ns, 3000);
    Bytes expectBright = frameHead(20, 1, 1);
    put32(expectBright, 50);
    EXPECT_EQ(bright, expectBright);
    Bytes alarm = clientRecvFrame(ns, 3000);
    Bytes expectAlarm = frameHead(24, 2, 4);
    for (uint16_t v : {1000, 50, 1, 1})
        put16(expectAlarm, v);
    EXPECT_EQ(alarm, expectAlarm);

    int fb = clientConnect(addr, 1234, 3000);
    ASSERT_GE(fb, 0);
    Bytes req = frameHead(22, 0, 1);
    put16(req, 320);
    put16(req, 240);
    put16(req, 16);
    ASSERT_TRUE(clientSend(fb, req));
    EXPECT_EQ(clientRecvFrame(fb, 3000).size(), 28u);
    UnitFrame unit;
    ASSERT_TRUE(unit.readScreen(fb));
    EXPECT_EQ(unit.rects, 200);
    EXPECT_EQ(std::count(unit.px.begin(), unit.px.end(), 0x001F), W * H);

    Bytes key = frameHead(24, 1, 4);
    put32(key, 103);
    put32(key, 0);
    ASSERT_TRUE(clientSend(fb, key));
    usleep(300000);
    close(ns);
    close(fb);
    kill(cli.pid, SIGTERM);
    EXPECT_EQ(cli.wait(), 0);
    std::string text = kelTestReadFile(cli.out);
    EXPECT_NE(text.find("GET_DATA"), std::string::npos) << text;
    EXPECT_NE(text.find("DATA_REQ trans 0 len 22 320x240 bpp 16"), std::string::npos) << text;
    EXPECT_NE(text.find("key 103 released"), std::string::npos) << text;
    EXPECT_NE(text.find("screen sent: 200 rectangles"), std::string::npos) << text;
}

TEST(MeterCli, RefusesBadCommandLines)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"127.0.78.201", "--brightness", "x"}, {"127.0.78.201", "--pattern", "solid:12"},
             {"127.0.78.201", "--alarm-led", "1,2,3"}, {"127.0.78.201", "--bogus"}}) {
        CliRun cli;
        ASSERT_TRUE(cli.start(args));
        EXPECT_EQ(cli.wait(), 2);
    }
}

} // namespace
