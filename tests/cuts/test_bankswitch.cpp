/*
 * Power cuts during an upgrade: the upgrade program is cut at each of its
 * steps around the flash writer (starting an outside program, waiting for
 * it, syncing and renaming the configuration) and the board is power-cycled.
 * The bank that boots is always whole: the old one with the package still
 * uploaded (so the next start installs it again), or the new one with its
 * image complete and its version recorded; the boot environment is readable
 * and the next start confirms a new bank. The variables written together
 * are found all old or all new: the bank to boot with its flag, and at the
 * confirmation the confirmed bank with its flag.
 *
 * Each upgrade waits 15 s for its upload to settle, so every cut point gets
 * its own board and all of them run side by side.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "upgUnit.h"

namespace {

#define CUT_STRACE "/usr/bin/strace"
#define CUT_KILLED (128 + 9)

struct CutPoint {
    const char *calls;
    int n;
};

/* Cut points: the n-th call of each kind. The ranges go past the last call
 * of each kind, so the upgrade that runs through is among them. */
std::vector<CutPoint> cutPoints()
{
    std::vector<CutPoint> points;
    for (int n = 1; n <= 8; n++) {
        points.push_back({"clone,clone3,vfork,fork", n});
        points.push_back({"wait4", n});
    }
    for (int n = 1; n <= 3; n++) {
        points.push_back({"fsync", n});
    }
    for (int n = 1; n <= 2; n++) {
        points.push_back({"rename,renameat,renameat2", n});
    }
    return points;
}

bool hasLine(const std::string &text, const std::string &line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::string envValue(UpgUnit &u, const std::string &name)
{
    std::string env = u.env();
    size_t at = ("\n" + env).find("\n" + name + "=");
    if (at == std::string::npos) {
        return "?";
    }
    size_t end = env.find('\n', at);
    return env.substr(at + name.size() + 1, end - at - name.size() - 1);
}

/* True when no process runs with the sandbox in its command line: the
 * tools a killed program had started (an environment write goes on after
 * its caller was cut) have ended. */
bool sandboxQuiet(UpgUnit &u)
{
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    bool quiet = true;
    struct dirent *de;
    while (quiet && (de = readdir(proc)) != nullptr) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9') {
            continue;
        }
        FILE *fp = fopen((std::string("/proc/") + de->d_name + "/cmdline").c_str(), "r");
        if (fp == nullptr) {
            continue;
        }
        std::string cmd;
        int c;
        while ((c = fgetc(fp)) != EOF) {
            cmd += c == '\0' ? ' ' : (char)c;
        }
        fclose(fp);
        quiet = cmd.find(u.sb.dir() + "/") == std::string::npos;
    }
    closedir(proc);
    return quiet;
}

}  // namespace

TEST(PowerCutUpgrade, ACutAtAnyStepOfTheBankSwitchBootsAWholeBank)
{
    /* LeakSanitizer can not run under ptrace. */
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    const std::string image = UpgUnit::imageOf(65536);
    std::vector<CutPoint> points = cutPoints();
    std::vector<std::unique_ptr<UpgUnit>> units;
    std::vector<pid_t> tracers;
    for (const CutPoint &p : points) {
        units.push_back(std::make_unique<UpgUnit>());
        UpgUnit &u = *units.back();
        ASSERT_TRUE(u.prepare({}, "LCD 1\nACTMTDGROUP 0\n"));
        ASSERT_TRUE(u.upload(image, 1, 2, 1, 7));
        std::string calls = p.calls;
        pid_t pid = u.sb.spawn({CUT_STRACE, "-o", "/dev/null", "-e", "trace=" + calls, "-e",
                                "inject=" + calls + ":signal=KILL:when=" + std::to_string(p.n),
                                u.sb.path("/usr/bin/kelupgrade")});
        ASSERT_GT(pid, 0);
        tracers.push_back(pid);
    }

    int oldBank = 0, newBank = 0, switchCut = 0, completed = 0;
    for (size_t i = 0; i < points.size(); i++) {
        UpgUnit &u = *units[i];
        SCOPED_TRACE(std::string("cut at ") + points[i].calls + " #" + std::to_string(points[i].n));
        int rc = u.sb.waitExit(tracers[i], UPG_PICKUP_MS + 20000);
        ASSERT_TRUE(rc == CUT_KILLED || rc == 0) << "exit " << rc;
        completed += rc == 0 ? 1 : 0;
        ASSERT_TRUE(upgWaitFor([&] { return sandboxQuiet(u); }, 20000));
        bool wrote = u.sb.journalHas("/usr/bin/fwupgrade 1");
        bool switched = u.sb.journalHas("fw_setenv -s actmtdgrp=1 upgflag=0");
        /* What the cut left is what the boot loader finds. */
        std::string bank = envValue(u, "actmtdgrp");
        std::string flag = envValue(u, "upgflag");
        std::string confirmed = envValue(u, "dftmtdgrp");
        ASSERT_EQ(0, u.sb.shell(std::string(KEL_TEST_BIN_DIR) + "/kelvboard --reboot $KEL_ROOT"));

        if (bank == "0") {
            oldBank++;
            EXPECT_FALSE(rc == 0) << "a finished upgrade boots the old bank";
            EXPECT_EQ("2", flag) << "the flag of the switch without its bank";
            EXPECT_EQ(std::string(16, '\0'), u.sb.read("/dev/mtd4").substr(0, 16));
            EXPECT_TRUE(u.sb.exists(UPG_PACKAGE)) << "the package went with the bank unchanged";
            EXPECT_EQ("0", confirmed);
            continue;
        }
        ASSERT_EQ("1", bank) << u.env();
        newBank++;
        switchCut += (rc == CUT_KILLED) ? 1 : 0;
        EXPECT_TRUE(wrote && switched);
        EXPECT_EQ(image, u.sb.read("/dev/mtd6").substr(0, image.size())) << "a half-written bank boots";
        EXPECT_TRUE(hasLine(u.config(), "KEL_VERSION 002.001.007")) << u.config();
        /* The new bank always comes with its flag: never booted as
         * already confirmed, with no way back to the old one. */
        EXPECT_EQ("0", flag) << "the new bank without its flag";
        EXPECT_EQ("0", confirmed);
        /* The next start confirms the new bank the switch asked for. */
        EXPECT_TRUE(upgWaitFor([&] { return envValue(u, "dftmtdgrp") == "1" && envValue(u, "upgflag") == "2"; },
                               20000))
            << u.env();
    }
    /* Cuts fell before the writer, between the writer and the switch, and
     * inside the switch; and the upgrade also ran through. */
    EXPECT_GE(oldBank, 3);
    EXPECT_GE(newBank, 2);
    EXPECT_GE(switchCut, 1);
    EXPECT_GE(completed, 1);
    printf("cut points: %zu, old bank booted %d, new bank %d (cut after the switch began %d), ran through %d\n",
           points.size(), oldBank, newBank, switchCut, completed);
    while (!units.empty()) {
        units.pop_back();
    }
}

TEST(PowerCutUpgrade, ACutWhileABootIsConfirmedLeavesTheConfirmedBankAndItsFlagTogether)
{
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    /* The program's calls at start: two environment reads, then the
     * confirmation; every one of them is cut before and after its tool. */
    std::vector<CutPoint> points;
    for (int n = 1; n <= 3; n++) {
        points.push_back({"clone,clone3,vfork,fork", n});
        points.push_back({"wait4", n});
    }
    std::vector<std::unique_ptr<UpgUnit>> units;
    std::vector<pid_t> tracers;
    for (const CutPoint &p : points) {
        units.push_back(std::make_unique<UpgUnit>());
        UpgUnit &u = *units.back();
        /* Just switched to bank 1, not confirmed yet. */
        ASSERT_TRUE(u.prepare({{"actmtdgrp", "1"}, {"upgflag", "0"}}, "LCD 1\nACTMTDGROUP 1\n"));
        std::string calls = p.calls;
        pid_t pid = u.sb.spawn({CUT_STRACE, "-o", "/dev/null", "-e", "trace=" + calls, "-e",
                                "inject=" + calls + ":signal=KILL:when=" + std::to_string(p.n),
                                u.sb.path("/usr/bin/kelupgrade")});
        ASSERT_GT(pid, 0);
        tracers.push_back(pid);
    }
    int before = 0, after = 0;
    for (size_t i = 0; i < points.size(); i++) {
        UpgUnit &u = *units[i];
        SCOPED_TRACE(std::string("cut at ") + points[i].calls + " #" + std::to_string(points[i].n));
        ASSERT_EQ(CUT_KILLED, u.sb.waitExit(tracers[i], UPG_PICKUP_MS));
        ASSERT_TRUE(upgWaitFor([&] { return sandboxQuiet(u); }, 20000));
        std::string pair = envValue(u, "dftmtdgrp") + "," + envValue(u, "upgflag");
        EXPECT_TRUE(pair == "0,0" || pair == "1,2") << "confirmed bank, flag: " << pair;
        before += pair == "0,0" ? 1 : 0;
        after += pair == "1,2" ? 1 : 0;
        EXPECT_EQ("1", envValue(u, "actmtdgrp"));
    }
    EXPECT_GE(before, 1);
    EXPECT_GE(after, 1);
    while (!units.empty()) {
        units.pop_back();
    }
}
