/*
 * Power cuts during an upgrade: the upgrade program is cut at each of its
 * steps around the flash writer (starting an outside program, waiting for
 * it, syncing and renaming the configuration) and the board is power-cycled.
 * The bank that boots is always whole: the old one with the package still
 * uploaded (so the next start installs it again), or the new one with its
 * image complete and its version recorded; the boot environment is readable
 * and the next start confirms a new bank.
 *
 * Each upgrade waits 15 s for its upload to settle, so every cut point gets
 * its own board and all of them run side by side.
 */
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

    int oldBank = 0, newBank = 0, switchCut = 0, betweenWrites = 0, completed = 0;
    for (size_t i = 0; i < points.size(); i++) {
        UpgUnit &u = *units[i];
        SCOPED_TRACE(std::string("cut at ") + points[i].calls + " #" + std::to_string(points[i].n));
        int rc = u.sb.waitExit(tracers[i], UPG_PICKUP_MS + 20000);
        ASSERT_TRUE(rc == CUT_KILLED || rc == 0) << "exit " << rc;
        completed += rc == 0 ? 1 : 0;
        bool wrote = u.sb.journalHas("/usr/bin/fwupgrade 1");
        bool switched = u.sb.journalHas("fw_setenv actmtdgrp 1");
        /* What the cut left is what the boot loader finds. */
        std::string bank = envValue(u, "actmtdgrp");
        std::string flag = envValue(u, "upgflag");
        std::string confirmed = envValue(u, "dftmtdgrp");
        ASSERT_EQ(0, u.sb.shell(std::string(KEL_TEST_BIN_DIR) + "/kelvboard --reboot $KEL_ROOT"));

        if (bank == "0") {
            oldBank++;
            EXPECT_FALSE(rc == 0) << "a finished upgrade boots the old bank";
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
        /* Cut between the two writes of the switch: the new bank boots as
         * the one to run, the confirmed bank stays the old, whole one. */
        if (flag == "2") {
            betweenWrites++;
            EXPECT_EQ("0", confirmed);
            continue;
        }
        /* The next start confirms the new bank the switch asked for. */
        EXPECT_EQ("0", flag);
        EXPECT_TRUE(upgWaitFor([&] { return envValue(u, "dftmtdgrp") == "1" && envValue(u, "upgflag") == "2"; },
                               20000))
            << u.env();
    }
    /* Cuts fell before the writer, between the writer and the switch, and
     * inside the switch; and the upgrade also ran through. */
    EXPECT_GE(oldBank, 3);
    EXPECT_GE(newBank, 2);
    EXPECT_GE(switchCut, 1);
    EXPECT_GE(betweenWrites, 1);
    EXPECT_GE(completed, 1);
    printf("cut points: %zu, old bank booted %d, new bank %d (cut after the switch began %d, of them between "
           "its two writes %d), ran through %d\n",
           points.size(), oldBank, newBank, switchCut, betweenWrites, completed);
    while (!units.empty()) {
        units.pop_back();
    }
}
