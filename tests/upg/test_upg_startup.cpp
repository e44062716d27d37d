/*
 * The upgrade program at power-up on the virtual board: it confirms the
 * bank it booted from only after a bank switch, keeps the configuration's
 * copy of the bank in step, and refuses what it cannot work with.
 */
#include "upgUnit.h"

namespace {

/* Waits until the program has been watching for packages for a while
 * (it has nothing more to write), then stops it. */
void settle(UpgUnit &u, int ms = 3000)
{
    kelTestSleepMs(ms);
    ASSERT_TRUE(u.sb.running(u.upgrade));
    u.sb.stop(u.upgrade);
}

TEST(UpgradeStartup, ABootAfterABankSwitchIsConfirmedBeforeAnythingElse)
{
    for (const char *flag : {"0", "1"}) {
        UpgUnit u;
        ASSERT_TRUE(u.prepare({{"actmtdgrp", "1"}, {"upgflag", flag}}, "LCD 1\nACTMTDGROUP 0\n"));
        ASSERT_TRUE(u.startUpgrade());
        ASSERT_TRUE(u.sb.waitJournal("fw_setenv -s dftmtdgrp=1 upgflag=2", UPG_PICKUP_MS)) << flag;
        settle(u);
        /* The confirmed bank and the flag in one update, read back. */
        std::vector<std::string> want = {"fw_setenv -s dftmtdgrp=1 upgflag=2"};
        EXPECT_EQ(want, u.journal()) << flag;
        EXPECT_EQ("actmtdgrp=1\ndftmtdgrp=1\nsplashlogo=0\nupgflag=2\n", u.env()) << flag;
        EXPECT_EQ("LCD 1\nACTMTDGROUP 1\n", u.config()) << flag;
    }
}

TEST(UpgradeStartup, AConfirmedBootOrAnUnknownFlagWritesNothing)
{
    for (const char *flag : {"2", "3", "255"}) {
        UpgUnit u;
        ASSERT_TRUE(u.prepare({{"actmtdgrp", "1"}, {"dftmtdgrp", "1"}, {"upgflag", flag}}, "LCD 1\nACTMTDGROUP 1\n"));
        ASSERT_TRUE(u.startUpgrade());
        settle(u);
        EXPECT_TRUE(u.journal().empty()) << flag << ": " << u.sb.journal();
        EXPECT_EQ("LCD 1\nACTMTDGROUP 1\n", u.config()) << flag;
    }
}

TEST(UpgradeStartup, AFailingEnvironmentWriteIsRetriedEverySecondUntilItTakes)
{
    UpgUnit u;
    ASSERT_TRUE(u.prepare({{"actmtdgrp", "1"}, {"upgflag", "0"}}));
    ASSERT_TRUE(u.sb.setExitStatus("fw_setenv", 1));
    ASSERT_TRUE(u.startUpgrade());
    ASSERT_TRUE(upgWaitFor([&] { return u.journalCount("fw_setenv -s dftmtdgrp=1 upgflag=2") >= 3; },
                           UPG_PICKUP_MS));
    EXPECT_EQ("actmtdgrp=1\ndftmtdgrp=0\nsplashlogo=0\nupgflag=0\n", u.env());
    ASSERT_TRUE(u.sb.setExitStatus("fw_setenv", -1));
    ASSERT_TRUE(upgWaitFor([&] { return u.env() == "actmtdgrp=1\ndftmtdgrp=1\nsplashlogo=0\nupgflag=2\n"; },
                           UPG_PICKUP_MS));
    settle(u, 2000);
    EXPECT_EQ("actmtdgrp=1\ndftmtdgrp=1\nsplashlogo=0\nupgflag=2\n", u.env());
}

TEST(UpgradeStartup, AnUnreadableBootEnvironmentOrAnOverlongPathEndsTheProgram)
{
    UpgUnit u;
    ASSERT_TRUE(u.prepare({}));
    /* Both copies of the environment and its configuration are gone. */
    ASSERT_EQ(0, unlink(u.sb.path("/etc/fw_env.config").c_str()));
    ASSERT_TRUE(u.startUpgrade());
    EXPECT_EQ(255, u.sb.waitExit(u.upgrade, 20000));

    UpgUnit v;
    ASSERT_TRUE(v.prepare({}));
    std::string longPath = "/usr/ftp/up/" + std::string(52, 'p');
    ASSERT_EQ(64u, longPath.size());
    ASSERT_TRUE(v.startUpgrade({longPath}));
    EXPECT_EQ(255, v.sb.waitExit(v.upgrade, 20000));
    ASSERT_TRUE(v.startUpgrade({"/usr/ftp/up/kelupg.bin", "/tmp/" + std::string(59, 'i')}));
    EXPECT_EQ(255, v.sb.waitExit(v.upgrade, 20000));
    EXPECT_NE(std::string::npos, v.sb.read("/var/log/kelupgrade.out").find("longer than 63 bytes"));
    /* A 63-byte path is taken. */
    ASSERT_TRUE(v.startUpgrade({longPath.substr(0, 63)}));
    settle(v, 2000);
    EXPECT_TRUE(v.journal().empty());
}

} // namespace

namespace {

/* The board keeps two copies of its boot environment: a write that is cut
 * short (power lost after the first bytes of the copy being written) leaves
 * the other copy, with the values from before the write, readable. */
TEST(VirtualBoardEnvironment, AWriteCutShortKeepsTheOldValuesReadable)
{
    UpgUnit u;
    ASSERT_TRUE(u.prepare({{"actmtdgrp", "1"}, {"upgflag", "1"}}));
    const std::string copies[] = {"/var/lib/uboot.env", "/var/lib/uboot.env.redund"};
    std::string before[2] = {u.sb.read(copies[0]), u.sb.read(copies[1])};
    ASSERT_EQ(0, u.sb.shell("fw_setenv upgflag 0"));
    ASSERT_EQ("actmtdgrp=1\ndftmtdgrp=0\nsplashlogo=0\nupgflag=0\n", u.env());

    int written = u.sb.read(copies[0]) != before[0] ? 0 : 1;
    std::string after = u.sb.read(copies[written]);
    ASSERT_NE(before[written], after);
    ASSERT_EQ(before[1 - written], u.sb.read(copies[1 - written]));
    /* Only the checksum and the flag byte of the new copy got out. */
    std::string cut = after.substr(0, 5) + before[written].substr(5);
    ASSERT_TRUE(u.sb.write(copies[written], cut));
    EXPECT_EQ("actmtdgrp=1\ndftmtdgrp=0\nsplashlogo=0\nupgflag=1\n", u.env());

    /* The next write goes to the broken copy and both are good again. */
    ASSERT_EQ(0, u.sb.shell("fw_setenv upgflag 2"));
    EXPECT_EQ("actmtdgrp=1\ndftmtdgrp=0\nsplashlogo=0\nupgflag=2\n", u.env());
}

} // namespace
