/*
 * The upgrade program with packages on the virtual board, beside the real
 * control daemon: a good package is installed into the other bank and the
 * unit boots into it; packages that are not for this unit, still growing
 * or damaged never reach the flash writer; a flash writer that fails or is
 * killed leaves the boot environment as it was and the unit running.
 */
#include "upgUnit.h"

#include <sys/stat.h>

namespace {

const std::string kNormalEnv0 = "actmtdgrp=0\ndftmtdgrp=0\nsplashlogo=0\nupgflag=2\n";

/* The journal lines of the upgrade program's outside calls. */
std::vector<std::string> upgradeCalls(UpgUnit &u)
{
    std::vector<std::string> calls;
    for (const std::string &l : u.journal()) {
        if (l.rfind("/usr/bin/fwupgrade", 0) == 0 || l.rfind("fw_setenv", 0) == 0 || l == "reboot") {
            calls.push_back(l);
        }
    }
    return calls;
}

bool hasLine(const std::string &text, const std::string &line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

void startUnit(UpgUnit &u, const std::string &config = "LCD 1\n")
{
    ASSERT_TRUE(u.prepare({}, config));
    ASSERT_TRUE(u.startControl());
    ASSERT_TRUE(u.startUpgrade());
}

TEST(UpgradeInstall, AGoodPackageGoesIntoTheOtherBankAndTheNewBankIsConfirmedAfterTheReboot)
{
    UpgUnit u;
    startUnit(u);
    ASSERT_TRUE(u.sb.write("/var/lib/vboard/fwupgrade.seconds", "3\n"));
    const std::string image = UpgUnit::imageOf(300000);
    ASSERT_TRUE(u.upload(image, 1, 2, 1, 7));

    /* The daemon shows the upgrading mode while the writer runs. */
    ASSERT_TRUE(u.sb.waitJournal("/usr/bin/fwupgrade 1", UPG_PICKUP_MS));
    EXPECT_TRUE(upgWaitFor([&] { return u.workMode() == KEL_MODE_FW_UPGRADING; }, 2500));
    ASSERT_TRUE(u.sb.waitJournal("reboot", 20000));
    EXPECT_EQ(0, u.sb.waitExit(u.upgrade, 10000));
    EXPECT_TRUE(upgWaitFor([&] { return u.workMode() == KEL_MODE_NORMAL; }, 5000));

    /* The bank and its flag in one update of the environment, read back
     * from the environment itself. */
    std::vector<std::string> want = {"/usr/bin/fwupgrade 1", "fw_setenv -s actmtdgrp=1 upgflag=0", "reboot"};
    EXPECT_EQ(want, upgradeCalls(u));
    EXPECT_EQ("actmtdgrp=1\ndftmtdgrp=0\nsplashlogo=0\nupgflag=0\n", u.env());
    EXPECT_TRUE(hasLine(u.config(), "KEL_VERSION 002.001.007")) << u.config();
    EXPECT_TRUE(hasLine(u.config(), "ACTMTDGROUP 0")) << u.config();
    EXPECT_EQ(image, u.sb.read("/dev/mtd6").substr(0, image.size()));
    EXPECT_EQ(std::string(16, '\0'), u.sb.read("/dev/mtd4").substr(0, 16));
    EXPECT_EQ(1, u.reportCount(KEL_UPG_FILE_DETECTED));
    EXPECT_EQ(1, u.reportCount(KEL_UPG_SUCCESS));

    /* Power cycle: the init scripts start the daemon and the upgrade
     * program again, which confirms the bank it now runs from. */
    ASSERT_EQ(0, u.sb.shell(std::string(KEL_TEST_BIN_DIR) + "/kelvboard --reboot $KEL_ROOT"));
    ASSERT_TRUE(u.sb.waitJournal("fw_setenv -s dftmtdgrp=1 upgflag=2", UPG_PICKUP_MS));
    EXPECT_TRUE(upgWaitFor([&] { return u.env() == "actmtdgrp=1\ndftmtdgrp=1\nsplashlogo=0\nupgflag=2\n"; },
                           10000))
        << u.env();
    EXPECT_TRUE(hasLine(u.config(), "ACTMTDGROUP 1")) << u.config();
    EXPECT_FALSE(u.sb.exists(UPG_PACKAGE));
    EXPECT_EQ(0, u.sb.shell("$KEL_ROOT/etc/init.d/kelupgrade status"));
}

TEST(UpgradeReplaced, APackageReplacedWhileItIsWrittenIsRecordedAsTheOneThatWasWritten)
{
    UpgUnit u;
    startUnit(u);
    /* The writer takes long enough for the upload folder to change under it. */
    ASSERT_TRUE(u.sb.write("/var/lib/vboard/fwupgrade.seconds", "8\n"));
    const std::string image = UpgUnit::imageOf(80000, 21);
    ASSERT_TRUE(u.upload(image, 1, 2, 1, 7));
    const std::string other = u.buildPackage(UpgUnit::imageOf(80000, 22), 0, 3, 0, 0);
    ASSERT_FALSE(other.empty());
    ASSERT_TRUE(u.sb.waitJournal("/usr/bin/fwupgrade 1", UPG_PICKUP_MS));
    /* A package for the other panel, of another version, takes its place. */
    ASSERT_TRUE(u.place(other));
    ASSERT_FALSE(u.sb.journalHas("reboot")) << "the writer ended before the package was replaced";
    ASSERT_TRUE(u.sb.waitJournal("reboot", 30000));

    std::vector<std::string> want = {"/usr/bin/fwupgrade 1", "fw_setenv -s actmtdgrp=1 upgflag=0", "reboot"};
    EXPECT_EQ(want, upgradeCalls(u));
    EXPECT_TRUE(hasLine(u.config(), "KEL_VERSION 002.001.007")) << u.config();
    EXPECT_EQ(image, u.sb.read("/dev/mtd6").substr(0, image.size()));
    EXPECT_EQ("actmtdgrp=1\ndftmtdgrp=0\nsplashlogo=0\nupgflag=0\n", u.env());
    EXPECT_EQ(1, u.reportCount(KEL_UPG_SUCCESS));
}

TEST(UpgradeOtherPanel, APackageForTheOtherPanelIsReportedAgainAndNeverInstalled)
{
    UpgUnit u;
    startUnit(u);
    ASSERT_TRUE(u.upload(UpgUnit::imageOf(5000), 0));
    /* Examined again about every 5 s; the ten-second repeat window lets
     * one report through every other time. */
    EXPECT_TRUE(upgWaitFor([&] { return u.reportCount(KEL_UPG_TYPE_ERROR) >= 3; }, UPG_PICKUP_MS + 25000));
    EXPECT_TRUE(upgradeCalls(u).empty());
    EXPECT_FALSE(u.sb.exists("/tmp/kelimg.bin"));
    EXPECT_EQ(kNormalEnv0, u.env());
    EXPECT_EQ(1, u.reportCount(KEL_UPG_FILE_DETECTED));
    EXPECT_TRUE(u.sb.running(u.upgrade));
}

TEST(UpgradeGrowing, AGrowingPackageIsLeftAloneUntilItsSizeIsStable)
{
    UpgUnit u;
    startUnit(u);
    const std::string image = UpgUnit::imageOf(200000, 3);
    const std::string pkg = u.buildPackage(image);
    ASSERT_FALSE(pkg.empty());
    /* An upload that adds a piece every 4 s for 24 s. */
    size_t step = pkg.size() / 7;
    for (size_t have = step; have < pkg.size(); have += step) {
        ASSERT_TRUE(u.sb.write(UPG_PACKAGE, pkg.substr(0, have)));
        kelTestSleepMs(4000);
        EXPECT_TRUE(upgradeCalls(u).empty()) << have;
        EXPECT_EQ(0, u.reportCount(KEL_UPG_FILE_VERIFY_FAIL));
    }
    long done = kelTestNowMs();
    ASSERT_TRUE(u.sb.write(UPG_PACKAGE, pkg));
    ASSERT_TRUE(u.sb.waitJournal("/usr/bin/fwupgrade 1", UPG_PICKUP_MS));
    /* Taken only after a stable poll and the further 10 s. */
    EXPECT_GE(kelTestNowMs() - done, 14000);
    ASSERT_TRUE(u.sb.waitJournal("reboot", 20000));
    EXPECT_EQ(1, u.reportCount(KEL_UPG_FILE_DETECTED));
    EXPECT_EQ(0, u.reportCount(KEL_UPG_FILE_VERIFY_FAIL));
    EXPECT_EQ(image, u.sb.read("/dev/mtd6").substr(0, image.size()));
}

/* A writer that fails or dies: reported, mode back to normal, nothing
 * written to the environment, no reboot, and the same package is not
 * tried again. */
void writerFailure(UpgUnit &u, int reportsWanted)
{
    ASSERT_TRUE(u.sb.waitJournal("/usr/bin/fwupgrade 1", UPG_PICKUP_MS));
    EXPECT_TRUE(upgWaitFor([&] { return u.reportCount(KEL_UPG_FAIL) == reportsWanted; }, 10000));
    EXPECT_TRUE(upgWaitFor([&] { return u.workMode() == KEL_MODE_NORMAL; }, 5000));
    kelTestSleepMs(16000);
    std::vector<std::string> want = {"/usr/bin/fwupgrade 1"};
    EXPECT_EQ(want, upgradeCalls(u));
    EXPECT_EQ(kNormalEnv0, u.env());
    EXPECT_FALSE(hasLine(u.config(), "KEL_VERSION 002.001.007"));
    EXPECT_EQ(0, u.reportCount(KEL_UPG_SUCCESS));
    EXPECT_FALSE(u.sb.exists("/var/run/reboot-requested"));
    EXPECT_TRUE(u.sb.running(u.upgrade));
}

TEST(UpgradeWriterFails, AFailingFlashWriterLeavesTheUnitAsItWas)
{
    UpgUnit u;
    startUnit(u);
    ASSERT_TRUE(u.sb.setExitStatus("fwupgrade", 1));
    ASSERT_TRUE(u.upload(UpgUnit::imageOf(100000)));
    writerFailure(u, 1);
}

TEST(UpgradeWriterKilled, AFlashWriterKilledHalfWayLeavesTheUnitAsItWas)
{
    UpgUnit u;
    startUnit(u);
    ASSERT_TRUE(u.sb.write("/var/lib/vboard/fwupgrade.halfway", ""));
    const std::string image = UpgUnit::imageOf(100000, 5);
    ASSERT_TRUE(u.upload(image));
    writerFailure(u, 1);
    /* The writer did get half way. */
    EXPECT_EQ(image.substr(0, 50000), u.sb.read("/dev/mtd6").substr(0, 50000));
    EXPECT_NE(image.substr(50000, 100), u.sb.read("/dev/mtd6").substr(50000, 100));
}

TEST(UpgradeEnvWriteFails, ARefusedBankSwitchIsNoSuccessAndTheUnitRebootsAsItWas)
{
    UpgUnit u;
    startUnit(u);
    /* The boot environment takes no writes from now on. */
    ASSERT_TRUE(u.sb.setExitStatus("fw_setenv", 1));
    ASSERT_TRUE(u.upload(UpgUnit::imageOf(50000, 11)));
    ASSERT_TRUE(u.sb.waitJournal("reboot", UPG_PICKUP_MS + 10000));
    std::vector<std::string> want = {"/usr/bin/fwupgrade 1", "fw_setenv -s actmtdgrp=1 upgflag=0", "reboot"};
    EXPECT_EQ(want, upgradeCalls(u));
    EXPECT_EQ(kNormalEnv0, u.env());
    EXPECT_TRUE(hasLine(u.config(), "KEL_VERSION 002.001.007")) << u.config();
    EXPECT_TRUE(upgWaitFor([&] { return u.reportCount(KEL_FW_SET_ENV_ERROR) >= 1; }, 5000));
    EXPECT_EQ(0, u.reportCount(KEL_UPG_SUCCESS));
}

TEST(UpgradeDamaged, ADamagedImageFailsTheRestoreAndNeverReachesTheWriter)
{
    UpgUnit u;
    startUnit(u);
    std::string pkg = u.buildPackage(UpgUnit::imageOf(60000, 9));
    ASSERT_FALSE(pkg.empty());
    pkg[68 + 30000] ^= 0x10;
    ASSERT_TRUE(u.place(pkg));
    EXPECT_TRUE(upgWaitFor([&] { return u.reportCount(KEL_UPG_IMAGE_RESTORE_FAIL) == 1; }, UPG_PICKUP_MS));
    EXPECT_EQ(1, u.reportCount(KEL_UPG_FILE_VERIFY_FAIL));
    EXPECT_FALSE(u.sb.exists("/tmp/kelimg.bin"));

    /* A package whose seal does not match is refused before the restore. */
    std::string unsealed = u.buildPackage(UpgUnit::imageOf(60001, 9));
    unsealed[0] ^= 0x01;
    ASSERT_TRUE(u.place(unsealed));
    EXPECT_TRUE(upgWaitFor([&] { return u.reportCount(KEL_UPG_FILE_VERIFY_FAIL) == 2; }, UPG_PICKUP_MS));
    EXPECT_EQ(1, u.reportCount(KEL_UPG_IMAGE_RESTORE_FAIL));
    EXPECT_TRUE(upgradeCalls(u).empty());
    EXPECT_EQ(kNormalEnv0, u.env());
    EXPECT_FALSE(u.sb.exists("/tmp/kelimg.bin"));
}

} // namespace
