/*
 * Power cuts: every write the unit keeps is cut at each of its steps, and
 * what the next start finds is the old content or the new one, never a mix,
 * never an empty file where there was one, never a leftover that breaks the
 * next write.
 *
 * A cut is strace's fault injection: the writer is killed (SIGKILL) on entry
 * to its n-th call of one kind (open, write, sync, rename) on the written
 * files or their directory, for n = 1, 2, ... until the write gets through. Under qemu-arm strace sees the emulator's
 * host calls, which follow the guest's one for one. A write cut inside one
 * call (a flash page half programmed) is made by hand: the copy is left
 * part new, part old.
 */
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "kelSandbox.h"

#define CUT_WRITER KEL_TEST_BIN_DIR "/cut_writer"
#define CUT_STRACE "/usr/bin/strace"
#define CUT_KILLED (128 + 9)
#define CUT_MAX_STEPS 100

/* The kinds of calls at whose entry a cut is made; a writer makes each
 * kind of change through one of them. */
static const char *const cutCalls[] = {"openat", "write", "fsync", "rename,renameat,renameat2"};

/* Runs `command` in the sandbox, killed on entry to its n-th `calls` on one
 * of the host paths `files`. Its exit status: CUT_KILLED when the cut came
 * first. */
static int cutRun(KelSandbox &sb, const std::vector<std::string> &files, const std::string &calls, int n,
                  const std::string &command)
{
    std::string only;
    for (const std::string &f : files) {
        only += " -P '" + f + "'";
    }
    /* LeakSanitizer can not run under ptrace; the sanitizers' other checks
     * stay on. */
    std::string strace = "ASAN_OPTIONS=detect_leaks=0 " + std::string(CUT_STRACE) + " -o /dev/null" + only + " -e trace=" + calls + " -e inject=" + calls +
                         ":signal=KILL:when=" + std::to_string(n) + " ";
    return sb.shell(strace + command + "; exit $?");
}

/* Cuts `command` at every step on the host paths `files`: before each run
 * `before` puts the old content back, after each cut `check` looks at what
 * is left (its argument: the run was cut). Returns the number of cuts. */
template <typename Before, typename Check>
static int cutEveryStep(KelSandbox &sb, const std::vector<std::string> &files, const std::string &command,
                        Before before, Check check)
{
    int cuts = 0;
    for (const char *calls : cutCalls) {
        for (int n = 1;; n++) {
            before();
            int rc = cutRun(sb, files, calls, n, command);
            if (rc != CUT_KILLED) {
                EXPECT_EQ(0, rc) << calls << " #" << n << ": " << command;
                check(false);
                break;
            }
            SCOPED_TRACE(std::string("cut at ") + calls + " #" + std::to_string(n));
            check(true);
            cuts++;
            if (n >= CUT_MAX_STEPS || ::testing::Test::HasFatalFailure()) {
                ADD_FAILURE() << command << " never completed under " << calls;
                return cuts;
            }
        }
    }
    printf("%s: cut at %d steps\n", command.c_str(), cuts);
    return cuts;
}

static std::string writer(const std::string &args)
{
    return std::string(CUT_WRITER) + " " + args;
}

/* One key/value file written by one writer call: after any cut the file is
 * the old one or the new one, and the same call run again gives the new. */
static void cutKeyFile(KelSandbox &sb, const std::string &file, const std::string &oldText,
                       const std::string &newText, const std::string &args)
{
    std::string path = sb.path(file);
    int cuts = cutEveryStep(
        sb, {path, path + ".tmp", path.substr(0, path.rfind('/'))}, writer(args), [&] { ASSERT_TRUE(sb.write(file, oldText)); },
        [&](bool cut) {
            std::string now = sb.read(file);
            if (!cut) {
                EXPECT_EQ(newText, now);
                return;
            }
            EXPECT_TRUE(now == oldText || now == newText) << "after the cut:\n" << now;
            ASSERT_EQ(0, sb.shell(writer(args))) << "the next write fails after the cut";
            EXPECT_EQ(newText, sb.read(file));
        });
    EXPECT_GE(cuts, 4);
}

TEST(PowerCut, AConfigurationSettingIsOldOrNewAndTheOtherSettingsStay)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    cutKeyFile(sb, "/kel/config/kel.conf", "LCD 1\nBKLPWM 80\nLANGUAGE 2\n", "LCD 1\nLANGUAGE 2\nBKLPWM 60\n",
               "conf BKLPWM 60");
}

TEST(PowerCut, TheSerialNumberIsOldOrNewNeverEmpty)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    cutKeyFile(sb, "/kel/factory/sn.conf", "SN KEL0001234\n", "SN KEL0005678\n", "sn KEL0005678");
}

TEST(PowerCut, AFactoryTestResultIsStoredWholeOrNotAtAll)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    /* 1900000000 s is 2030-03-17 17:46:40 UTC. */
    cutKeyFile(sb, "/kel/factory/indust.conf", "BOARD 7\nTESTRESULT 1\nTESTERID 12\nTIMESTAMP 20290101-000000\n",
               "BOARD 7\nTESTRESULT 0\nTESTERID 34\nTIMESTAMP 20300317-174640\n", "result 0 34 1900000000");
}

TEST(PowerCut, ALogTrimLeavesTheWholeLogOrTheTrimmedOneAndTheNextStartCleansUp)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    const std::string log = "/kel/log/kelerror.log";
    std::string oldLog, newLog;
    for (int i = 0; i < 60; i++) {
        char line[64];
        snprintf(line, sizeof(line), "20300101-%06d:1:2:%d:3\n", i, 100 + i);
        oldLog += line;
        if (i >= 50) {
            newLog += line;
        }
    }
    std::string path = sb.path(log);
    int cuts = cutEveryStep(
        sb, {path, path + ".trim", path.substr(0, path.rfind('/'))}, writer("trim " + log + " 50"), [&] { ASSERT_TRUE(sb.write(log, oldLog)); },
        [&](bool cut) {
            ASSERT_EQ(0, sb.shell(writer("start-log " + log)));
            std::string now = sb.read(log);
            EXPECT_TRUE(cut ? (now == oldLog || now == newLog) : now == newLog) << "log:\n" << now;
            EXPECT_FALSE(sb.exists(log + ".trim")) << "the next start left the trim's copy";
        });
    EXPECT_GE(cuts, 4);
}

/* ---- the boot environment: two copies, each a CRC-32, a flag byte and
 * the variables ---- */

#define ENV_BYTES 0x4000
#define ENV_DATA 5

static uint32_t envCrc32(const std::string &data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; k++) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

static bool envCopyValid(const std::string &copy)
{
    if (copy.size() != ENV_BYTES) {
        return false;
    }
    uint32_t stored = (uint32_t)(unsigned char)copy[0] | (uint32_t)(unsigned char)copy[1] << 8 |
                      (uint32_t)(unsigned char)copy[2] << 16 | (uint32_t)(unsigned char)copy[3] << 24;
    return stored == envCrc32(copy.substr(ENV_DATA));
}

static const char *const envCopies[] = {"/var/lib/uboot.env", "/var/lib/uboot.env.redund"};

/* The variables as the programs read them at start. */
static std::string envShown(KelSandbox &sb)
{
    std::string out = sb.path("/tmp/env.shown");
    if (sb.shell("fw_printenv actmtdgrp dftmtdgrp upgflag splashlogo >'" + out + "'") != 0) {
        return "unreadable";
    }
    return sb.read("/tmp/env.shown");
}

TEST(PowerCut, ABootEnvironmentWriteLeavesOneGoodCopyWithTheOldOrTheNewValue)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    /* Two changes, so that each copy holds a good environment. */
    ASSERT_EQ(0, sb.shell("fw_setenv splashlogo 1 && fw_setenv splashlogo 0"));
    std::string oldCopy[2] = {sb.read(envCopies[0]), sb.read(envCopies[1])};
    ASSERT_TRUE(envCopyValid(oldCopy[0]) && envCopyValid(oldCopy[1]));
    const std::string oldShown = "actmtdgrp=0\ndftmtdgrp=0\nupgflag=2\nsplashlogo=0\n";
    const std::string newShown = "actmtdgrp=1\ndftmtdgrp=0\nupgflag=2\nsplashlogo=0\n";
    ASSERT_EQ(oldShown, envShown(sb));
    auto restore = [&] {
        ASSERT_TRUE(sb.write(envCopies[0], oldCopy[0]) && sb.write(envCopies[1], oldCopy[1]));
    };
    auto afterCut = [&](bool cut) {
        EXPECT_TRUE(envCopyValid(sb.read(envCopies[0])) || envCopyValid(sb.read(envCopies[1])))
            << "no good copy left";
        std::string now = envShown(sb);
        EXPECT_TRUE(cut ? (now == oldShown || now == newShown) : now == newShown) << now;
        /* The next write goes through and leaves both copies good. */
        ASSERT_EQ(0, sb.shell("fw_setenv actmtdgrp 1"));
        EXPECT_EQ(newShown, envShown(sb));
        EXPECT_TRUE(envCopyValid(sb.read(envCopies[0])) && envCopyValid(sb.read(envCopies[1])));
    };
    /* The tool the programs' fw_setenv runs, cut at its own steps. */
    std::string tool = "/usr/bin/fw_setenv -c '" + sb.path("/etc/fw_env.config") + "' -f '" +
                       sb.path("/etc/fw_env.default") + "' actmtdgrp 1";
    EXPECT_GE(cutEveryStep(sb, {sb.path(envCopies[0]), sb.path(envCopies[1])}, tool, restore, afterCut), 3);

    /* A copy cut inside its one write: the first `at` bytes new, the rest
     * old (the CRC, the flag byte, a few variables, half, all but one). */
    restore();
    ASSERT_EQ(0, sb.shell("fw_setenv actmtdgrp 1"));
    int written = sb.read(envCopies[0]) != oldCopy[0] ? 0 : 1;
    std::string full = sb.read(envCopies[written]);
    ASSERT_NE(oldCopy[written], full);
    for (size_t at : {(size_t)4, (size_t)5, (size_t)16, (size_t)ENV_BYTES / 2, (size_t)ENV_BYTES - 1}) {
        SCOPED_TRACE("copy torn at byte " + std::to_string(at));
        restore();
        ASSERT_TRUE(sb.write(envCopies[written], full.substr(0, at) + oldCopy[written].substr(at)));
        afterCut(true);
    }
}
