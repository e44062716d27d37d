/*
 * Platform utilities: configuration and serial number files, the device
 * record, shell commands, the clock and reboot commands, the frame buffer
 * geometry and the process check, all inside a temporary platform root.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "kel.h"
#include "kelTestRoot.h"
#include "kelbootenv.h"

namespace {

const char kConf[] = "/kel/config/kel.conf";

/* A platform root whose frame buffer is a regular file with its geometry in
 * the fbdev class attributes, as on the virtual board. */
class Platform : public ::testing::Test {
protected:
    KelTestRoot root;

    void SetUp() override
    {
        ASSERT_EQ(0, system(("mkdir -p " + root.path("/dev") + " " +
                             root.path("/sys/class/graphics/fb0")).c_str()));
        root.write("/dev/fb0", std::string(153600, '\0'));
        root.write("/sys/class/graphics/fb0/virtual_size", "320,240\n");
        root.write("/sys/class/graphics/fb0/bits_per_pixel", "16\n");
        root.write(kConf, "");
    }

    std::string get(const char *key)
    {
        char value[KEL_ENV_VALUE_SIZE] = {0};
        if (kelGetLinuxEnv(key, value) < 0) {
            return "<absent>";
        }
        return std::string(value, strnlen(value, sizeof(value)));
    }
};

TEST_F(Platform, RewritingAKeyLeavesOneLineAtTheEndAndKeepsTheOthers)
{
    root.write(kConf, "LCD 0\nLANGUAGE 2\nBKLPWM 80");
    EXPECT_EQ(1, kelSetLinuxEnv("LCD", "1"));
    /* The last line had no line end; it must not swallow the new one. */
    EXPECT_EQ("LANGUAGE 2\nBKLPWM 80\nLCD 1\n", root.read(kConf));
    EXPECT_EQ("1", get("LCD"));
    EXPECT_EQ("80", get("BKLPWM"));
}

TEST_F(Platform, AbsentKeyFailsAndLeavesTheCallersBufferAlone)
{
    root.write(kConf, "LCD 0\n");
    char value[KEL_ENV_VALUE_SIZE];
    memset(value, 'x', sizeof(value));
    EXPECT_EQ(-1, kelGetLinuxEnv("WORKHOUR", value));
    EXPECT_EQ(std::string(sizeof(value), 'x'), std::string(value, sizeof(value)));
    EXPECT_EQ(-1, kelGetLinuxEnv(nullptr, value));
    EXPECT_EQ(-1, kelGetLinuxEnv("LCD", nullptr));
}

TEST_F(Platform, ValuesOfEveryLineHoldingTheKeyAreConcatenatedAndAlwaysTerminated)
{
    root.write(kConf, "KEL_VERSION 001.002.003\nLCD 1\nAPP_VERSION 001.008.000\n");
    /* "VERSION" occurs in two lines: both values, in file order. */
    EXPECT_EQ("001.002.003001.008.000", get("VERSION"));

    /* 31 bytes together still fit with their end. */
    root.write(kConf, "IPADDR 0123456789abcdefghij\nXIPADDR ABCDEFGHIJK\n");
    EXPECT_EQ("0123456789abcdefghijABCDEFGHIJK", get("IPADDR"));

    /* 32 bytes or more would fill the caller's buffer without an end, and
     * every reader after it (strtol, strcmp) would run past it: refused,
     * the buffer untouched. */
    root.write(kConf, "IPADDR 0123456789abcdefghij\nXIPADDR ABCDEFGHIJKLMNOPQRST\n");
    char value[KEL_ENV_VALUE_SIZE];
    memset(value, 'x', sizeof(value));
    EXPECT_EQ(-1, kelGetLinuxEnv("IPADDR", value));
    EXPECT_EQ(std::string(sizeof(value), 'x'), std::string(value, sizeof(value)));
    root.write(kConf, "LCD " + std::string(31, '0') + "\nOLDLCD 1\n");
    EXPECT_EQ("<absent>", get("LCD"));
}

TEST_F(Platform, AMissingConfigurationFileIsCreatedOnWrite)
{
    unlink(root.path(kConf).c_str());
    EXPECT_EQ("<absent>", get("LCD"));
    EXPECT_EQ(1, kelSetLinuxEnv("LCD", "0"));
    EXPECT_EQ("LCD 0\n", root.read(kConf));
}

TEST_F(Platform, WordsAShellWouldInterpretAreRefusedAndTheFileIsUnchanged)
{
    const std::string before = "APPSERVER_IP 10.0.0.1\nLCD 0\n";
    root.write(kConf, before);
    const char *bad[] = {"10.0.0.2 x", "10.0.0.2\nLCD 9", "1;reboot", "$(reboot)", "`reboot`",
                         "a'b", "a|b", "a>b", "", "\t1", "0123456789012345678901234567890X"};
    for (const char *v : bad) {
        EXPECT_EQ(-1, kelSetLinuxEnv("APPSERVER_IP", v)) << "value [" << v << "]";
    }
    EXPECT_EQ(-1, kelSetLinuxEnv("LCD 1;", "0"));
    EXPECT_EQ(-1, kelSetLinuxEnv("", "0"));
    EXPECT_EQ(-1, kelSetLinuxEnv("LCD", nullptr));
    EXPECT_EQ(before, root.read(kConf));
    /* 31 bytes is the longest word taken. */
    EXPECT_EQ(1, kelSetLinuxEnv("APPSERVER_IP", "012345678901234567890123456789X"));
    EXPECT_EQ(1, kelIsConfigWord("192.168.1.10"));
    EXPECT_EQ(-1, kelIsConfigWord(nullptr));
}

TEST_F(Platform, AWriteCutBeforeItsRenameLeavesTheOldFileAndIsOverwrittenNextTime)
{
    root.write(kConf, "LCD 0\nBKLPWM 70\n");
    /* A power cut left a half-written temporary copy behind. */
    root.write("/kel/config/kel.conf.tmp", "LCD 1\nBKL");
    EXPECT_EQ("0", get("LCD"));
    EXPECT_EQ("70", get("BKLPWM"));
    EXPECT_EQ(1, kelSetLinuxEnv("BKLPWM", "60"));
    EXPECT_EQ("LCD 0\nBKLPWM 60\n", root.read(kConf));
    EXPECT_NE(0, access(root.path("/kel/config/kel.conf.tmp").c_str(), F_OK));
}

TEST_F(Platform, AWriteThatCannotStageItsCopyFailsWithoutTouchingTheFile)
{
    root.write(kConf, "LCD 0\n");
    ASSERT_EQ(0, mkdir(root.path("/kel/config/kel.conf.tmp").c_str(), 0755));
    EXPECT_EQ(-1, kelSetLinuxEnv("LCD", "1"));
    EXPECT_EQ("LCD 0\n", root.read(kConf));
}

TEST_F(Platform, AFileThatCannotBeOpenedIsNotReplacedByTheNewLineAlone)
{
    root.write(kConf, "LCD 0\nBKLPWM 70\nWORKHOUR 1234\n");
    pid_t pid = fork();
    ASSERT_LE(0, pid);
    if (pid == 0) {
        /* Leave room for exactly two more descriptors (the directory lock
         * and the temporary copy): opening the old file then fails. */
        int a = dup(0);
        int b = dup(0);
        int c = dup(0);
        close(a);
        close(b);
        close(c);
        struct rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = (rlim_t)c;
        if (a < 0 || b < 0 || c < 0 || setrlimit(RLIMIT_NOFILE, &lim) != 0) {
            _exit(2);
        }
        _exit(kelSetLinuxEnv("LCD", "1") < 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("LCD 0\nBKLPWM 70\nWORKHOUR 1234\n", root.read(kConf));
    EXPECT_NE(0, access(root.path("/kel/config/kel.conf.tmp").c_str(), F_OK));
}

TEST_F(Platform, AWriteGivesUpOnALockHeldElsewhereAfterTwoSecondsAndChangesNothing)
{
    root.write(kConf, "LCD 0\n");
    int held = open(root.path("/kel/config").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, flock(held, LOCK_EX));

    /* In a child, so that a write that waits for ever fails the test
     * instead of hanging it. */
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(kelSetLinuxEnv("LCD", "1") == -1 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    struct timespec t0;
    struct timespec t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double waited = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 6.0);
    EXPECT_EQ("LCD 0\n", kelTestReadFile(root.path(kConf)));

    ASSERT_EQ(0, flock(held, LOCK_UN));
    close(held);
    EXPECT_EQ(1, kelSetLinuxEnv("LCD", "1"));
    EXPECT_EQ("1", get("LCD"));
}

TEST_F(Platform, SerialNumberFileIsCreatedWithTheDefaultAndRewrittenWhole)
{
    ASSERT_EQ(0, system(("rm -rf " + root.path("/kel/factory")).c_str()));
    char sn[32] = {0};
    INT32 len = 0;
    EXPECT_EQ(1, kelGetSerialNumber(sn, &len));
    EXPECT_EQ(18, len);
    EXPECT_EQ("KELSERIALNUMBER123", std::string(sn, 18));
    EXPECT_EQ("SN KELSERIALNUMBER123\n", root.read("/kel/factory/sn.conf"));

    EXPECT_EQ(1, kelSetSerialNumber("KEL-2024-000042", 15));
    EXPECT_EQ("SN KEL-2024-000042\n", root.read("/kel/factory/sn.conf"));
    EXPECT_EQ(-1, kelSetSerialNumber("X;reboot", 8));
    EXPECT_EQ(-1, kelSetSerialNumber("X", 0));
    EXPECT_EQ(-1, kelSetSerialNumber(nullptr, 3));
    EXPECT_EQ("SN KEL-2024-000042\n", root.read("/kel/factory/sn.conf"));

    const std::string s32(32, 'S');
    EXPECT_EQ(1, kelSetSerialNumber(s32.c_str(), 32));
    EXPECT_EQ(1, kelGetSerialNumber(sn, &len));
    EXPECT_EQ(32, len);
    root.write("/kel/factory/sn.conf", "SN " + std::string(33, 'S') + "\n");
    EXPECT_EQ(-1, kelGetSerialNumber(sn, &len));
    EXPECT_EQ(-1, kelGetSerialNumber(nullptr, &len));
}

TEST_F(Platform, InitialisingOnAnEmptyConfigurationWritesTheDefaults)
{
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    EXPECT_EQ(1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, "KELDevControl"));
    EXPECT_EQ("LANGUAGE 0\nBKLPWM 100\n", root.read(kConf));
    EXPECT_EQ(KEL_LANG_ENGLISH, di.kelLang);
    EXPECT_EQ(100u, di.kelBrightness);
    EXPECT_STREQ("KELDevControl", di.name);
    EXPECT_EQ(320, di.width);
    EXPECT_EQ(240, di.height);
    EXPECT_EQ(16, di.bpp);
    EXPECT_EQ(-1, di.fd_fb);
    EXPECT_EQ(-1, di.socket);
    EXPECT_EQ(1, di.appVersion.majorVersion);
    EXPECT_EQ(8, di.appVersion.minorVersion);
    EXPECT_EQ(193, di.kernelVersion.buildVersion);

    memset(&di, 0, sizeof(di));
    EXPECT_EQ(1, kelInitDevice(&di, KEL_DEVICE_SERVER, 1237, nullptr));
    EXPECT_STREQ("kelAppName", di.name);
    EXPECT_EQ(1237, di.port);
}

TEST_F(Platform, BrightnessOutOfRangeFailsInitialisation)
{
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    root.write(kConf, "LANGUAGE 3\nBKLPWM 101\n");
    EXPECT_EQ(-1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, "KELDevControl"));
    EXPECT_EQ(KEL_LANG_GERMAN, di.kelLang);
    root.write(kConf, "LANGUAGE 3\nBKLPWM -1\n");
    EXPECT_EQ(-1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, "KELDevControl"));
    /* Values past 32 bits stay out of range instead of wrapping to 0 or 1. */
    root.write(kConf, "LANGUAGE 3\nBKLPWM 4294967296\n");
    EXPECT_EQ(-1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, "KELDevControl"));
    root.write(kConf, "LANGUAGE 3\nBKLPWM -4294967295\n");
    EXPECT_EQ(-1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, "KELDevControl"));
    root.write(kConf, "LANGUAGE 3\nBKLPWM 0\n");
    EXPECT_EQ(1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, "KELDevControl"));
    EXPECT_EQ(0u, di.kelBrightness);
}

TEST_F(Platform, AppClientRewritesItsVersionOnlyWhenItDiffers)
{
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    const std::string same = "APP_VERSION 001.008.000\nLANGUAGE 0\nBKLPWM 100\n";
    root.write(kConf, same);
    EXPECT_EQ(1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, KEL_NAME_APPCLIENT));
    EXPECT_EQ(same, root.read(kConf));

    root.write(kConf, "APP_VERSION 001.007.000\nLANGUAGE 0\nBKLPWM 100\n");
    EXPECT_EQ(1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, KEL_NAME_APPCLIENT));
    EXPECT_EQ("LANGUAGE 0\nBKLPWM 100\nAPP_VERSION 001.008.000\n", root.read(kConf));
}

TEST_F(Platform, StartupClientCreatesTheSerialNumberAndPublishesTheKernelVersion)
{
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    ASSERT_EQ(0, system(("rm -rf " + root.path("/kel/factory")).c_str()));
    EXPECT_EQ(1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 1235, KEL_NAME_STPCLIENT));
    EXPECT_EQ("SN KELSERIALNUMBER123\n", root.read("/kel/factory/sn.conf"));
    EXPECT_EQ("KELSERIALNUMBER123", std::string(di.sn));
    EXPECT_EQ("003.002.193", get("KER_VERSION"));

    root.write("/kel/factory/sn.conf", "SN " + std::string(40, 'Q') + "\n");
    EXPECT_EQ(-1, kelInitDevice(&di, KEL_DEVICE_CLIENT, 1235, KEL_NAME_STPCLIENT));
}

TEST_F(Platform, FrameBufferGeometryAndMappingOfARegularFile)
{
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    di.fd_fb = -1;
    di.type = KEL_DEVICE_CLIENT;
    ASSERT_EQ(1, kelGetFbDevInfo(&di));
    ASSERT_EQ(1, kelFbDevInit(&di));
    ASSERT_NE(nullptr, di.fbmmap);
    di.fbmmap[153599] = 0x5a;
    kelFbDevClose(&di);
    EXPECT_EQ(-1, di.fd_fb);
    EXPECT_EQ(0x5a, root.read("/dev/fb0")[153599]);

    unlink(root.path("/sys/class/graphics/fb0/bits_per_pixel").c_str());
    EXPECT_EQ(-1, kelGetFbDevInfo(&di));
    unlink(root.path("/dev/fb0").c_str());
    EXPECT_EQ(-1, kelGetFbDevInfo(&di));
    EXPECT_EQ(-1, kelFbDevInit(&di));
}

TEST(ArgsParse, PeerAddressFromTheFirstArgument)
{
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    char prog[] = "kelappclient";
    char a15[] = "192.168.100.200";
    char a16[] = "192.168.100.2000";
    char *none[] = {prog, nullptr};
    char *ok[] = {prog, a15, nullptr};
    char *tooLong[] = {prog, a16, nullptr};
    EXPECT_EQ(0, kelArgsParse(&di, 1, none));
    EXPECT_STREQ("169.254.254.1", di.host);
    EXPECT_EQ(0, kelArgsParse(&di, 2, ok));
    EXPECT_STREQ("192.168.100.200", di.host);
    EXPECT_EQ(-1, kelArgsParse(&di, 2, tooLong));
    EXPECT_STREQ("192.168.100.200", di.host);
}

TEST(SysCmd, OnlyAZeroExitCounts)
{
    EXPECT_EQ(1, kelExecSysCmd("exit 0"));
    EXPECT_EQ(-1, kelExecSysCmd("exit 1"));
    EXPECT_EQ(-1, kelExecSysCmd("kill -9 $$"));
    EXPECT_EQ(-1, kelExecSysCmd(nullptr));
}

/* The programs the daemon and the startup client run by path (init
 * scripts, the clock saver, the configuration tool) live under the platform
 * root, which on a developer's machine may hold a blank. */
TEST(SysCmd, ProgramsUnderARootWithABlankRunAndTheBoardsPathsStayAsTheyAre)
{
    KelTestRoot root;
    char word[KEL_PATH_BUF_SIZE];
    ASSERT_GT(kelShellProgram("/etc/init.d/kelcontrol", word, sizeof(word)), 0);
    EXPECT_EQ(root.dir() + "/etc/init.d/kelcontrol", word);

    const std::string odd = root.dir() + "/board root";
    ASSERT_EQ(0, mkdir(odd.c_str(), 0755));
    ASSERT_EQ(0, mkdir((odd + "/bin").c_str(), 0755));
    root.write("/board root/bin/probe", "#!/bin/sh\necho \"ran $1\" > \"$(dirname \"$0\")/ran\"\n");
    ASSERT_EQ(0, chmod((odd + "/bin/probe").c_str(), 0755));
    setenv("KEL_ROOT", odd.c_str(), 1);
    ASSERT_GT(kelShellProgram("/bin/probe", word, sizeof(word)), 0);
    char cmd[KEL_SHELL_CMD_SIZE];
    snprintf(cmd, sizeof(cmd), "%s go", word);
    EXPECT_EQ(1, kelExecSysCmd(cmd));
    EXPECT_EQ("ran go\n", kelTestReadFile(odd + "/bin/ran"));

    setenv("KEL_ROOT", (root.dir() + "/it's").c_str(), 1);
    EXPECT_EQ(-1, kelShellProgram("/bin/probe", word, sizeof(word)));
    setenv("KEL_ROOT", root.dir().c_str(), 1);
    EXPECT_EQ(-1, kelShellProgram("/etc/init.d/kelcontrol", word, 8)) << "too small a buffer";
}

/* A bin directory first on PATH with stand-ins that record their call. */
class FakeCommands : public ::testing::Test {
protected:
    KelTestRoot root;
    std::string oldPath;
    std::string journal;

    void SetUp() override
    {
        oldPath = getenv("PATH") ? getenv("PATH") : "";
        std::string bin = root.path("/fakebin");
        journal = root.path("/journal");
        ASSERT_EQ(0, mkdir(bin.c_str(), 0755));
        for (const char *name : {"date", "reboot"}) {
            root.write(std::string("/fakebin/") + name,
                       std::string("#!/bin/sh\necho \"") + name + " $*\" >> " + journal +
                           "\nexit ${FAKE_EXIT:-0}\n");
            ASSERT_EQ(0, chmod((bin + "/" + name).c_str(), 0755));
        }
        setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", oldPath.c_str(), 1);
        unsetenv("FAKE_EXIT");
    }
};

TEST_F(FakeCommands, ClockIsSetWithDateInUtcFieldsAndRebootIsRun)
{
    EXPECT_EQ(1, kelSetRTCTime(2179019648ull)); /* 2039-01-19 03:14:08 UTC */
    EXPECT_EQ(1, kelReboot());
    EXPECT_EQ("date -s 2039.1.19-3:14:8\nreboot \n", kelTestReadFile(journal));
    setenv("FAKE_EXIT", "1", 1);
    EXPECT_EQ(-1, kelSetRTCTime(0));
    EXPECT_EQ(-1, kelReboot());
    unsetenv("FAKE_EXIT");
    /* A clock the time type cannot hold never reaches date as 1969. */
    EXPECT_EQ(-1, kelSetRTCTime(0xFFFFFFFFFFFFFFFFull));
    EXPECT_EQ("date -s 2039.1.19-3:14:8\nreboot \ndate -s 1970.1.1-0:0:0\nreboot \n",
              kelTestReadFile(journal));
}

TEST_F(FakeCommands, ClockValuesPastTheYear9999AreRefusedBeforeAnythingIsFormatted)
{
    /* The largest value whose year still fits an int, the first second of
     * the year 10000, and the last second of 9999. */
    EXPECT_EQ(-1, kelSetRTCTime(67768036191676799ull));
    EXPECT_EQ(-1, kelSetRTCTime(253402300800ull));
    EXPECT_EQ(1, kelSetRTCTime(253402300799ull));
    EXPECT_EQ("date -s 9999.12.31-23:59:59\n", kelTestReadFile(journal));
    struct tm tm;
    EXPECT_EQ(-1, kelUtcCalendar(67768036191676799ull, &tm));
}

/* The boot environment tools as stand-ins: fw_printenv prints the file
 * <root>/env and exits with FAKE_EXIT; fw_setenv journals its arguments
 * and, for a script, the script's lines. */
class FakeBootEnv : public FakeCommands {
protected:
    void SetUp() override
    {
        FakeCommands::SetUp();
        ASSERT_EQ(0, mkdir(root.path("/tmp").c_str(), 0755));
        std::string bin = root.path("/fakebin");
        root.write("/fakebin/fw_printenv", "#!/bin/sh\ncat " + root.path("/env") + "\nexit ${FAKE_EXIT:-0}\n");
        root.write("/fakebin/fw_setenv", "#!/bin/sh\necho \"fw_setenv $*\" >> " + journal +
                                             "\n[ \"$1\" = -s ] && cat \"$2\" >> " + journal +
                                             "\nexit ${FAKE_EXIT:-0}\n");
        ASSERT_EQ(0, chmod((bin + "/fw_printenv").c_str(), 0755));
        ASSERT_EQ(0, chmod((bin + "/fw_setenv").c_str(), 0755));
    }
    std::string get(const char *name)
    {
        char value[KEL_ENV_VALUE_SIZE];
        memset(value, 'x', sizeof(value));
        if (kelBootEnvGet(name, value) < 0) {
            return std::string(value, sizeof(value)) == std::string(sizeof(value), 'x') ? "<failed>"
                                                                                         : "<failed, buffer changed>";
        }
        return std::string(value, strnlen(value, sizeof(value)));
    }
};

TEST_F(FakeBootEnv, AnUnsetVariableIsAnEmptyValueAndAnUnreadableEnvironmentAFailure)
{
    root.write("/env", "bootdelay=3\noldupgflag=1\nupgflag=2\nsplashlogo=\nlong=" + std::string(32, '7') + "\n");
    EXPECT_EQ("2", get("upgflag")) << "only the variable of that name";
    EXPECT_EQ("", get("actmtdgrp"));
    EXPECT_EQ("", get("splashlogo"));
    EXPECT_EQ("<failed>", get("long")) << "a value that would not fit with its end";
    EXPECT_EQ("<failed>", get("up flag"));
    setenv("FAKE_EXIT", "1", 1);
    EXPECT_EQ("<failed>", get("upgflag"));
    EXPECT_EQ("<failed>", get("actmtdgrp"));
}

TEST_F(FakeBootEnv, VariablesThatBelongTogetherGoInOneScriptOfNameValueLines)
{
    const char *names[] = {"actmtdgrp", "upgflag"};
    const char *values[] = {"1", "0"};
    EXPECT_EQ(1, kelBootEnvSetAll(names, values, 2));
    EXPECT_EQ(1, kelBootEnvSet("splashlogo", "1"));
    std::string j = kelTestReadFile(journal);
    EXPECT_EQ(0u, j.find("fw_setenv -s " + root.path("/tmp/kelenv."))) << j;
    EXPECT_NE(std::string::npos, j.find("\nactmtdgrp=1\nupgflag=0\nfw_setenv splashlogo 1\n")) << j;
    /* The script is gone once the tool has read it. */
    EXPECT_EQ(0, system(("test -z \"$(ls " + root.path("/tmp") + ")\"").c_str()));

    const char *bad[] = {"1;reboot", "0"};
    EXPECT_EQ(-1, kelBootEnvSetAll(names, bad, 2));
    EXPECT_EQ(-1, kelBootEnvSet("splashlogo", "$(reboot)"));
    setenv("FAKE_EXIT", "1", 1);
    EXPECT_EQ(-1, kelBootEnvSetAll(names, values, 2));
    unsetenv("FAKE_EXIT");
    EXPECT_EQ(j + "fw_setenv -s ", kelTestReadFile(journal).substr(0, j.size() + 13));
}

/* Starts /bin/sleep under argv[0] `name` with KEL_ROOT set to `kelRoot`,
 * behind a long variable as a crowded environment would have it. */
static pid_t startSleeper(const std::string &name, const std::string &kelRoot)
{
    std::string filler = "FILLER=" + std::string(9000, 'f');
    std::string env = "KEL_ROOT=" + kelRoot;
    pid_t pid = fork();
    if (pid == 0) {
        char *envp[] = {const_cast<char *>(filler.c_str()), const_cast<char *>(env.c_str()), nullptr};
        execle("/bin/sleep", name.c_str(), "30", (char *)nullptr, envp);
        _exit(127);
    }
    return pid;
}

static void stopSleeper(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

/* Waits until the child's command line shows `name` (the exec happened). */
static bool waitForExec(pid_t pid, const std::string &name)
{
    for (int i = 0; i < 200; i++) {
        std::string cmd = kelTestReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmd.find(name) != std::string::npos) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

TEST(AppRunning, AProgramIsSeenOnlyUnderItsOwnPlatformRoot)
{
    KelTestRoot root;
    const std::string name = "kelprobe" + std::to_string(getpid());
    EXPECT_EQ(0, kelCheckAppRunning(name.c_str()));
    EXPECT_EQ(-1, kelCheckAppRunning(nullptr));
    EXPECT_EQ(-1, kelCheckAppRunning(std::string(120, 'n').c_str()));

    pid_t same = startSleeper(name, root.dir());
    ASSERT_TRUE(waitForExec(same, name));
    EXPECT_EQ(1, kelCheckAppRunning(name.c_str()));
    stopSleeper(same);
    EXPECT_EQ(0, kelCheckAppRunning(name.c_str()));

    pid_t other = startSleeper(name, root.dir() + "-elsewhere");
    ASSERT_TRUE(waitForExec(other, name));
    EXPECT_EQ(0, kelCheckAppRunning(name.c_str()));
    stopSleeper(other);

    /* A search for the program (a grep holding its name) is not the program. */
    pid_t search = startSleeper("grep:" + name, root.dir());
    ASSERT_TRUE(waitForExec(search, "grep:" + name));
    EXPECT_EQ(0, kelCheckAppRunning(name.c_str()));
    stopSleeper(search);
}

} // namespace
