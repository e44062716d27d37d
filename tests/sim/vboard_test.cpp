/*
 * The virtual board: what a fresh sandbox offers the programs, the boot
 * environment, the stand-ins and their journal, the init scripts, and the
 * test helper that starts, stops and cleans up.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "kelSandbox.h"

static const char *const kLeds[] = {"status-ledgreen", "status-ledred", "alarm-ledred"};
static const char *const kLedAttrs[] = {"brightness", "trigger", "delay_on", "delay_off"};

static off_t sizeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

/* Alive and not a zombie waiting for its reaper. */
static bool processAlive(pid_t pid)
{
    if (pid <= 0 || kill(pid, 0) != 0) {
        return false;
    }
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    char state = '?';
    int n = fscanf(f, "%*d (%*[^)]) %c", &state);
    fclose(f);
    return n == 1 && state != 'Z';
}

TEST(VirtualBoard, FreshSandboxHasTheDevicesAndDirectoriesTheProgramsOpen)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    ASSERT_NE(nullptr, getenv("KEL_ROOT"));
    EXPECT_EQ(sb.dir(), getenv("KEL_ROOT"));

    EXPECT_EQ(153600, sizeOf(sb.path("/dev/fb0")));
    EXPECT_EQ("320,240\n", sb.read("/sys/class/graphics/fb0/virtual_size"));
    EXPECT_EQ("16\n", sb.read("/sys/class/graphics/fb0/bits_per_pixel"));
    struct stat st;
    ASSERT_EQ(0, stat(sb.path("/dev/input/event0").c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(0x2000000, sizeOf(sb.path("/dev/m25p80")));
    EXPECT_GT(sizeOf(sb.path("/dev/mtd4")), 0);
    EXPECT_EQ(sizeOf(sb.path("/dev/mtd4")), sizeOf(sb.path("/dev/mtd6")));

    for (const char *led : kLeds) {
        for (const char *attr : kLedAttrs) {
            std::string f = std::string("/sys/devices/platform/leds-gpio/leds/") + led + "/" + attr;
            EXPECT_TRUE(sb.exists(f)) << f;
        }
    }
    EXPECT_EQ("100\n", sb.read("/sys/class/backlight/pwm-backlight/brightness"));
    EXPECT_FALSE(sb.read("/sys/bus/i2c/drivers/lm75/3-0048/temp1_input").empty());

    EXPECT_TRUE(sb.exists("/kel/config/kel.conf"));
    EXPECT_EQ("", sb.read("/kel/config/kel.conf"));
    for (const char *d : {"/home/root", "/kel/factory", "/kel/log", "/kel/sys/log", "/kel/app",
                          "/usr/ftp/up", "/tmp", "/usr/share/picto", "/kel/picto"}) {
        ASSERT_EQ(0, stat(sb.path(d).c_str(), &st)) << d;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << d;
    }
    /* The programs sit at their board paths, so process checks find them. */
    for (const char *p : {"/usr/bin/kelcontrol", "/usr/bin/kelstpclient", "/usr/bin/kelupgrade",
                          "/usr/bin/kelindustry", "/kel/app/kelappclient"}) {
        EXPECT_TRUE(sb.exists(p)) << p;
    }
}

TEST(VirtualBoard, SensorReadingFollowsTheTestAndTheCommandLine)
{
    KelSandbox sb; /* finds kelvboard beside the test executable */
    ASSERT_TRUE(sb.ok());
    const std::string sensor = "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input";
    ASSERT_TRUE(sb.setTemperature(-5500));
    EXPECT_EQ("-5500\n", sb.read(sensor));

    std::string tool = std::string(KEL_TEST_BIN_DIR) + "/kelvboard";
    EXPECT_EQ(0, system((tool + " --set-temp " + sb.dir() + " 41500").c_str()));
    EXPECT_EQ("41500\n", sb.read(sensor));
    /* A reading that is not a number never reaches the sensor file. */
    EXPECT_NE(0, system((tool + " --set-temp " + sb.dir() + " '4;rm' 2>/dev/null").c_str()));
    EXPECT_EQ("41500\n", sb.read(sensor));
}

TEST(VirtualBoard, BootEnvironmentRoundTripsAndStaysInsideItsSandbox)
{
    KelSandbox other(KEL_TEST_BIN_DIR);
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(sb.ok());

    /* The variables the upgrade and factory programs read are preset. */
    ASSERT_EQ(0, sb.shell("fw_printenv > $KEL_ROOT/tmp/env"));
    std::string env = sb.read("/tmp/env");
    for (const char *v : {"actmtdgrp=0\n", "dftmtdgrp=0\n", "upgflag=2\n", "splashlogo=0\n"}) {
        EXPECT_NE(std::string::npos, env.find(v)) << v;
    }

    /* Read back the way the upgrade program does it. */
    ASSERT_EQ(0, sb.shell("fw_setenv upgflag 0"));
    ASSERT_EQ(0, sb.shell("ENV=`fw_printenv | grep upgflag`; echo ${ENV#*upgflag=} > $KEL_ROOT/tmp/v"));
    EXPECT_EQ("0\n", sb.read("/tmp/v"));
    EXPECT_TRUE(sb.journalHas("fw_setenv upgflag 0"));

    ASSERT_EQ(0, other.shell("fw_printenv upgflag > $KEL_ROOT/tmp/v"));
    EXPECT_EQ("upgflag=2\n", other.read("/tmp/v"));
    EXPECT_EQ("", other.journal());

    /* A boot environment write can be made to fail. */
    ASSERT_TRUE(sb.setExitStatus("fw_setenv", 1));
    EXPECT_EQ(1, sb.shell("fw_setenv actmtdgrp 1"));
    ASSERT_EQ(0, sb.shell("fw_printenv actmtdgrp > $KEL_ROOT/tmp/v"));
    EXPECT_EQ("actmtdgrp=0\n", sb.read("/tmp/v"));
}

TEST(VirtualBoard, StandInsJournalEveryCallAndDoThePlausibleThing)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());

    /* The flash writer needs the restored image and writes it to the bank. */
    EXPECT_EQ(1, sb.shell("$KEL_ROOT/usr/bin/fwupgrade 1 2>/dev/null"));
    ASSERT_TRUE(sb.write("/tmp/kelimg.bin", "IMAGE"));
    EXPECT_EQ(0, sb.shell("$KEL_ROOT/usr/bin/fwupgrade 1"));
    EXPECT_EQ("IMAGE", sb.read("/dev/mtd6").substr(0, 5));
    EXPECT_EQ(std::string(5, '\0'), sb.read("/dev/mtd4").substr(0, 5));
    ASSERT_TRUE(sb.setExitStatus("fwupgrade", 3));
    EXPECT_EQ(3, sb.shell("$KEL_ROOT/usr/bin/fwupgrade 0"));
    ASSERT_TRUE(sb.setExitStatus("fwupgrade", -1));
    EXPECT_EQ(0, sb.shell("$KEL_ROOT/usr/bin/fwupgrade 0"));

    /* The backlight current setting lands in the configuration file. */
    ASSERT_TRUE(sb.write("/kel/config/kel.conf", "BKLPWM 80\nBKLCTRL 0\n"));
    EXPECT_EQ(0, sb.shell("$KEL_ROOT/usr/bin/kelconfig bklctrl 1"));
    EXPECT_EQ("BKLPWM 80\nBKLCTRL 1\n", sb.read("/kel/config/kel.conf"));

    EXPECT_EQ(0, sb.shell("reboot"));
    EXPECT_EQ(0, sb.shell("$KEL_ROOT/etc/init.d/save-rtc.sh"));
    EXPECT_EQ(0, sb.shell("$KEL_ROOT/usr/bin/kelreset"));

    std::vector<std::string> expected = {
        "/usr/bin/fwupgrade 1", "/usr/bin/fwupgrade 1", "/usr/bin/fwupgrade 0", "/usr/bin/fwupgrade 0",
        "/usr/bin/kelconfig bklctrl 1", "reboot", "/etc/init.d/save-rtc.sh", "/usr/bin/kelreset"};
    EXPECT_EQ(expected, sb.journalLines());
}

TEST(VirtualBoard, SettingTheDateIsJournalledButNeverReachesTheHostClock)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    ASSERT_EQ(0, sb.shell("command -v date > $KEL_ROOT/tmp/which"));
    ASSERT_EQ(sb.path("/bin/date") + "\n", sb.read("/tmp/which"));

    time_t before = time(nullptr);
    EXPECT_EQ(0, sb.shell("date -s 2001.2.3-4:5:6"));
    EXPECT_EQ(0, sb.shell("date 020304052001"));
    EXPECT_NE(0, sb.shell("date -s 2001.13.3-4:5:6 2>/dev/null"));
    time_t after = time(nullptr);
    EXPECT_LT(after - before, 60);
    EXPECT_GE(after, before);

    EXPECT_TRUE(sb.journalHas("date -s 2001.2.3-4:5:6"));
    EXPECT_TRUE(sb.journalHas("date 020304052001"));

    /* Reading the date still gives the host's. */
    ASSERT_EQ(0, sb.shell("date -u +%Y > $KEL_ROOT/tmp/year"));
    struct tm now;
    gmtime_r(&after, &now);
    EXPECT_EQ(std::to_string(now.tm_year + 1900) + "\n", sb.read("/tmp/year"));
}

/* A stand-in app client that records its arguments and runs until killed. */
static void installFakeAppClient(KelSandbox &sb)
{
    ASSERT_EQ(0, unlink(sb.path("/kel/app/kelappclient").c_str()));
    ASSERT_TRUE(sb.write("/kel/app/kelappclient",
                         "#!/bin/sh\necho \"$@\" > \"$KEL_ROOT/tmp/args\"\n"
                         "while :; do sleep 1; done\n"));
    ASSERT_EQ(0, chmod(sb.path("/kel/app/kelappclient").c_str(), 0755));
}

static pid_t servicePid(KelSandbox &sb, const char *name)
{
    return (pid_t)atoi(sb.read(std::string("/var/run/") + name + ".pid").c_str());
}

TEST(VirtualBoard, InitScriptStartsOneInstanceAndStopsItByItsPid)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    installFakeAppClient(sb);
    ASSERT_TRUE(sb.write("/etc/vboard.conf", "METER_HOST=127.0.0.9\n"));

    ASSERT_EQ(0, sb.shell("$KEL_ROOT/etc/init.d/kelappclient start\n"));
    pid_t pid = servicePid(sb, "kelappclient");
    ASSERT_TRUE(processAlive(pid));
    ASSERT_EQ(0, sb.shell("$KEL_ROOT/etc/init.d/kelappclient start"));
    EXPECT_EQ(pid, servicePid(sb, "kelappclient"));
    for (int i = 0; i < 200 && sb.read("/tmp/args").empty(); i++) {
        usleep(10000);
    }
    EXPECT_EQ("127.0.0.9\n", sb.read("/tmp/args"));

    EXPECT_EQ(0, sb.shell("$KEL_ROOT/etc/init.d/kelappclient stop"));
    for (int i = 0; i < 300 && processAlive(pid); i++) {
        usleep(10000);
    }
    EXPECT_FALSE(processAlive(pid));
    EXPECT_FALSE(sb.exists("/var/run/kelappclient.pid"));
    /* Stopping a stopped service is not a failure. */
    EXPECT_EQ(0, sb.shell("$KEL_ROOT/etc/init.d/kelappclient stop"));

    std::vector<std::string> expected = {"/etc/init.d/kelappclient start", "/etc/init.d/kelappclient start",
                                         "/etc/init.d/kelappclient stop", "/etc/init.d/kelappclient stop"};
    EXPECT_EQ(expected, sb.journalLines());
}

TEST(SandboxHelper, SpawnedProgramsSeeTheSandboxAndAreStoppedOnRequest)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    ASSERT_TRUE(sb.write("/usr/bin/probe", "#!/bin/sh\necho \"$KEL_ROOT $1\" > \"$KEL_ROOT/tmp/seen\"\n"
                                           "command -v date >> \"$KEL_ROOT/tmp/seen\"\nexit 7\n"));
    ASSERT_EQ(0, chmod(sb.path("/usr/bin/probe").c_str(), 0755));

    pid_t probe = sb.spawn({"/usr/bin/probe", "x"});
    ASSERT_GT(probe, 0);
    EXPECT_EQ(7, sb.waitExit(probe, 10000));
    EXPECT_EQ(sb.dir() + " x\n" + sb.path("/bin/date") + "\n", sb.read("/tmp/seen"));

    pid_t sleeper = sb.spawn({"sleep", "30"});
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(sb.running(sleeper));
    EXPECT_EQ(-2, sb.waitExit(sleeper, 50));
    EXPECT_EQ(128 + SIGTERM, sb.stop(sleeper));
    EXPECT_FALSE(processAlive(sleeper));
    EXPECT_EQ(-1, sb.stop(getpid()));
    EXPECT_EQ(-1, sb.spawn({"/usr/bin/no-such-program"}));
}

TEST(SandboxHelper, LeavingTheScopeStopsServicesAndRemovesQueuesSegmentAndDirectory)
{
    std::string dir;
    key_t qKey, shmKey;
    pid_t service;
    {
        KelSandbox sb(KEL_TEST_BIN_DIR);
        ASSERT_TRUE(sb.ok());
        dir = sb.dir();
        installFakeAppClient(sb);
        ASSERT_EQ(0, sb.shell("$KEL_ROOT/etc/init.d/kelappclient start"));
        service = servicePid(sb, "kelappclient");
        ASSERT_TRUE(processAlive(service));

        qKey = ftok(sb.path("/home/root").c_str(), 'T');
        shmKey = ftok(sb.path("/home/root").c_str(), 'S');
        ASSERT_NE(-1, qKey);
        ASSERT_GE(msgget(qKey, IPC_CREAT | 0666), 0);
        ASSERT_GE(shmget(shmKey, 4096, IPC_CREAT | 0666), 0);
    }
    EXPECT_EQ(-1, msgget(qKey, 0));
    EXPECT_EQ(-1, shmget(shmKey, 0, 0));
    EXPECT_FALSE(processAlive(service));
    EXPECT_EQ(-1, access(dir.c_str(), F_OK));
    EXPECT_EQ(nullptr, getenv("KEL_ROOT"));
}

TEST(SandboxHelper, ProgramsDieWithATestThatEndsWithoutCleaningUp)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t testProcess = fork();
    ASSERT_GE(testProcess, 0);
    if (testProcess == 0) {
        /* A test process that dies abruptly: no destructor runs. */
        KelSandbox *sb = new KelSandbox(KEL_TEST_BIN_DIR);
        pid_t sleeper = sb->ok() ? sb->spawn({"sleep", "30"}) : -1;
        std::string msg = std::to_string(sleeper) + " " + sb->dir();
        ssize_t n = write(fds[1], msg.c_str(), msg.size());
        _exit(n > 0 ? 0 : 1);
    }
    close(fds[1]);
    char buf[256] = {0};
    ssize_t n = read(fds[0], buf, sizeof(buf) - 1);
    close(fds[0]);
    int ws = 0;
    waitpid(testProcess, &ws, 0);
    ASSERT_GT(n, 0);
    pid_t sleeper = (pid_t)atoi(buf);
    std::string dir = strchr(buf, ' ') ? strchr(buf, ' ') + 1 : "";
    ASSERT_GT(sleeper, 0);
    for (int i = 0; i < 300 && processAlive(sleeper); i++) {
        usleep(10000);
    }
    EXPECT_FALSE(processAlive(sleeper));
    if (dir.rfind("/tmp/kelsb.", 0) == 0) {
        EXPECT_EQ(0, system(("rm -rf " + dir).c_str()));
    }
}
