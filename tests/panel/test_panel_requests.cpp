/*
 * kelpanel on a virtual board, from the outside: it refuses what is not a
 * sandbox, a taken port and an address off this machine; a request it
 * cannot honour (unknown path, oversize upload, unknown key or action, a
 * temperature out of the sensor's range) gets a clear HTTP error and
 * writes nothing into the sandbox; the requests it honours write exactly
 * the board's records.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <thread>

#include "kelSandbox.h"
#include "panelTestRun.h"

#define LM75 "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input"
#define UPLOAD_DIR "/usr/ftp/up"
#define UPLOAD_MAX (8u * 1024u * 1024u)

/* Runs kelpanel with the arguments; exit status and everything it said. */
static int runPanel(const std::string &args, std::string *said)
{
    std::string cmd = std::string(KEL_TEST_BIN_DIR) + "/kelpanel " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return -1;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        said->append(buf, n);
    int rc = pclose(p);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

/* Names in a folder of the sandbox, "" when empty. */
static std::string listing(const KelSandbox &sb, const std::string &dir)
{
    std::string out;
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(sb.path(dir).c_str()), closedir);
    if (!d)
        return "<missing>";
    for (struct dirent *e = readdir(d.get()); e != nullptr; e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            out += std::string(e->d_name) + " ";
    }
    return out;
}

/* Whatever the keypad FIFO holds right now (the test is its reader). */
static std::string drain(int fd)
{
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        got.append(buf, (size_t)n);
    return got;
}

TEST(PanelStart, RefusesWhatIsNoSandboxATakenPortAndAnAddressOffThisMachine)
{
    KelSandbox sb;
    ASSERT_TRUE(sb.ok());
    std::string said;
    EXPECT_EQ(2, runPanel("--root /tmp --listen 127.0.0.1:1", &said));
    EXPECT_NE(said.find("is not a sandbox"), std::string::npos) << said;

    said.clear();
    EXPECT_EQ(2, runPanel("--root " + sb.dir() + " --listen 0.0.0.0:8080", &said));
    EXPECT_NE(said.find("not a loopback address"), std::string::npos) << said;

    PanelRun first(sb);
    ASSERT_TRUE(first.start());
    said.clear();
    EXPECT_EQ(1, runPanel("--root " + sb.dir() + " --listen 127.0.0.1:" +
                              std::to_string(first.port), &said));
    EXPECT_NE(said.find("is taken"), std::string::npos) << said;
    /* The first panel still serves. */
    EXPECT_TRUE(first.client->Get("/"));

    /* Stopped with a page's long poll open, it can be started again on
     * the same port at once (the old connections only linger). */
    int port = first.port;
    std::thread poll([&first] { (void)first.client->Get("/state?after=999"); });
    usleep(200 * 1000);
    EXPECT_EQ(0, sb.stop(first.pid));
    first.pid = -1;
    poll.join();
    PanelRun again(sb);
    ASSERT_TRUE(again.start({}, port));
    EXPECT_EQ(port, again.port);
}

/* A panel on a fresh sandbox whose keypad FIFO the test reads, as the
 * control daemon would. */
class PanelRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sb.ok());
        kbd = open(sb.path("/dev/input/event0").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(kbd, 0);
        ASSERT_TRUE(panel.start());
    }
    void TearDown() override
    {
        if (kbd >= 0)
            close(kbd);
    }

    KelSandbox sb;
    int kbd = -1;
    PanelRun panel{sb};
};

TEST_F(PanelRequests, BadRequestsGetAClearErrorAndWriteNothing)
{
    httplib::Client &c = *panel.client;
    std::string temp = sb.read(LM75);

    auto r = c.Get("/../../etc/passwd");
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
    r = c.Get("/nothing-here");
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
    EXPECT_NE(r->body.find("unknown path /nothing-here"), std::string::npos) << r->body;

    r = c.Post("/upload", std::string(UPLOAD_MAX + 1, 'x'), "application/octet-stream");
    ASSERT_TRUE(r);
    EXPECT_EQ(413, r->status);
    EXPECT_NE(r->body.find("larger than 8 MiB"), std::string::npos) << r->body;
    r = c.Post("/upload", "", "application/octet-stream");
    ASSERT_TRUE(r);
    EXPECT_EQ(400, r->status);
    EXPECT_EQ("", listing(sb, UPLOAD_DIR));

    r = c.Post("/key?name=escape&action=press", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(400, r->status);
    EXPECT_NE(r->body.find("unknown key 'escape'"), std::string::npos) << r->body;
    r = c.Post("/key?name=up&action=hold", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(400, r->status);
    r = c.Post("/key", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(400, r->status);
    EXPECT_EQ("", drain(kbd));

    for (const char *bad : {"abc", "", "125001", "-55001", "41500x", "99999999999"}) {
        r = c.Post(("/temperature?milli=" + std::string(bad)).c_str(), "", "text/plain");
        ASSERT_TRUE(r);
        EXPECT_EQ(400, r->status) << bad;
    }
    EXPECT_EQ(temp, sb.read(LM75));

    /* Without a meter pid there is no one to send away. */
    r = c.Post("/link/drop", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(409, r->status);
}

TEST_F(PanelRequests, GoodRequestsWriteTheBoardsRecordsAndFiles)
{
    httplib::Client &c = *panel.client;

    /* A press: the key record (type 1, code 103, value 1) and a report
     * (type 0), 16 bytes each; its release likewise with value 0. */
    auto r = c.Post("/key?name=up&action=press", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status) << r->body;
    r = c.Post("/key?name=up&action=release", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status) << r->body;
    usleep(50 * 1000);
    std::string got = drain(kbd);
    ASSERT_EQ(64u, got.size());
    struct Rec {
        uint16_t type, code;
        int32_t value;
    };
    auto rec = [&got](int i) {
        Rec x;
        memcpy(&x.type, got.data() + 16 * i + 8, 2);
        memcpy(&x.code, got.data() + 16 * i + 10, 2);
        memcpy(&x.value, got.data() + 16 * i + 12, 4);
        return x;
    };
    EXPECT_EQ(1, rec(0).type);
    EXPECT_EQ(103, rec(0).code);
    EXPECT_EQ(1, rec(0).value);
    EXPECT_EQ(0, rec(1).type);
    EXPECT_EQ(1, rec(2).type);
    EXPECT_EQ(103, rec(2).code);
    EXPECT_EQ(0, rec(2).value);

    /* The combination: down held, left pressed and released, down released. */
    r = c.Post("/key?name=comb&action=press", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    usleep(50 * 1000);
    got = drain(kbd);
    ASSERT_EQ(128u, got.size());
    EXPECT_EQ(108, rec(0).code);
    EXPECT_EQ(105, rec(2).code);
    EXPECT_EQ(0, rec(4).value);
    EXPECT_EQ(105, rec(4).code);
    EXPECT_EQ(108, rec(6).code);

    r = c.Post("/temperature?milli=-5500", "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("-5500\n", sb.read(LM75));

    std::string package(300000, '\0');
    for (size_t i = 0; i < package.size(); i++)
        package[i] = (char)(i * 7);
    r = c.Post("/upload", package, "application/octet-stream");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ(package, sb.read(UPLOAD_DIR "/kelupg.bin"));
    EXPECT_EQ("kelupg.bin ", listing(sb, UPLOAD_DIR));
}
