/*
 * Temperature: the lm75 reading, the temperature log with its record format
 * and its age and size limits, and the main loop's periodic check that
 * offers changed readings on the T queue and logs once an hour.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>

#include <regex>
#include <string>
#include <vector>

#include "kel.h"
#include "kelTestRoot.h"
#include "kelctlstate.h"
#include "keltemp.h"

namespace {

const char *kSensor = "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input";
const char *kLog = "/kel/log/keltemp.log";
const UINT32 kDay = 86400;

/* Record time stamp of `secondsAgo` before now, in UTC. */
std::string stampAgo(long secondsAgo)
{
    time_t t = time(NULL) - secondsAgo;
    struct tm utc;
    gmtime_r(&t, &utc);
    char buf[32];
    snprintf(buf, sizeof(buf), "%04d%02d%02d-%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec);
    return buf;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            nl = text.size() - 1;
        }
        out.push_back(text.substr(pos, nl - pos + 1));
        pos = nl + 1;
    }
    return out;
}

/* Temperatures waiting on the queue of `letter`. */
std::vector<INT32> drainTemps(const KelTestRoot &root, char letter)
{
    std::vector<INT32> out;
    int id = msgget(ftok(root.path("/home/root").c_str(), letter), 0);
    if (id < 0) {
        return out;
    }
    struct {
        long mtype;
        char text[64];
    } buf;
    while (msgrcv(id, &buf, sizeof(buf.text), 0, IPC_NOWAIT) >= 8) {
        INT32 cmd, value;
        memcpy(&cmd, buf.text, 4);
        memcpy(&value, buf.text + 4, 4);
        EXPECT_EQ(buf.mtype, KEL_MSG_TYPE_TX);
        EXPECT_EQ(cmd, KEL_MSGQ_TX_TEMPERATURE);
        out.push_back(value);
    }
    return out;
}

class Temperature : public ::testing::Test {
protected:
    KelTestRoot root;

    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        kelTempSetTrimPause(0);
        ASSERT_EQ(system(("mkdir -p " + root.path("/sys/bus/i2c/drivers/lm75/3-0048")).c_str()), 0);
        root.write(kSensor, "35000\n");
        KEL_STORE(bAppClientRunning, KEL_FALSE);
        KEL_STORE(tempSendValue, 0);
        KEL_STORE(tTempLogTick, kelGetTick());
    }
    void TearDown() override { kelTempSetTrimPause(KEL_LOG_TRIM_PAUSE_MS); }

    /* A log of `count` records, the first `firstAgo` seconds old, each line
     * exactly `width` bytes. */
    std::string makeLog(int count, long firstAgo, size_t width = 32)
    {
        std::string text;
        for (int i = 0; i < count; i++) {
            std::string line = stampAgo(i == 0 ? firstAgo : 3600) + ": " + std::to_string(i);
            line.append(width - 1 - line.size(), ' ');
            text += line + "\n";
        }
        return text;
    }
};

} // namespace

TEST_F(Temperature, SensorTextIsReadAsThousandthsAndGarbageIsNoReading)
{
    INT32 t = 1;
    root.write(kSensor, "900\n");
    EXPECT_EQ(kelGetTemperature(&t), 1);
    EXPECT_EQ(t, 900);
    root.write(kSensor, "-99999\n");
    EXPECT_EQ(kelGetTemperature(&t), 1);
    EXPECT_EQ(t, -99999);

    for (const char *bad : {"", "N/A\n"}) {
        root.write(kSensor, bad);
        EXPECT_EQ(kelGetTemperature(&t), -1) << "'" << bad << "'";
    }
    unlink(root.path(kSensor).c_str());
    EXPECT_EQ(kelGetTemperature(&t), -1);
    EXPECT_EQ(t, -99999) << "a failed read leaves the caller's value alone";
}

TEST_F(Temperature, FirstRecordCreatesTheLogInUtcWithOneDecimal)
{
    time_t before = time(NULL);
    ASSERT_EQ(kelLogTempToFile(900), 1);
    ASSERT_EQ(kelLogTempToFile(-500), 1);
    ASSERT_EQ(kelLogTempToFile(35149), 1);
    time_t after = time(NULL);

    std::vector<std::string> got = lines(root.read(kLog));
    ASSERT_EQ(got.size(), 3u);
    std::regex shape("^(\\d{8}-\\d{6}): (-?\\d+\\.\\d)\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, shape)) << got[0];
    EXPECT_EQ(m[2], "0.9");
    std::string stamp = m[1];
    EXPECT_TRUE(stamp == stampAgo(time(NULL) - before) || stamp == stampAgo(time(NULL) - after)) << stamp;
    ASSERT_TRUE(std::regex_match(got[1], m, shape)) << got[1];
    EXPECT_EQ(m[2], "-0.5");
    ASSERT_TRUE(std::regex_match(got[2], m, shape)) << got[2];
    EXPECT_EQ(m[2], "35.1");
}

TEST_F(Temperature, AFullOrTwoYearOldLogLosesItsFiftyOldestLines)
{
    std::string full = makeLog(2097152 / 32, 3600);
    ASSERT_EQ(full.size(), 2097152u);
    root.write(kLog, full);
    ASSERT_EQ(kelLogTempToFile(36000), 1);
    std::vector<std::string> got = lines(root.read(kLog));
    ASSERT_EQ(got.size(), 2097152u / 32 - 50 + 1);
    EXPECT_EQ(got.front(), full.substr(50 * 32, 32));
    EXPECT_NE(got.back().find(": 36.0\n"), std::string::npos);

    std::string old = makeLog(120, 731 * kDay);
    root.write(kLog, old);
    ASSERT_EQ(kelLogTempToFile(20000), 1);
    got = lines(root.read(kLog));
    ASSERT_EQ(got.size(), 120u - 50 + 1);
    EXPECT_EQ(got.front(), old.substr(50 * 32, 32));

    root.write(kLog, makeLog(120, 729 * kDay));
    ASSERT_EQ(kelLogTempToFile(20000), 1);
    EXPECT_EQ(lines(root.read(kLog)).size(), 121u) << "729 days is young enough";
}

TEST_F(Temperature, ChangedReadingsAreOfferedToTheAppClientUntilASendFails)
{
    KEL_STORE(bAppClientRunning, KEL_TRUE);
    kelCtrlTempHandle();
    kelCtrlTempHandle();
    EXPECT_EQ(drainTemps(root, 'T'), std::vector<INT32>{35000}) << "an unchanged reading is not resent";
    EXPECT_EQ(KEL_LOAD(tempSendValue), 35000);

    KEL_STORE(bAppClientRunning, KEL_FALSE);
    root.write(kSensor, "36000\n");
    kelCtrlTempHandle();
    EXPECT_TRUE(drainTemps(root, 'T').empty());
    EXPECT_EQ(KEL_LOAD(tempSendValue), 35000) << "the last offered value is kept";

    KEL_STORE(bAppClientRunning, KEL_TRUE);
    kelCtrlTempHandle();
    EXPECT_EQ(drainTemps(root, 'T'), std::vector<INT32>{36000});
    EXPECT_TRUE(drainTemps(root, 'I').empty());

    /* A T queue that cannot take a message: the app client is gone. */
    int id = msgget(ftok(root.path("/home/root").c_str(), 'T'), 0);
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    ds.msg_qbytes = 4;
    ASSERT_EQ(msgctl(id, IPC_SET, &ds), 0);
    root.write(kSensor, "37000\n");
    kelCtrlTempHandle();
    EXPECT_EQ(KEL_LOAD(bAppClientRunning), KEL_FALSE);
    EXPECT_EQ(KEL_LOAD(tempSendValue), 37000);
}

TEST_F(Temperature, TheLogIsWrittenOnceAnHour)
{
    kelCtrlTempHandle();
    EXPECT_EQ(root.read(kLog), "") << "less than an hour since the last record";

    KEL_STORE(tTempLogTick, kelGetTick() - 3600001u);
    kelCtrlTempHandle();
    EXPECT_EQ(lines(root.read(kLog)).size(), 1u);
    kelCtrlTempHandle();
    EXPECT_EQ(lines(root.read(kLog)).size(), 1u) << "the hour starts again";
}

TEST_F(Temperature, RequestedReadingsAreAnsweredOnTheFactoryQueue)
{
    EXPECT_EQ(kelCtrlSendTemperature(-1500, KEL_MSG_ID_INDUSTRY), 1);
    EXPECT_EQ(drainTemps(root, 'I'), std::vector<INT32>{-1500});
    EXPECT_TRUE(drainTemps(root, 'T').empty());
}
