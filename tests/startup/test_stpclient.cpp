/*
 * Startup client, one function at a time: the version check, the commands
 * it runs, and the startup state machine driven frame by frame. The meter
 * is the far end of a socket pair on 127.0.0.41; the outside programs are
 * stand-in scripts in a temporary platform root that record each call.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kel.h"
#include "kelStartclient.h"
#include "kelTestRoot.h"
#include "kelmsg.h"
#include "linkPeer.h"

static const char *kAddr = "127.0.0.41";

/* Stand-in body shared by the scripts: one journal line per call, then the
 * exit status a test left in <root>/exit/<name>, if any. */
static const char kStandinHead[] =
    "#!/bin/sh\n"
    "echo \"$0 $*\" >>\"$KEL_ROOT/journal\"\n"
    "f=\"$KEL_ROOT/exit/$(basename \"$0\")\"\n"
    "[ -f \"$f\" ] && exit \"$(cat \"$f\")\"\n";

/* The app client stand-in's start: a process whose command line names the
 * app client, alive until stopped or the root is removed. */
static const char kAppScriptBody[] =
    "app=\"$KEL_ROOT/kel/app/kelappclient\"\n"
    "case \"$1\" in\n"
    "start) [ -n \"$NO_APP\" ] && exit 0; rm -f \"$app.stop\";\n"
    "  sh -c 'while [ -e \"$0\" ] && [ ! -e \"$0.stop\" ]; do sleep 0.1; done' \"$app\" "
    "</dev/null >/dev/null 2>&1 &\n"
    "  exit 0;;\n"
    "stop) touch \"$app.stop\"; exit 0;;\n"
    "esac\n"
    "exit 1\n";

class StartupClient : public ::testing::Test {
protected:
    KelTestRoot root;
    std::string oldPath;
    KEL_DEVICE_INFO dev;
    LinkPair *link = nullptr;

    void SetUp() override
    {
        oldPath = getenv("PATH") ? getenv("PATH") : "";
        mkdir(root.path("/bin").c_str(), 0755);
        mkdir(root.path("/exit").c_str(), 0755);
        mkdir(root.path("/etc").c_str(), 0755);
        mkdir(root.path("/etc/init.d").c_str(), 0755);
        mkdir(root.path("/usr").c_str(), 0755);
        mkdir(root.path("/usr/bin").c_str(), 0755);
        mkdir(root.path("/kel/app").c_str(), 0755);
        /* The clock is never set: "date" is a stand-in found first on PATH. */
        script("/bin/date", "exit 0\n");
        script("/etc/init.d/kelappclient", kAppScriptBody);
        script("/usr/bin/kelstartapp", "exit 0\n");
        std::string path = root.path("/bin") + ":" + oldPath;
        setenv("PATH", path.c_str(), 1);
        unsetenv("NO_APP");
        root.write("/kel/config/kel.conf", "APP_VERSION 001.008.000\n");

        memset(&dev, 0, sizeof(dev));
        dev.socket = -1;
        dev.workMode = KEL_NUM_OF_MODES;
    }

    void TearDown() override
    {
        unlink(root.path("/kel/app/kelappclient").c_str());
        delete link;
        setenv("PATH", oldPath.c_str(), 1);
    }

    void script(const std::string &boardPath, const std::string &body)
    {
        root.write(boardPath, std::string(kStandinHead) + body);
        chmod(root.path(boardPath).c_str(), 0755);
    }

    void exitWith(const std::string &name, int status)
    {
        root.write("/exit/" + name, std::to_string(status) + "\n");
    }

    std::vector<std::string> journal() const
    {
        std::vector<std::string> lines;
        std::string all = root.read("/journal");
        size_t pos = 0;
        while (pos < all.size()) {
            size_t nl = all.find('\n', pos);
            if (nl == std::string::npos) {
                nl = all.size();
            }
            lines.push_back(all.substr(pos, nl - pos));
            pos = nl + 1;
        }
        return lines;
    }

    /* Connected link in the given startup state. */
    void connect(kel_DeviceState_t state)
    {
        link = new LinkPair(kAddr);
        ASSERT_GT(link->meter, 0);
        dev.socket = link->unit;
        dev.socketState = KEL_SOCKET_CONNECTED;
        dev.deviceState = state;
        dev.bDataRequested = KEL_TRUE;
        dev.stateTick = dev.sendTick = dev.recvTick = kelGetTick();
    }

    void installApp() { root.write("/kel/app/kelappclient", "app\n"); }

    void receive(INT32 cmdType, const void *payload)
    {
        KELSTP_Message_t msg;
        ASSERT_GT(stpBuildMSG(&msg, cmdType, payload, 0), 0);
        stpClientRecvMsgHandle(&dev, &msg);
    }

    /* Next frame the unit sent: command type and first payload word;
     * cmd -100 when nothing came within the wait. */
    struct Sent {
        int cmd;
        uint32_t word;
        uint32_t length;
    };
    Sent sent(int waitMs = 1000)
    {
        unsigned char head[16];
        Sent s = {-100, 0, 0};
        if (!peerRead(link->meter, head, 16, waitMs)) {
            return s;
        }
        memcpy(&s.length, head + 4, 4);
        memcpy(&s.cmd, head + 12, 4);
        if (s.length > 16 && s.length <= 52) {
            unsigned char body[36];
            EXPECT_TRUE(peerRead(link->meter, body, s.length - 16));
            memcpy(&s.word, body, 4);
        }
        return s;
    }

    /* Work modes asked of the control daemon so far (R queue). */
    std::vector<int> modes() const
    {
        std::vector<int> got;
        key_t key = ftok(root.path("/home/root").c_str(), KEL_MSG_ID_RX);
        int id = msgget(key, 0);
        if (id < 0) {
            return got;
        }
        struct {
            long mtype;
            char text[64];
        } buf;
        while (msgrcv(id, &buf, sizeof(buf.text), KEL_MSG_TYPE_RX, IPC_NOWAIT) >= 8) {
            int cmd, mode;
            memcpy(&cmd, buf.text, 4);
            memcpy(&mode, buf.text + 4, 4);
            if (cmd == KEL_MSGQ_RX_OPT_MODE) {
                got.push_back(mode);
            }
        }
        return got;
    }
};

/* ---- Versions ---- */

TEST_F(StartupClient, InstalledVersionIsMajorTimesTwoFiftySixPlusMinor)
{
    struct {
        const char *text;
        uint32_t want;
    } cases[] = {
        {"001.008.000", 264},
        {"2.300.5", 2 * 256 + 44},
        {"300.1.0", (300 * 256 + 1) % 65536},
        {"7", 7 * 256},
    };
    for (auto &c : cases) {
        root.write("/kel/config/kel.conf", std::string("APP_VERSION ") + c.text + "\n");
        KELSTP_versionData_t v = {0xDEAD, 0};
        EXPECT_EQ(1, stpGetVersion(&v));
        EXPECT_EQ(c.want, v.kelAppVersion) << c.text;
        EXPECT_EQ(193u, v.kelKernelVersion);
    }
    /* Without the key the application version is left as it was. */
    root.write("/kel/config/kel.conf", "LANGUAGE 0\n");
    KELSTP_versionData_t v = {0xDEAD, 0};
    EXPECT_EQ(1, stpGetVersion(&v));
    EXPECT_EQ(0xDEADu, v.kelAppVersion);
    EXPECT_EQ(193u, v.kelKernelVersion);
}

TEST_F(StartupClient, VersionCheckWeighsKernelBuildFirstAndTakesNoVersionAsDifferent)
{
    KELSTP_versionData_t same = {264, 193}, newerKernel = {264, 194};
    KELSTP_versionData_t olderKernelOtherApp = {265, 192}, olderKernelSameApp = {264, 1};
    EXPECT_EQ(0, stpVersionCheck(&same));
    EXPECT_EQ(2, stpVersionCheck(&newerKernel));
    EXPECT_EQ(1, stpVersionCheck(&olderKernelOtherApp));
    EXPECT_EQ(0, stpVersionCheck(&olderKernelSameApp));

    /* Nothing installed: whatever the meter expects, even 0, differs. */
    root.write("/kel/config/kel.conf", "");
    KELSTP_versionData_t zero = {0, 193};
    EXPECT_EQ(1, stpVersionCheck(&zero));
    EXPECT_EQ(1, stpVersionCheck(&same));
    EXPECT_EQ(2, stpVersionCheck(&newerKernel));
}

/* ---- Commands ---- */

TEST_F(StartupClient, ControlCommandsRunTheScriptInsideThePlatformRoot)
{
    EXPECT_EQ(1, stpKELAppCtrl("/etc/init.d/kelappclient", KEL_APP_OPT_STOP));
    EXPECT_EQ(1, stpKELAppCtrl("/usr/bin/kelstartapp", KEL_APP_OPT_COPY));
    exitWith("kelstartapp", 3);
    EXPECT_EQ(-1, stpKELAppCtrl("/usr/bin/kelstartapp", KEL_APP_OPT_COPY));
    /* A script that is not there, and an operation that does not exist. */
    EXPECT_EQ(-1, stpKELAppCtrl("/etc/init.d/nothere", KEL_APP_OPT_START));
    EXPECT_EQ(-1, stpKELAppCtrl("/usr/bin/kelstartapp", (kelAppCtrlType_t)7));
    EXPECT_EQ(-1, stpKELAppCtrl(NULL, KEL_APP_OPT_START));
    /* A file whose name holds a command separator runs as that one file:
     * the shell never splits its name into two commands. */
    script("/usr/bin/a;b", "exit 0\n");
    script("/usr/bin/a", "exit 0\n");
    EXPECT_EQ(1, stpKELAppCtrl("/usr/bin/a;b", KEL_APP_OPT_START));

    std::vector<std::string> want = {
        root.path("/etc/init.d/kelappclient") + " stop",
        root.path("/usr/bin/kelstartapp") + " copy",
        root.path("/usr/bin/kelstartapp") + " copy",
        root.path("/usr/bin/a;b") + " start",
    };
    EXPECT_EQ(want, journal());
}

/* ---- State machine ---- */

TEST_F(StartupClient, MatchingVersionsStartTheAppClientAndReportItRunning)
{
    installApp();
    connect(KEL_STP_DIGEST_SEND);
    KELSTP_versionData_t v = {264, 193};
    receive(KELSTP_CMD_VERSION, &v);
    EXPECT_EQ(KEL_STP_APP_RUNNING, dev.deviceState);
    EXPECT_EQ(-100, sent(200).cmd); /* nothing said before the start */

    stpStateControl(&dev);
    EXPECT_EQ(KEL_STP_APP_IDLE, dev.deviceState);
    EXPECT_EQ(KEL_TRUE, dev.bAppRunning);
    Sent s = sent();
    EXPECT_EQ(KELSTP_CMD_STATE, s.cmd);
    EXPECT_EQ((uint32_t)KELSTP_STATE_APP_RUNNING, s.word);
    EXPECT_EQ(std::vector<std::string>{root.path("/etc/init.d/kelappclient") + " start"},
              journal());

    /* Idle: further version and state frames change nothing. */
    receive(KELSTP_CMD_VERSION, &v);
    KELSTP_stateData_t done = {KELSTP_STATE_APP_TRANS_DONE};
    receive(KELSTP_CMD_STATE, &done);
    stpStateControl(&dev);
    EXPECT_EQ(KEL_STP_APP_IDLE, dev.deviceState);
    EXPECT_EQ(-100, sent(200).cmd);

    /* After a reconnection the running app is only confirmed. */
    dev.deviceState = KEL_STP_APP_RUNNING;
    stpStateControl(&dev);
    EXPECT_EQ((uint32_t)KELSTP_STATE_APP_RUNNING, sent().word);
    EXPECT_EQ(1u, journal().size());
    stpKELAppCtrl("/etc/init.d/kelappclient", KEL_APP_OPT_STOP);
}

TEST_F(StartupClient, AMissingAppIsUpdatedEvenWithMatchingVersionsThenCopiedAndStarted)
{
    connect(KEL_STP_DIGEST_SEND);
    KELSTP_versionData_t v = {264, 193};
    receive(KELSTP_CMD_VERSION, &v);
    EXPECT_EQ(KEL_STP_VERSION_APP_UPDATE, dev.deviceState);
    Sent s = sent();
    EXPECT_EQ(KELSTP_CMD_STATE, s.cmd);
    EXPECT_EQ((uint32_t)KELSTP_STATE_APP_UPDATE, s.word);
    EXPECT_EQ(20u, s.length);

    /* Other state codes do not count as a delivery. */
    KELSTP_stateData_t running = {KELSTP_STATE_APP_RUNNING};
    receive(KELSTP_CMD_STATE, &running);
    EXPECT_EQ(KEL_STP_VERSION_APP_UPDATE, dev.deviceState);

    /* A failing copy leaves the unit waiting for the next delivery. */
    exitWith("kelstartapp", 1);
    KELSTP_stateData_t done = {KELSTP_STATE_APP_TRANS_DONE};
    receive(KELSTP_CMD_STATE, &done);
    EXPECT_EQ(KEL_STP_VERSION_APP_UPDATE, dev.deviceState);

    unlink(root.path("/exit/kelstartapp").c_str());
    receive(KELSTP_CMD_STATE, &done);
    EXPECT_EQ(KEL_STP_APP_RUNNING, dev.deviceState);
    std::vector<std::string> want = {root.path("/usr/bin/kelstartapp") + " copy",
                                     root.path("/usr/bin/kelstartapp") + " copy"};
    EXPECT_EQ(want, journal());
}

TEST_F(StartupClient, ANewerMeterKernelAnnouncesTheUpgradeAndPauses)
{
    installApp();
    connect(KEL_STP_DIGEST_SEND);
    KELSTP_versionData_t v = {264, 194};
    receive(KELSTP_CMD_VERSION, &v);
    EXPECT_EQ(KEL_STP_VERSION_KERNEL_UPDATE, dev.deviceState);
    EXPECT_EQ((uint32_t)KELSTP_STATE_KERNEL_UPDATE, sent().word);

    long start = peerNowMs();
    stpStateControl(&dev);
    EXPECT_GE(peerNowMs() - start, 1900);
    EXPECT_EQ(KEL_STP_APP_IDLE, dev.deviceState);
    EXPECT_EQ(KEL_MODE_FW_UPGRADE, dev.workMode);
    EXPECT_EQ(std::vector<int>{KEL_MODE_FW_UPGRADE}, modes());
    EXPECT_TRUE(journal().empty()); /* the app client is not started */
}

TEST_F(StartupClient, AnAppThatFailsToStartIsReportedAndTheUnitGoesIdle)
{
    installApp();
    connect(KEL_STP_APP_RUNNING);
    exitWith("kelappclient", 1);
    stpStateControl(&dev);
    EXPECT_EQ(KEL_STP_APP_RUN_FAIL, dev.deviceState);
    EXPECT_EQ((uint32_t)KELSTP_STATE_APP_STARTFAIL, sent().word);
    stpStateControl(&dev);
    EXPECT_EQ(KEL_STP_APP_IDLE, dev.deviceState);

    /* The script succeeds but the process never shows up. */
    unlink(root.path("/exit/kelappclient").c_str());
    setenv("NO_APP", "1", 1);
    dev.deviceState = KEL_STP_APP_RUNNING;
    stpStateControl(&dev);
    EXPECT_EQ(KEL_STP_APP_RUN_FAIL, dev.deviceState);
    EXPECT_EQ(KEL_FALSE, dev.bAppRunning);
    EXPECT_EQ((uint32_t)KELSTP_STATE_APP_STARTFAIL, sent().word);
}

TEST_F(StartupClient, AChallengeIsAnsweredOnlyWhileADataRequestIsPending)
{
    /* Make sure the date stand-in, not the host's date, is what runs. */
    FILE *pp = popen("command -v date", "r");
    ASSERT_NE(nullptr, pp);
    char which[512] = {0};
    ASSERT_NE(nullptr, fgets(which, sizeof(which), pp));
    pclose(pp);
    ASSERT_EQ(root.path("/bin/date") + "\n", std::string(which));

    connect(KEL_STP_DATA_REQUESTED);
    KELSTP_randomData_t r = {0x12345678u, 1700000000ull};
    receive(KELSTP_CMD_RANDOM, &r);
    EXPECT_EQ(KEL_STP_DIGEST_SEND, dev.deviceState);
    EXPECT_EQ(KEL_TRUE, dev.bTimeSynchronized);
    Sent s = sent();
    EXPECT_EQ(KELSTP_CMD_DIGEST, s.cmd);
    EXPECT_EQ(stpGetDigest(0x12345678u), s.word);
    EXPECT_EQ(std::vector<std::string>{root.path("/bin/date") + " -s 2023.11.14-22:13:20"},
              journal());

    /* Once past the request, a challenge only sets the clock. */
    dev.deviceState = KEL_STP_APP_IDLE;
    receive(KELSTP_CMD_RANDOM, &r);
    EXPECT_EQ(KEL_STP_APP_IDLE, dev.deviceState);
    EXPECT_EQ(-100, sent(200).cmd);
    EXPECT_EQ(2u, journal().size());

    /* A clock that cannot be set does not keep the digest back. */
    exitWith("date", 1);
    dev.bTimeSynchronized = KEL_FALSE;
    dev.deviceState = KEL_STP_DATA_REQUESTED;
    receive(KELSTP_CMD_RANDOM, &r);
    EXPECT_EQ(KEL_FALSE, dev.bTimeSynchronized);
    EXPECT_EQ(KELSTP_CMD_DIGEST, sent().cmd);
}

TEST_F(StartupClient, SilentMetersRestartTheExchangeAfterTheirTimeLimits)
{
    connect(KEL_STP_DATA_REQUESTED);
    dev.stateTick = kelGetTick() - 800;
    stpStateControl(&dev);
    EXPECT_EQ(KEL_TRUE, dev.bDataRequested);
    dev.stateTick = kelGetTick() - 1100;
    stpStateControl(&dev);
    EXPECT_EQ(KEL_FALSE, dev.bDataRequested);

    dev.bDataRequested = KEL_TRUE;
    dev.deviceState = KEL_STP_DIGEST_SEND;
    stpStateControl(&dev);
    EXPECT_EQ(KEL_FALSE, dev.bDataRequested);

    /* The delivery of a new app gets five seconds. */
    dev.bDataRequested = KEL_TRUE;
    dev.deviceState = KEL_STP_VERSION_APP_UPDATE;
    dev.stateTick = kelGetTick() - 4000;
    stpStateControl(&dev);
    EXPECT_EQ(KEL_TRUE, dev.bDataRequested);
    dev.stateTick = kelGetTick() - 5100;
    stpStateControl(&dev);
    EXPECT_EQ(KEL_FALSE, dev.bDataRequested);

}

TEST_F(StartupClient, HeartbeatsKeepTheLinkAndSilenceEndsIt)
{
    connect(KEL_STP_APP_IDLE);
    stpNetworkStateCheck(&dev);
    EXPECT_EQ(-100, sent(200).cmd);

    dev.sendTick = kelGetTick() - 2100;
    stpNetworkStateCheck(&dev);
    Sent s = sent();
    EXPECT_EQ(KELSTP_CMD_HEARTBEAT, s.cmd);
    EXPECT_EQ(16u, s.length);
    EXPECT_LT((UINT32)(kelGetTick() - dev.sendTick), 1000u);
    EXPECT_EQ(KEL_SOCKET_CONNECTED, dev.socketState);

    dev.recvTick = kelGetTick() - 5900;
    stpNetworkStateCheck(&dev);
    EXPECT_EQ(KEL_SOCKET_CONNECTED, dev.socketState);
    dev.recvTick = kelGetTick() - 6100;
    stpNetworkStateCheck(&dev);
    EXPECT_EQ(KEL_SOCKET_FAIL, dev.socketState);

    /* A heartbeat that cannot be sent fails the link. */
    dev.socketState = KEL_SOCKET_CONNECTED;
    dev.recvTick = kelGetTick();
    peerReset(link->meter);
    link->meter = -1;
    usleep(100 * 1000);
    for (int i = 0; i < 3 && dev.socketState == KEL_SOCKET_CONNECTED; i++) {
        dev.sendTick = kelGetTick() - 2100;
        stpNetworkStateCheck(&dev);
    }
    EXPECT_EQ(KEL_SOCKET_FAIL, dev.socketState);
}
