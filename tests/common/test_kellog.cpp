/*
 * Log file helpers: time stamps written from UTC fields read back to the
 * same second (also past 2038 on the 32-bit board), head trimming by a
 * copy renamed over the log, and repair of an older in-place trim that was
 * cut short.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "kel.h"
#include "kelTestRoot.h"
#include "kellog.h"

namespace {

std::string stampOf(UINT64 t)
{
    char buf[16] = {0};
    EXPECT_EQ(1, kelFormatTimeStamp(t, buf, sizeof(buf)));
    return buf;
}

/* Runs the body with a local time zone five hours east of UTC. */
class AwayFromUtc : public ::testing::Test {
protected:
    std::string oldTz;
    bool hadTz = false;
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        hadTz = tz != nullptr;
        oldTz = tz ? tz : "";
        setenv("TZ", "KEL-5", 1);
        tzset();
    }
    void TearDown() override
    {
        if (hadTz) {
            setenv("TZ", oldTz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
};

TEST_F(AwayFromUtc, StampsBeyond2038RoundTripAsUtc)
{
    const UINT64 y2039 = 2179019648ull; /* 2039-01-19 03:14:08 */
    const UINT64 y2105 = 4291747199ull; /* 2105-12-31 23:59:59 */
    EXPECT_EQ("20390119-031408", stampOf(y2039));
    EXPECT_EQ("21051231-235959", stampOf(y2105));
    EXPECT_EQ(y2039, kelGetTimeStampByStr("20390119-031408", 15));
    EXPECT_EQ(y2105, kelGetTimeStampByStr("21051231-235959", 15));

    /* A whole record line: only the stamp counts. */
    std::string record = stampOf(1700000000ull) + ":41.500\n";
    EXPECT_EQ(1700000000ull, kelGetTimeStampByStr(record.c_str(), (UINT32)record.size()));
}

TEST(TimeStamp, MalformedInputGivesZeroOrANormalisedDate)
{
    EXPECT_EQ(0ull, kelGetTimeStampByStr("20390119-031408", 14));
    EXPECT_EQ(0ull, kelGetTimeStampByStr(nullptr, 15));
    EXPECT_EQ(0ull, kelGetTimeStampByStr("2039", 4));
    /* Month 13 is January of the next year. */
    EXPECT_EQ(kelGetTimeStampByStr("20250101-000000", 15), kelGetTimeStampByStr("20241301-000000", 15));
    char small[15];
    EXPECT_EQ(-1, kelFormatTimeStamp(0, small, sizeof(small)));
}

class LogFiles : public ::testing::Test {
protected:
    KelTestRoot root;
    std::string log;
    std::string staging;

    void SetUp() override
    {
        log = root.path("/kel/log/keltemp.log");
        staging = root.path("/kel/sys/log/keltemp.log");
    }
    void put(const std::string &path, const std::string &text)
    {
        FILE *fp = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, fp);
        fwrite(text.data(), 1, text.size(), fp);
        fclose(fp);
    }
};

TEST_F(LogFiles, SizeAndExistence)
{
    EXPECT_EQ(-1, kelFileGetSize(log.c_str()));
    EXPECT_EQ(-1, kelFileExist(log.c_str()));
    EXPECT_EQ(-1, kelFileExist(nullptr));
    put(log, "");
    EXPECT_EQ(0, kelFileGetSize(log.c_str()));
    EXPECT_EQ(1, kelFileExist(log.c_str()));
    put(log, "0123456789");
    EXPECT_EQ(10, kelFileGetSize(log.c_str()));
}

TEST_F(LogFiles, TrimmingRemovesHeadLinesAndCountsLongLinesAsSeveral)
{
    put(log, "line1\nline2\nline3\nline4\n");
    EXPECT_EQ(1, kelFileDeleteLine(log.c_str(), 2));
    EXPECT_EQ("line3\nline4\n", kelTestReadFile(log));
    EXPECT_EQ(-1, kelFileExist(staging.c_str()));

    /* 62 characters and the line end fit one read; 100 take two. */
    std::string fits(62, 'a');
    std::string longLine(100, 'b');
    put(log, fits + "\n" + longLine + "\nlast\n");
    EXPECT_EQ(1, kelFileDeleteLine(log.c_str(), 1));
    EXPECT_EQ(longLine + "\nlast\n", kelTestReadFile(log));
    EXPECT_EQ(1, kelFileDeleteLine(log.c_str(), 2));
    EXPECT_EQ("last\n", kelTestReadFile(log));

    EXPECT_EQ(1, kelFileDeleteLine(log.c_str(), 10));
    EXPECT_EQ("", kelTestReadFile(log));
    EXPECT_EQ(-1, kelFileDeleteLine(log.c_str(), 0));
    EXPECT_EQ(-1, kelFileDeleteLine(nullptr, 1));
}

TEST_F(LogFiles, TrimmingAMissingLogFailsAndLeavesNothingBehind)
{
    EXPECT_EQ(-1, kelFileDeleteLine(log.c_str(), 1));
    EXPECT_EQ(-1, kelFileExist(log.c_str()));
    EXPECT_EQ(-1, kelFileExist((log + ".trim").c_str()));
    EXPECT_EQ(-1, kelFileExist(staging.c_str()));
}

TEST_F(LogFiles, ATrimReplacesTheLogInOneStepInsteadOfRewritingItInPlace)
{
    put(log, "r1\nr2\nr3\n");
    FILE *before = fopen(log.c_str(), "rb");
    ASSERT_NE(nullptr, before);
    EXPECT_EQ(1, kelFileDeleteLine(log.c_str(), 1));
    EXPECT_EQ("r2\nr3\n", kelTestReadFile(log));
    /* The file that was the log is untouched: the new one took its name. */
    char old[64] = {0};
    size_t n = fread(old, 1, sizeof(old) - 1, before);
    fclose(before);
    EXPECT_EQ("r1\nr2\nr3\n", std::string(old, n));
    EXPECT_EQ(-1, kelFileExist((log + ".trim").c_str()));
    EXPECT_EQ(-1, kelFileExist(staging.c_str()));

    /* A trim cut before its rename leaves its copy beside a whole log; the
     * next start drops the copy and keeps the log. */
    put(log + ".trim", "r3\n");
    EXPECT_EQ(1, kelInitLogFile(log.c_str()));
    EXPECT_EQ(-1, kelFileExist((log + ".trim").c_str()));
    EXPECT_EQ("r2\nr3\n", kelTestReadFile(log));
}

TEST_F(LogFiles, RepairWithoutStagingChangesNothing)
{
    put(log, "a\nb\n");
    EXPECT_EQ(1, kelInitLogFile(log.c_str()));
    EXPECT_EQ("a\nb\n", kelTestReadFile(log));
}

TEST_F(LogFiles, RepairRestoresALogCutShortFromItsStagedCopy)
{
    put(staging, "r2\nr3\nr4\n");
    put(log, "r2\nr"); /* the copy back broke off */
    time_t start = time(nullptr);
    EXPECT_EQ(1, kelInitLogFile(log.c_str()));
    EXPECT_GE(time(nullptr) - start, 4); /* the repair pauses about 5 s */
    EXPECT_EQ("r2\nr3\nr4\n", kelTestReadFile(log));
    EXPECT_EQ(-1, kelFileExist(staging.c_str()));
}

TEST_F(LogFiles, RepairDropsALeftoverStagingWhenTheLogIsWhole)
{
    put(staging, "r3\n");
    put(log, "r1\nr2\nr3\n");
    EXPECT_EQ(1, kelInitLogFile(log.c_str()));
    EXPECT_EQ("r1\nr2\nr3\n", kelTestReadFile(log));
    EXPECT_EQ(-1, kelFileExist(staging.c_str()));
}

TEST_F(LogFiles, AgeComesFromTheFirstRecord)
{
    UINT64 now = kelGetRTCTime();
    put(log, stampOf(now - 3600) + ":40.000\n" + stampOf(now) + ":41.000\n");
    INT32 age = kelFileGetLogPeriod(log.c_str());
    EXPECT_GE(age, 3600);
    EXPECT_LE(age, 3605);
    put(log, "");
    EXPECT_EQ(-1, kelFileGetLogPeriod(log.c_str()));
    unlink(log.c_str());
    EXPECT_EQ(-1, kelFileGetLogPeriod(log.c_str()));
}

TEST(LogStaging, ARootTooLongForThePathIsRefused)
{
    KelTestRoot root;
    std::string log = root.path("/kel/log/keltemp.log");
    FILE *fp = fopen(log.c_str(), "wb");
    ASSERT_NE(nullptr, fp);
    fputs("x\n", fp);
    fclose(fp);
    setenv("KEL_ROOT", (root.dir() + "/" + std::string(300, 'd')).c_str(), 1);
    EXPECT_EQ(-1, kelInitLogFile(log.c_str()));
    setenv("KEL_ROOT", root.dir().c_str(), 1);
    EXPECT_EQ("x\n", kelTestReadFile(log));
}

} // namespace
