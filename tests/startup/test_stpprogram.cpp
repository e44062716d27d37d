/*
 * The kelstpclient program in a virtual board against a small meter written
 * here, listening on 127.0.0.42:1235. The control daemon and the app client
 * are replaced by idle scripts at their board paths, so the test sees the
 * work-mode requests on the R queue itself.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kelSandbox.h"
#include "kelstartcommon.h"
#include "linkPeer.h"

static const char *kMeterAddr = "127.0.0.42";

/* A process that only idles; its command line carries its board path. */
static const char kIdleScript[] = "#!/bin/sh\nwhile :; do sleep 0.2; done\n";

/* Listening end of the meter's startup port. */
class FakeMeter {
public:
    FakeMeter()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(KELSTP_PORT);
        inet_pton(AF_INET, kMeterAddr, &a.sin_addr);
        if (bind(fd, (struct sockaddr *)&a, sizeof(a)) != 0 || listen(fd, 4) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~FakeMeter()
    {
        if (conn >= 0) {
            close(conn);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    bool ok() const { return fd >= 0; }
    /* Waits for the unit to connect; the connection or -1. */
    int accept(int timeoutMs)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) {
            return -1;
        }
        conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        return conn;
    }
    void hangUp()
    {
        close(conn);
        conn = -1;
    }
    void send(INT32 cmdType, const void *payload)
    {
        KELSTP_Message_t msg;
        INT32 len = stpBuildMSG(&msg, cmdType, payload, seq++);
        ASSERT_GT(len, 0);
        ASSERT_TRUE(peerWrite(conn, &msg, (size_t)len));
    }
    /* Next frame from the unit, skipping heartbeats; cmdType -100 if none. */
    KELSTP_Message_t next(int timeoutMs = 3000)
    {
        KELSTP_Message_t msg;
        for (;;) {
            memset(&msg, 0, sizeof(msg));
            msg.cmdType = -100;
            if (!peerRead(conn, &msg, 16, timeoutMs)) {
                msg.cmdType = -100;
                return msg;
            }
            if (msg.length > 16 && msg.length <= sizeof(msg) &&
                !peerRead(conn, (char *)&msg + 16, msg.length - 16, timeoutMs)) {
                msg.cmdType = -100;
                return msg;
            }
            if (msg.cmdType != KELSTP_CMD_HEARTBEAT) {
                return msg;
            }
        }
    }

private:
    int fd = -1;
    int conn = -1;
    UINT32 seq = 100;
};

/* Replaces a board path (a link into the build) by an idle script. */
static void replaceWithIdle(KelSandbox &sb, const std::string &boardPath)
{
    unlink(sb.path(boardPath).c_str()); /* never write through the link */
    ASSERT_TRUE(sb.write(boardPath, kIdleScript));
    chmod(sb.path(boardPath).c_str(), 0755);
}

/* Idle stand-ins for the daemon and the app client, the app version the
 * meter accepts and the unit's serial number. */
static void prepareBoard(KelSandbox &sb)
{
    replaceWithIdle(sb, "/usr/bin/kelcontrol");
    replaceWithIdle(sb, "/kel/app/kelappclient");
    ASSERT_TRUE(sb.write("/kel/config/kel.conf", "APP_VERSION 001.008.000\n"));
    ASSERT_TRUE(sb.write("/kel/factory/sn.conf", "SN UNIT42\n"));
}

/* Work modes the program asked the control daemon for, in order. */
static std::vector<int> askedModes(const KelSandbox &sb)
{
    std::vector<int> got;
    int id = msgget(ftok(sb.path("/home/root").c_str(), 'R'), 0);
    if (id < 0) {
        return got;
    }
    struct {
        long mtype;
        char text[64];
    } buf;
    while (msgrcv(id, &buf, sizeof(buf.text), 0, IPC_NOWAIT) >= 8) {
        int cmd, mode;
        memcpy(&cmd, buf.text, 4);
        memcpy(&mode, buf.text + 4, 4);
        if (cmd == 5) {
            got.push_back(mode);
        }
    }
    return got;
}

static uint32_t digestByHand(uint32_t r)
{
    uint64_t t = (((uint64_t)r * (uint64_t)KEL_DIGEST_M) + 3171547ull) & 0xFFFFFFFFull;
    return (uint32_t)(t % (uint64_t)KEL_DIGEST_N);
}

TEST(StartupProgram, AuthenticatesStartsTheAppAndStopsItWhenTheLinkDrops)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    FakeMeter meter;
    ASSERT_TRUE(meter.ok());
    prepareBoard(sb);

    pid_t pid = sb.spawn({"/usr/bin/kelstpclient", kMeterAddr});
    ASSERT_GT(pid, 0);

    /* The daemon is not running: its init script is run first. */
    EXPECT_TRUE(sb.waitJournal("/etc/init.d/kelcontrol start", 10000));
    ASSERT_GE(meter.accept(15000), 0);

    /* Data request: firmware 3.2.193 and the serial number without NUL. */
    KELSTP_Message_t m = meter.next();
    ASSERT_EQ(KELSTP_CMD_DATA_REQ, m.cmdType);
    EXPECT_EQ(26u, m.length);
    EXPECT_EQ(0u, m.transID); /* first frame of the program */
    EXPECT_EQ(3, m.dataReq.kelFwVersion.majorVersion);
    EXPECT_EQ(2, m.dataReq.kelFwVersion.minorVersion);
    EXPECT_EQ(193, m.dataReq.kelFwVersion.buildVersion);
    EXPECT_EQ(std::string("UNIT42"), std::string(m.dataReq.serialNum));

    /* Challenge: the clock is set and the digest answered. */
    KELSTP_randomData_t challenge = {0x0BADF00Du, 1700000000ull};
    meter.send(KELSTP_CMD_RANDOM, &challenge);
    m = meter.next();
    ASSERT_EQ(KELSTP_CMD_DIGEST, m.cmdType);
    EXPECT_EQ(digestByHand(0x0BADF00Du), m.digestData.digest);
    EXPECT_TRUE(sb.waitJournal("date -s 2023.11.14-22:13:20", 3000));

    /* Matching versions: the app client is started and reported running. */
    KELSTP_versionData_t versions = {264, 193};
    meter.send(KELSTP_CMD_VERSION, &versions);
    m = meter.next(5000);
    ASSERT_EQ(KELSTP_CMD_STATE, m.cmdType);
    EXPECT_EQ(KELSTP_STATE_APP_RUNNING, m.stateData.state);
    EXPECT_TRUE(sb.journalHas("/etc/init.d/kelappclient start"));
    std::vector<int> modes = askedModes(sb);
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(0, modes.front()); /* normal, once connected */

    /* The meter goes away: the app client is stopped, the unit comes back
     * with a fresh data request. */
    meter.hangUp();
    EXPECT_TRUE(sb.waitJournal("/etc/init.d/kelappclient stop", 5000));
    ASSERT_GE(meter.accept(15000), 0);
    m = meter.next();
    EXPECT_EQ(KELSTP_CMD_DATA_REQ, m.cmdType);

    EXPECT_TRUE(sb.running(pid));
    sb.stop(pid);
}

TEST(StartupProgram, StartedWithItsStandardDescriptorsClosedItStillReachesTheMeter)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    FakeMeter meter;
    ASSERT_TRUE(meter.ok());
    prepareBoard(sb);

    /* Started by a shell with descriptors 0, 1 and 2 closed; its pid goes
     * where the sandbox finds the services it stops at the end. */
    ASSERT_EQ(0, sb.shell(std::string("\"$KEL_ROOT/usr/bin/kelstpclient\" ") + kMeterAddr +
                          " <&- >&- 2>&- & echo $! > \"$KEL_ROOT/var/run/kelstpclient-closed.pid\""));
    ASSERT_GE(meter.accept(15000), 0);
    EXPECT_EQ(KELSTP_CMD_DATA_REQ, meter.next().cmdType);
}

TEST(StartupProgram, ATooLongMeterAddressEndsTheProgram)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    pid_t pid = sb.spawn({"/usr/bin/kelstpclient", "127.000.000.0420"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(255, sb.waitExit(pid, 10000)); /* -1 from main */
    EXPECT_FALSE(sb.journalHas("/etc/init.d/kelcontrol start"));
}
