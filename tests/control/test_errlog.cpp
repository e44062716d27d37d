/*
 * Error log writer: the record line of each report, forwarding of meter
 * reports to the app client on the T queue while it is believed present,
 * the age and size trims of the log, repair of an interrupted trim, and the
 * thread body consuming the E queue.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kel.h"
#include "kelTestRoot.h"
#include "kelctlstate.h"
#include "kelerrlog.h"
#include "kelmsg.h"

namespace {

const char *kLog = "/kel/log/kelerror.log";
const char *kStaging = "/kel/sys/log/kelerror.log";
const long kDay = 86400;

kel_ErrorLog_t report(INT32 code, UINT64 stamp, INT32 task = KEL_TASK_CONTROL, INT32 file = 5, INT32 line = 100)
{
    kel_ErrorLog_t r;
    memset(&r, 0, sizeof(r));
    r.appTaskID = task;
    r.fileID = file;
    r.lineNum = line;
    r.bSendtoMeter = code > 199 ? KEL_TRUE : KEL_FALSE;
    r.errorData.errCode = code;
    r.errorData.errTimeStamp = stamp;
    return r;
}

kel_MsgQue_Error_t message(const kel_ErrorLog_t &r)
{
    kel_MsgQue_Error_t m;
    memset(&m, 0, sizeof(m));
    m.msgType = KEL_MSG_TYPE_ERROR;
    m.errLogData = r;
    return m;
}

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

/* `count` lines of exactly 32 bytes, the first `firstAgo` seconds old. */
std::string makeLog(int count, long firstAgo, int firstIndex = 0)
{
    std::string text;
    for (int i = 0; i < count; i++) {
        std::string line = stampAgo(i == 0 ? firstAgo : 60) + ":0:5:" + std::to_string(firstIndex + i) + ":300";
        line.append(31 - line.size(), '0');
        text += line + "\n";
    }
    return text;
}

size_t countLines(const std::string &text)
{
    size_t n = 0;
    for (char c : text) {
        n += (c == '\n');
    }
    return n;
}

/* Error payloads waiting on the T queue. */
std::vector<kel_ErrorData_t> drainErrors(const KelTestRoot &root)
{
    std::vector<kel_ErrorData_t> out;
    int id = msgget(ftok(root.path("/home/root").c_str(), 'T'), 0);
    if (id < 0) {
        return out;
    }
    struct {
        long mtype;
        char text[64];
    } buf;
    ssize_t n;
    while ((n = msgrcv(id, &buf, sizeof(buf.text), 0, IPC_NOWAIT)) >= 0) {
        EXPECT_EQ(n, 16) << "command word and error data";
        INT32 cmd;
        kel_ErrorData_t data;
        memcpy(&cmd, buf.text, 4);
        memcpy(&data, buf.text + 4, sizeof(data));
        EXPECT_EQ(buf.mtype, KEL_MSG_TYPE_TX);
        EXPECT_EQ(cmd, KEL_MSGQ_TX_ERROR);
        out.push_back(data);
    }
    return out;
}

class ErrorLog : public ::testing::Test {
protected:
    KelTestRoot root;

    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        kelErrorLogSetTrimPause(0);
        KEL_STORE(bAppClientRunning, KEL_FALSE);
    }
    void TearDown() override
    {
        kelErrorLogSetTrimPause(5000);
        KEL_STORE(bAppClientRunning, KEL_FALSE);
    }
    INT32 handle(const kel_ErrorLog_t &r)
    {
        kel_MsgQue_Error_t m = message(r);
        return kelErrorLogHandleMsg(&m, KEL_MSGQ_ERROR_BYTES);
    }
};

} // namespace

TEST_F(ErrorLog, EachReportBecomesOneUtcLineInAFreshLog)
{
    ASSERT_EQ(kelLogErrorToFile(NULL), -1);
    EXPECT_EQ(root.read(kLog), "") << "nothing is written for a missing report";

    kel_ErrorLog_t first = report(260, 0, KEL_TASK_CONTROL, 5, 100);
    ASSERT_EQ(kelLogErrorToFile(&first), 1);
    EXPECT_EQ(root.read(kLog), "19700101-000000:0:5:100:260\n");

    unlink(root.path(kLog).c_str());
    kel_ErrorLog_t second = report(105, 1706745599ull, KEL_TASK_NSC_CLIENT, 2, 4321);
    ASSERT_EQ(kelLogErrorToFile(&second), 1);
    EXPECT_EQ(root.read(kLog), "20240131-235959:2:2:4321:105\n");

    /* Later reports go below the first. */
    kel_ErrorLog_t third = report(302, (UINT64)time(NULL), KEL_TASK_FB_CLIENT, 3, 7);
    unlink(root.path(kLog).c_str());
    ASSERT_EQ(kelLogErrorToFile(&third), 1);
    ASSERT_EQ(kelLogErrorToFile(&second), 1);
    EXPECT_EQ(root.read(kLog), stampAgo(time(NULL) - (time_t)third.errorData.errTimeStamp) +
                                   ":3:3:7:302\n20240131-235959:2:2:4321:105\n");
}

TEST_F(ErrorLog, AnOutlandishTimeStampStillGivesAWellFormedLine)
{
    /* Only the low 32 bits count: 0x1_0000_0000 + 86400 is one day after
     * the epoch. */
    kel_ErrorLog_t r = report(300, 0x100000000ull + 86400, -7, INT32_MIN, INT32_MAX);
    ASSERT_EQ(kelLogErrorToFile(&r), 1);
    EXPECT_EQ(root.read(kLog), "19700102-000000:-7:-2147483648:2147483647:300\n");
}

TEST_F(ErrorLog, MeterReportsAreForwardedOnlyWhileTheAppClientRuns)
{
    UINT64 now = (UINT64)time(NULL);
    KEL_STORE(bAppClientRunning, KEL_TRUE);
    EXPECT_EQ(handle(report(302, now)), 1);
    EXPECT_EQ(handle(report(105, now + 1)), 1);
    std::vector<kel_ErrorData_t> sent = drainErrors(root);
    ASSERT_EQ(sent.size(), 1u) << "code 105 is for the log only";
    EXPECT_EQ(sent[0].errCode, 302);
    EXPECT_EQ(sent[0].errTimeStamp, now);

    KEL_STORE(bAppClientRunning, KEL_FALSE);
    EXPECT_EQ(handle(report(303, now + 2)), 1);
    EXPECT_TRUE(drainErrors(root).empty());
    EXPECT_EQ(countLines(root.read(kLog)), 3u) << "every report is written";
}

TEST_F(ErrorLog, AFailedForwardMarksTheAppClientAbsentAndStillWritesTheReport)
{
    int id = msgget(ftok(root.path("/home/root").c_str(), 'T'), IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    ds.msg_qbytes = 4; /* too small for any event */
    ASSERT_EQ(msgctl(id, IPC_SET, &ds), 0);

    KEL_STORE(bAppClientRunning, KEL_TRUE);
    EXPECT_EQ(handle(report(211, 1700000000ull)), 1);
    EXPECT_EQ(KEL_LOAD(bAppClientRunning), KEL_FALSE);
    EXPECT_EQ(root.read(kLog), "20231114-221320:0:5:100:211\n");
}

TEST_F(ErrorLog, AMessageThatIsNotAWholeReportIsDropped)
{
    KEL_STORE(bAppClientRunning, KEL_TRUE);
    kel_MsgQue_Error_t m = message(report(302, 1));
    EXPECT_EQ(kelErrorLogHandleMsg(&m, 8), 0);
    EXPECT_EQ(kelErrorLogHandleMsg(&m, 0), 0);
    EXPECT_EQ(kelErrorLogHandleMsg(NULL, KEL_MSGQ_ERROR_BYTES), 0);
    EXPECT_EQ(access(root.path(kLog).c_str(), F_OK), -1) << "no log is created";
    EXPECT_TRUE(drainErrors(root).empty());
}

TEST_F(ErrorLog, AFullOrTwoYearOldLogLosesFiftyLinesBeforeTheNewOne)
{
    std::string full = makeLog(2097152 / 32, 60);
    ASSERT_EQ(full.size(), 2097152u);
    root.write(kLog, full);
    kel_ErrorLog_t r = report(310, 1700000000ull);
    ASSERT_EQ(kelLogErrorToFile(&r), 1);
    std::string now = root.read(kLog);
    EXPECT_EQ(now.size(), 2097152u - 50 * 32 + 28);
    EXPECT_EQ(now.compare(0, 32, full, 50 * 32, 32), 0) << "line 51 is now the first";
    EXPECT_EQ(now.substr(now.size() - 28), "20231114-221320:0:5:100:310\n");

    std::string old = makeLog(80, 731 * kDay);
    root.write(kLog, old);
    ASSERT_EQ(kelLogErrorToFile(&r), 1);
    now = root.read(kLog);
    EXPECT_EQ(countLines(now), 31u);
    EXPECT_EQ(now.compare(0, 32, old, 50 * 32, 32), 0);

    std::string young = makeLog(80, 729 * kDay);
    root.write(kLog, young);
    ASSERT_EQ(kelLogErrorToFile(&r), 1);
    EXPECT_EQ(root.read(kLog), young + "20231114-221320:0:5:100:310\n");
}

TEST_F(ErrorLog, ATrimCutOffWhileCopyingBackIsRepairedWithoutLosingARecord)
{
    /* The staged copy (records 50..99) was complete; copying it back over
     * the log broke off after a few lines. */
    std::string staged = makeLog(50, 60, 50);
    root.write(kStaging, staged);
    root.write(kLog, staged.substr(0, 100));

    kel_ErrorLog_t r = report(320, 1700000000ull);
    ASSERT_EQ(kelLogErrorToFile(&r), 1);
    EXPECT_EQ(root.read(kLog), staged + "20231114-221320:0:5:100:320\n");
    EXPECT_EQ(access(root.path(kStaging).c_str(), F_OK), -1) << "the staging file is gone";
}

TEST_F(ErrorLog, TheThreadWritesReportsFromTheErrorQueueAndSkipsBrokenOnes)
{
    INT32 qid = -1;
    ASSERT_EQ(kelAppMsgQueGetID(&qid, KEL_MSG_ID_ERROR), 1);

    /* A cut-off message first, then a whole report. */
    struct {
        long mtype;
        char text[28];
    } shortMsg;
    memset(&shortMsg, 0x5a, sizeof(shortMsg));
    shortMsg.mtype = KEL_MSG_TYPE_ERROR;
    ASSERT_EQ(msgsnd(qid, &shortMsg, 8, IPC_NOWAIT), 0);
    kel_MsgQue_Error_t m = message(report(260, 0));
    ASSERT_EQ(kelAppMsgQueDataSend(qid, KEL_MSG_TYPE_ERROR, &m), 1);

    /* The thread body never returns: run it in a child process of this
     * root and end that child when done. */
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        kelErrorLogHandleThread(NULL);
        _exit(0);
    }
    std::string text;
    for (int i = 0; i < 200 && text.empty(); i++) {
        usleep(50000);
        text = root.read(kLog);
    }
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
    EXPECT_EQ(text, "19700101-000000:0:5:100:260\n");
}
