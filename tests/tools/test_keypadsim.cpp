/*
 * Keypad simulator scenarios: the built keypadsim runs in a temporary
 * platform root and its records are read back from the keypad device
 * (a FIFO as on the virtual board, or a regular file).
 */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelTestRoot.h"
#include "toolRun.h"

namespace {

const char kMenu[] =
    "\nKeyPad Simulator -->\nPlease input:\n"
    "- LEFT: \ta/A\n"
    "- RIGHT:\td/D\n"
    "- UP: \t\tw/W\n"
    "- DOWN:\t\ts/S\n"
    "- HOME:\t\th/H\n"
    "- ESC:\t\te/E\n"
    "- QUIT: \tq/Q\n";

const int kRecordSize = 16;

struct Record {
    uint32_t sec;
    uint32_t usec;
    uint16_t type;
    uint16_t code;
    int32_t value;
};

/* Splits device bytes into 16-byte little-endian records. */
std::vector<Record> parseRecords(const std::string &bytes)
{
    std::vector<Record> recs;
    for (size_t off = 0; off + kRecordSize <= bytes.size(); off += kRecordSize) {
        Record r;
        memcpy(&r.sec, bytes.data() + off, 4);
        memcpy(&r.usec, bytes.data() + off + 4, 4);
        memcpy(&r.type, bytes.data() + off + 8, 2);
        memcpy(&r.code, bytes.data() + off + 10, 2);
        memcpy(&r.value, bytes.data() + off + 12, 4);
        recs.push_back(r);
    }
    return recs;
}

/* The key codes pressed, one per stroke, after checking that every stroke
 * is press, report, release, report. */
std::vector<int> strokes(const std::string &bytes)
{
    EXPECT_EQ(0u, bytes.size() % (4 * kRecordSize));
    std::vector<Record> r = parseRecords(bytes);
    std::vector<int> codes;
    for (size_t i = 0; i + 4 <= r.size(); i += 4) {
        EXPECT_EQ(1, r[i].type);
        EXPECT_EQ(1, r[i].value);
        EXPECT_EQ(1, r[i + 2].type);
        EXPECT_EQ(r[i].code, r[i + 2].code);
        EXPECT_EQ(0, r[i + 2].value);
        for (size_t k : {i + 1, i + 3}) {
            EXPECT_EQ(0, r[k].type);
            EXPECT_EQ(0, r[k].code);
            EXPECT_EQ(0, r[k].value);
        }
        codes.push_back(r[i].code);
    }
    return codes;
}

class KeypadSim : public ::testing::Test {
protected:
    KelTestRoot root;
    std::string out;

    void SetUp() override { ASSERT_EQ(0, mkdir(root.path("/dev").c_str(), 0755)); }

    void makeDevice() { root.write("/dev/input/event0", ""); }

    int run(const std::string &input, const std::vector<std::string> &args = {},
            long sizeLimit = TOOL_RUN_NO_LIMIT)
    {
        std::vector<std::string> argv = {toolPath("keypadsim")};
        argv.insert(argv.end(), args.begin(), args.end());
        ToolRun how;
        how.input = input;
        how.fileSizeLimit = sizeLimit;
        return toolRun(argv, root.dir(), how, &out);
    }

    std::string device() { return root.read("/dev/input/event0"); }
};

TEST_F(KeypadSim, LeftThenRightReachTheBoardFifoAsFourExactRecordsEach)
{
    ASSERT_EQ(0, mkdir(root.path("/dev/input").c_str(), 0755));
    std::string fifo = root.path("/dev/input/event0");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    /* Hold a reader open as the daemon would, so the bytes stay in the pipe. */
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);

    uint32_t before = (uint32_t)time(nullptr);
    EXPECT_EQ(0, run("ad\n"));
    uint32_t after = (uint32_t)time(nullptr);
    EXPECT_EQ(kMenu, out);

    std::string bytes;
    char buf[512];
    ssize_t n;
    while ((n = read(rd, buf, sizeof(buf))) > 0) {
        bytes.append(buf, (size_t)n);
    }
    close(rd);
    ASSERT_EQ(8u * kRecordSize, bytes.size());
    EXPECT_EQ((std::vector<int>{105, 106}), strokes(bytes));

    std::vector<Record> r = parseRecords(bytes);
    for (size_t s = 0; s < r.size(); s += 4) {
        /* Each report carries its key record's stamp; release follows press. */
        EXPECT_EQ(r[s].sec, r[s + 1].sec);
        EXPECT_EQ(r[s].usec, r[s + 1].usec);
        EXPECT_EQ(r[s + 2].sec, r[s + 3].sec);
        EXPECT_EQ(r[s + 2].usec, r[s + 3].usec);
        uint64_t press = (uint64_t)r[s].sec * 1000000u + r[s].usec;
        uint64_t release = (uint64_t)r[s + 2].sec * 1000000u + r[s + 2].usec;
        EXPECT_LE(press, release);
        for (size_t k = s; k < s + 4; k++) {
            EXPECT_LT(r[k].usec, 1000000u);
            EXPECT_GE(r[k].sec, before);
            EXPECT_LE(r[k].sec, after);
        }
    }
}

TEST_F(KeypadSim, EveryLetterOfTheTableSendsItsKeyInEitherCase)
{
    ASSERT_EQ(0, mkdir(root.path("/dev/input").c_str(), 0755));
    makeDevice();
    EXPECT_EQ(0, run("aAlL dDrR\nwWuU sS hH eE\n"));
    EXPECT_EQ((std::vector<int>{105, 105, 105, 105, 106, 106, 106, 106, 103, 103, 103, 103,
                                108, 108, 102, 102, 1, 1}),
              strokes(device()));
}

TEST_F(KeypadSim, CharactersOutsideTheTableSendNothingAndEndOfInputEndsTheTool)
{
    ASSERT_EQ(0, mkdir(root.path("/dev/input").c_str(), 0755));
    makeDevice();
    const char ignored[] = "xXzZ 019?\t\r\n\x7f\xff";
    EXPECT_EQ(0, run(std::string(ignored, sizeof(ignored) - 1)));
    EXPECT_EQ(kMenu, out);
    EXPECT_EQ("", device());
}

TEST_F(KeypadSim, QuitEndsTheToolBeforeTheLettersThatFollow)
{
    ASSERT_EQ(0, mkdir(root.path("/dev/input").c_str(), 0755));
    makeDevice();
    EXPECT_EQ(0, run("hQdd\n"));
    EXPECT_EQ((std::vector<int>{102}), strokes(device()));
}

TEST_F(KeypadSim, OnlyASingleArgumentChoosesTheDevice)
{
    ASSERT_EQ(0, mkdir(root.path("/dev/input").c_str(), 0755));
    makeDevice();
    std::string other = root.path("/other.dev");
    root.write("/other.dev", "");

    EXPECT_EQ(0, run("e", {other}));
    EXPECT_EQ((std::vector<int>{1}), strokes(root.read("/other.dev")));
    EXPECT_EQ("", device());

    /* Two arguments: neither is used, the board's keypad is. */
    std::string second = root.path("/second.dev");
    EXPECT_EQ(0, run("w", {other, second}));
    EXPECT_EQ((std::vector<int>{103}), strokes(device()));
    EXPECT_EQ(4u * kRecordSize, root.read("/other.dev").size());
    EXPECT_NE(0, access(second.c_str(), F_OK));
}

TEST_F(KeypadSim, AMissingKeypadIsReportedWithStatus255)
{
    EXPECT_EQ(255, run("a"));
    EXPECT_EQ("error open keyboard:\n", out);
}

TEST_F(KeypadSim, ADeviceThatRefusesARecordEndsTheToolWithAFailure)
{
    ASSERT_EQ(0, mkdir(root.path("/dev/input").c_str(), 0755));
    makeDevice();
    /* Room for two and a half records: the release cannot be written. */
    EXPECT_EQ(255, run("aa", {}, 40));
    EXPECT_EQ(std::string(kMenu) + "error write keyboard:\n", out);
    EXPECT_EQ(40u, device().size());
}

} // namespace
