/*
 * The real control daemon's error log: reports from other processes reach
 * "kelerror.log" as one line each, and those meant for the meter go on to
 * the T queue once the app client is believed present.
 */
#include <regex>
#include <sys/wait.h>

#include "kelerror.h"
#include "test_daemon_harness.h"

#define ERROR_LOG "/kel/log/kelerror.log"

/* The line a report is written as, its time taken from the T queue copy
 * or given. */
static std::string logLine(UINT64 stamp, int task, int file, int line, int code)
{
    time_t t = (time_t)(UINT32)stamp;
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[96];
    snprintf(buf, sizeof(buf), "%4d%02d%02d-%02d%02d%02d:%d:%d:%d:%d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, task, file, line, code);
    return buf;
}

static std::vector<std::string> logLines(DaemonBoard &b)
{
    std::vector<std::string> lines;
    std::string text = b.sb.read(ERROR_LOG);
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    return lines;
}

/* The log line ending in ":<task>:<file>:<line>:<code>", or "". */
static std::string waitLogLine(DaemonBoard &b, int task, int file, int line, int code)
{
    char tail[64];
    snprintf(tail, sizeof(tail), ":%d:%d:%d:%d", task, file, line, code);
    std::string found;
    waitFor([&] {
        for (const std::string &l : logLines(b)) {
            if (l.size() > strlen(tail) && l.compare(l.size() - strlen(tail), strlen(tail), tail) == 0) {
                found = l;
                return true;
            }
        }
        return false;
    });
    return found;
}

/* Reports from a child process, as another program would send them. */
static void reportFromChild(kel_AppTaskID_t task, INT32 file, INT32 line, kel_ErrorCode_t code)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        _exit(kelLogError(task, file, line, code) > 0 ? 0 : 1);
    }
    int ws = 0;
    ASSERT_EQ(pid, waitpid(pid, &ws, 0));
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(0, WEXITSTATUS(ws)) << "report not sent";
}

TEST(DaemonErrorLog, ReportsOfOtherProgramsAreLoggedAndMeterReportsForwardedOnceTheAppClientIsThere)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    const std::regex shape("^[0-9]{8}-[0-9]{6}:[0-9]:[0-9]+:[0-9]+:[0-9]+$");

    /* No request yet: the app client is not believed present, so even a
     * hardware fault is only written. */
    reportFromChild(KEL_TASK_UPGRADE, KEL_FILEID_UPG, 4242, KEL_UPG_FAIL);
    std::string line = waitLogLine(b, KEL_TASK_UPGRADE, KEL_FILEID_UPG, 4242, KEL_UPG_FAIL);
    ASSERT_FALSE(line.empty()) << b.sb.read(ERROR_LOG);
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
    kel_MsgQue_Tx_t ev;
    EXPECT_FALSE(b.recvEventOf(KEL_MSG_ID_TX, KEL_MSGQ_TX_ERROR, &ev, 1000));

    /* Any request marks the app client present. */
    ASSERT_TRUE(b.fence());
    b.drain(KEL_MSG_ID_TX);
    reportFromChild(KEL_TASK_APP_INDUSTRY, KEL_FILEID_INDUSTRY, 77, KEL_COMM_TIMEOUT);
    ASSERT_EQ(1, kelLogError(KEL_TASK_NSC_CLIENT, KEL_FILEID_NSCLIENT, 313, KEL_FW_MSGQ_GETID_ERROR));

    /* The 302 goes to the meter with its code and time stamp; the 104 not. */
    bool forwarded = false;
    while (b.recvEventOf(KEL_MSG_ID_TX, KEL_MSGQ_TX_ERROR, &ev, HARNESS_DEADLINE_MS)) {
        EXPECT_NE(KEL_COMM_TIMEOUT, ev.data.nsErrData.errorData.errCode);
        if (ev.data.nsErrData.errorData.errCode == KEL_FW_MSGQ_GETID_ERROR) {
            forwarded = true;
            UINT64 stamp = ev.data.nsErrData.errorData.errTimeStamp;
            EXPECT_LE((UINT64)time(nullptr) - stamp, 120u);
            EXPECT_EQ(logLine(stamp, KEL_TASK_NSC_CLIENT, KEL_FILEID_NSCLIENT, 313, KEL_FW_MSGQ_GETID_ERROR),
                      waitLogLine(b, KEL_TASK_NSC_CLIENT, KEL_FILEID_NSCLIENT, 313, KEL_FW_MSGQ_GETID_ERROR));
            break;
        }
    }
    EXPECT_TRUE(forwarded);
    line = waitLogLine(b, KEL_TASK_APP_INDUSTRY, KEL_FILEID_INDUSTRY, 77, KEL_COMM_TIMEOUT);
    EXPECT_TRUE(std::regex_match(line, shape)) << line;

    /* Lines are appended in arrival order, oldest first. */
    std::vector<std::string> lines = logLines(b);
    size_t first = lines.size();
    size_t last = lines.size();
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find(":4:21:4242:400") != std::string::npos) {
            first = i;
        }
        if (lines[i].find(":2:2:313:302") != std::string::npos) {
            last = i;
        }
    }
    EXPECT_LT(first, last);
}

TEST(DaemonErrorLog, AReportIsWrittenWithItsOwnTimeStampAndAnAncientLogIsTrimmed)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    kel_ErrorLog_t report;
    memset(&report, 0, sizeof(report));
    report.appTaskID = KEL_TASK_STARTUP_CLIENT;
    report.fileID = KEL_FILEID_STARTCLIENT;
    report.lineNum = 9;
    report.bSendtoMeter = KEL_FALSE;
    report.errorData.errCode = KEL_COMM_CONNECT_FAIL;
    report.errorData.errTimeStamp = 0;
    ASSERT_EQ(1, kelSendErrorData(&report));
    EXPECT_EQ("19700101-000000:1:1:9:102", waitLogLine(b, 1, 1, 9, KEL_COMM_CONNECT_FAIL));

    report.lineNum = 10;
    report.errorData.errTimeStamp = 1706745599ull;
    ASSERT_EQ(1, kelSendErrorData(&report));
    EXPECT_EQ("20240131-235959:1:1:10:102", waitLogLine(b, 1, 1, 10, KEL_COMM_CONNECT_FAIL));
    /* The 1970 line made the log older than two years: it was trimmed
     * before the new line went in. */
    std::vector<std::string> lines = logLines(b);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("20240131-235959:1:1:10:102", lines.back());
    for (const std::string &l : lines) {
        EXPECT_NE(0u, l.rfind("1970", 0)) << l;
    }
    EXPECT_TRUE(b.alive());
}
