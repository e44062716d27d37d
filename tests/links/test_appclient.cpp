/*
 * The app client program in a platform root of its own: it refuses to run
 * without the startup client, serves both meter links, forwards what the
 * control daemon posts on the T queue, presents the meter's screen in the
 * shared frame buffer, and ends with status 1 after the startup client is
 * gone. The startup client is stood in for by a copy of sleep installed as
 * the root's /usr/bin/kelstpclient; the meter is two plain listeners on
 * 127.0.0.24.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kel.h"
#include "kelTestRoot.h"
#include "kelmsg.h"
#include "kelsockets.h"
#include "linkPeer.h"

namespace {

const char *kMeterAddr = "127.0.0.24";
const std::string kAppClient = std::string(KEL_TEST_BIN_DIR) + "/kelappclient";

uint32_t get32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }
uint64_t get64(const uint8_t *p) { uint64_t v; memcpy(&v, p, 8); return v; }

int listenOn(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, kMeterAddr, &sa.sin_addr);
    if (bind(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0 || listen(fd, 5) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int acceptWithin(int lfd, int ms)
{
    struct pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) {
        return -1;
    }
    return accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
}

/* Reads frames until one of `cmd` arrives (heartbeats are skipped). */
std::vector<uint8_t> waitFrame(int fd, int32_t cmd, int timeoutMs)
{
    long start = peerNowMs();
    while (peerNowMs() - start < timeoutMs) {
        uint8_t head[8];
        if (!peerRead(fd, head, 8, timeoutMs)) {
            break;
        }
        uint32_t length = get32(head + 4);
        if (get32(head) != KEL_FRAME_MAGIC || length < 16 || length > 792) {
            break;
        }
        std::vector<uint8_t> f(length);
        memcpy(f.data(), head, 8);
        if (!peerRead(fd, f.data() + 8, length - 8, timeoutMs)) {
            break;
        }
        if ((int32_t)get32(&f[12]) == cmd) {
            return f;
        }
    }
    return {};
}

bool writeFile(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    fwrite(text.data(), 1, text.size(), f);
    return fclose(f) == 0;
}

pid_t spawn(const std::vector<std::string> &args)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        const char *rootDir = getenv("KEL_ROOT");
        std::string errPath = std::string(rootDir ? rootDir : "/tmp") + "/child.err";
        int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(errFd >= 0 ? errFd : devnull, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

/* Exit status of `pid` within `ms`, -2 on time-out, 128 + signal. */
int waitExit(pid_t pid, int ms)
{
    long start = peerNowMs();
    while (peerNowMs() - start < ms) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(20000);
    }
    return -2;
}

/* Reads what is left on a connection; true when it ends (close or reset)
 * within a few seconds. */
bool closedByPeer(int fd)
{
    for (int i = 0; i < 100; i++) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1) {
            return false;
        }
        uint8_t buf[256];
        if (read(fd, buf, sizeof(buf)) <= 0) {
            return true;
        }
    }
    return false;
}

void stopProcess(pid_t pid)
{
    if (pid > 0 && waitExit(pid, 0) == -2) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

/* A platform root with the display's frame buffer, and the meter. */
class AppClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string mk = "mkdir -p " + root.path("/dev") + " " + root.path("/usr/bin") + " " +
                         root.path("/kel/app") + " " + root.path("/sys/class/graphics/fb0");
        ASSERT_EQ(system(mk.c_str()), 0);
        ASSERT_TRUE(writeFile(root.path("/dev/fb0"), std::string(153600, '\0')));
        ASSERT_TRUE(writeFile(root.path("/sys/class/graphics/fb0/virtual_size"), "320,240\n"));
        ASSERT_TRUE(writeFile(root.path("/sys/class/graphics/fb0/bits_per_pixel"), "16\n"));
        std::string cp = "cp /bin/sleep " + root.path("/usr/bin/kelstpclient");
        ASSERT_EQ(system(cp.c_str()), 0);
        fbListen = listenOn(1234);
        nsListen = listenOn(1236);
        ASSERT_GE(fbListen, 0);
        ASSERT_GE(nsListen, 0);
    }
    void TearDown() override
    {
        stopProcess(app);
        stopProcess(startup);
        for (int fd : {fbConn, nsConn, fbListen, nsListen}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    void startStartupClient()
    {
        startup = spawn({root.path("/usr/bin/kelstpclient"), "300"});
        ASSERT_GT(startup, 0);
        usleep(100000);
    }

    /* Starts the app client and takes both links' announcements. */
    void startAndConnect()
    {
        app = spawn({kAppClient, kMeterAddr});
        ASSERT_GT(app, 0);
        fbConn = acceptWithin(fbListen, 10000);
        nsConn = acceptWithin(nsListen, 10000);
        ASSERT_GE(fbConn, 0);
        ASSERT_GE(nsConn, 0);
        std::vector<uint8_t> req = waitFrame(fbConn, 1, 5000);
        ASSERT_EQ(req.size(), 22u);
        EXPECT_EQ(get32(&req[16]), 320u | (240u << 16));
        EXPECT_EQ(waitFrame(nsConn, 7, 5000).size(), 16u);
        /* The links mark themselves announced right after these sends. */
        usleep(200000);
    }

    void postEvent(const kel_MsgQue_Tx_t &msg)
    {
        INT32 q = -1;
        ASSERT_EQ(kelAppMsgQueGetID(&q, KEL_MSG_ID_TX), 1);
        ASSERT_EQ(kelAppMsgQueDataSend(q, KEL_MSG_TYPE_TX, &msg), 1);
    }

    KelTestRoot root;
    pid_t app = -1;
    pid_t startup = -1;
    int fbListen = -1, nsListen = -1, fbConn = -1, nsConn = -1;
};

} // namespace

TEST_F(AppClient, RefusesToStartWithoutTheStartupClientOrWithAnOverlongAddress)
{
    app = spawn({kAppClient, kMeterAddr});
    EXPECT_EQ(waitExit(app, 5000), 1);
    EXPECT_LT(acceptWithin(fbListen, 200), 0) << "no link without the startup client";
    EXPECT_LT(acceptWithin(nsListen, 0), 0);

    startStartupClient();
    pid_t longArg = spawn({kAppClient, "127.000.000.0024"}); /* 16 characters */
    EXPECT_EQ(waitExit(longArg, 5000), 1);
    EXPECT_LT(acceptWithin(fbListen, 200), 0);
}

TEST_F(AppClient, ForwardsDaemonEventsAndPresentsScreensUntilTheStartupClientEnds)
{
    startStartupClient();
    startAndConnect();

    /* Records that are not whole events (too long, of another type, of the
     * wrong size for their command) are taken off and dropped; the queue
     * stays and the event after them is the one that reaches the meter. */
    INT32 tq = -1;
    ASSERT_EQ(kelAppMsgQueGetID(&tq, KEL_MSG_ID_TX), 1);
    ASSERT_TRUE(kelTestSendRaw(tq, KEL_MSG_TYPE_TX, 100, KEL_MSGQ_TX_KEYEVENT));
    ASSERT_TRUE(kelTestSendRaw(tq, 9, 12, KEL_MSGQ_TX_KEYEVENT));
    ASSERT_TRUE(kelTestSendRaw(tq, KEL_MSG_TYPE_TX, 16, KEL_MSGQ_TX_KEYEVENT));

    kel_MsgQue_Tx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_TX;
    msg.cmdType = KEL_MSGQ_TX_KEYEVENT;
    msg.data.kelKeyEvent.keyCode = KELFB_KEY_HOME;
    msg.data.kelKeyEvent.keyAction = KELFB_KEY_PRESS;
    postEvent(msg);
    std::vector<uint8_t> key = waitFrame(fbConn, 4, 5000);
    ASSERT_EQ(key.size(), 24u) << root.read("/child.err");
    EXPECT_EQ(get32(&key[16]), 102u);
    EXPECT_EQ(get32(&key[20]), 1u);

    msg.cmdType = KEL_MSGQ_TX_TEMPERATURE;
    msg.data.tempData.temperature = 47;
    postEvent(msg);
    std::vector<uint8_t> temp = waitFrame(nsConn, 5, 5000);
    ASSERT_EQ(temp.size(), 20u);
    EXPECT_EQ(get32(&temp[16]), 47u);

    memset(&msg.data, 0, sizeof(msg.data));
    msg.cmdType = KEL_MSGQ_TX_ERROR;
    msg.data.nsErrData.errorData.errCode = KEL_HW_LED_CTRL_FAIL;
    msg.data.nsErrData.errorData.errTimeStamp = 1800000000ull;
    postEvent(msg);
    std::vector<uint8_t> err = waitFrame(nsConn, 6, 5000);
    ASSERT_EQ(err.size(), 28u);
    EXPECT_EQ(get32(&err[16]), (uint32_t)KEL_HW_LED_CTRL_FAIL);
    EXPECT_EQ(get64(&err[20]), 1800000000ull);

    /* One red rectangle (blue on the wire) and the screen mark. */
    std::vector<uint8_t> rect(792, 0);
    uint32_t head[4] = {KEL_FRAME_MAGIC, 792, 0, 2};
    memcpy(rect.data(), head, 16);
    uint16_t geom[4] = {8, 4, 16, 16};
    memcpy(&rect[16], geom, 8);
    for (int i = 0; i < 256; i++) {
        uint16_t wireBlue = 0x001F;
        memcpy(&rect[24 + 2 * i], &wireBlue, 2);
    }
    ASSERT_TRUE(peerWrite(fbConn, rect.data(), rect.size()));
    uint32_t fin[4] = {KEL_FRAME_MAGIC, 16, 1, 3};
    ASSERT_TRUE(peerWrite(fbConn, fin, sizeof(fin)));
    INT32 fbq = -1;
    ASSERT_EQ(kelAppMsgQueGetID(&fbq, KEL_MSG_ID_FB), 1);
    struct msqid_ds ds;
    long start = peerNowMs();
    do {
        usleep(20000);
        ASSERT_EQ(kelAppMsgQueGetInfo(fbq, &ds), 1);
    } while (ds.msg_qnum == 0 && peerNowMs() - start < 5000);
    ASSERT_EQ(ds.msg_qnum, 1u);
    INT32 shmId = -1;
    ASSERT_EQ(kelAppShareMemGetID(&shmId, KEL_SHM_ID_FB), 1);
    kel_ShMem_FB_t *shm = (kel_ShMem_FB_t *)shmat(shmId, nullptr, SHM_RDONLY);
    ASSERT_NE(shm, (void *)-1);
    for (int y = 0; y < 240; y++) {
        for (int x = 0; x < 320; x++) {
            uint16_t px;
            memcpy(&px, shm->fBuffer + y * 640 + x * 2, 2);
            bool inside = x >= 8 && x < 24 && y >= 4 && y < 20;
            ASSERT_EQ(px, inside ? 0xF800 : 0xFFFF) << x << "," << y;
        }
    }
    shmdt(shm);

    INT32 sameTq = -1;
    ASSERT_EQ(kelAppMsgQueGetID(&sameTq, KEL_MSG_ID_TX), 1);
    EXPECT_EQ(tq, sameTq) << "the transmit queue was removed";

    /* The startup client goes away: the app client follows within about
     * one supervision period and both links close. */
    kill(startup, SIGTERM);
    waitpid(startup, nullptr, 0);
    startup = -1;
    ASSERT_EQ(waitExit(app, 12000), 1) << root.read("/child.err");
    app = -1;
    EXPECT_TRUE(closedByPeer(nsConn));
    EXPECT_TRUE(closedByPeer(fbConn));
}
