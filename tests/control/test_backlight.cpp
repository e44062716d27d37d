/*
 * Backlight: levels written to the pwm-backlight file of the platform root,
 * the stored user level, and the current control run through the outside
 * configuration program of the root.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "kelTestRoot.h"
#include "kelbacklight.h"

namespace {

const char *kLevelFile = "/sys/class/backlight/pwm-backlight/brightness";

class Backlight : public ::testing::Test {
protected:
    KelTestRoot root;

    void SetUp() override
    {
        ASSERT_EQ(system(("mkdir -p " + root.path("/sys/class/backlight/pwm-backlight") + " " +
                          root.path("/usr/bin"))
                             .c_str()),
                  0);
        root.write(kLevelFile, "60");
    }
    std::string level() const { return root.read(kLevelFile); }
    void stubConfigProgram(int exitCode) const
    {
        root.write("/usr/bin/kelconfig", "#!/bin/sh\necho \"$@\" >> \"$KEL_ROOT/kelconfig.journal\"\nexit " +
                                             std::to_string(exitCode) + "\n");
        chmod(root.path("/usr/bin/kelconfig").c_str(), 0755);
    }
};

} // namespace

TEST_F(Backlight, LevelsAreWrittenAsPlainDigitsWithNoLeftoverOfALongerValue)
{
    EXPECT_EQ(kelSetBrightness(100), 1);
    EXPECT_EQ(level(), "100");
    EXPECT_EQ(kelSetBrightness(0), 1);
    EXPECT_EQ(level(), "0");
    EXPECT_EQ(kelSetBacklightHigh(), 1);
    EXPECT_EQ(level(), "100");
    EXPECT_EQ(kelSetBacklightLow(), 1);
    EXPECT_EQ(level(), "25");
}

TEST_F(Backlight, OutOfRangeLevelsAndAMissingDeviceChangeNothing)
{
    EXPECT_EQ(kelSetBrightness(101), -1);
    EXPECT_EQ(kelSetBrightness(0xFFFFFFFFu), -1);
    EXPECT_EQ(level(), "60");

    unlink(root.path(kLevelFile).c_str());
    EXPECT_EQ(kelSetBrightness(50), -1);
    EXPECT_EQ(kelTestReadFile(root.path(kLevelFile)), "") << "the device file is never created";
}

TEST_F(Backlight, StoredUserLevelIsKeptAndRestored)
{
    EXPECT_EQ(kelSaveBrightness(101), -1);
    ASSERT_EQ(kelSaveBrightness(40), 1);
    EXPECT_NE(root.read("/kel/config/kel.conf").find("BKLPWM 40"), std::string::npos);
    EXPECT_EQ(level(), "60") << "saving does not apply the level";

    EXPECT_EQ(kelResetBacklight(), 1);
    EXPECT_EQ(level(), "40");
}

TEST_F(Backlight, RestoreWithoutAUsableStoredLevelLeavesTheDeviceAlone)
{
    root.write("/kel/config/kel.conf", "LCD 1\n");
    EXPECT_EQ(kelResetBacklight(), -1);
    root.write("/kel/config/kel.conf", "BKLPWM bright\n");
    EXPECT_EQ(kelResetBacklight(), -1);
    root.write("/kel/config/kel.conf", "BKLPWM 250\n");
    EXPECT_EQ(kelResetBacklight(), -1);
    EXPECT_EQ(level(), "60");
}

TEST_F(Backlight, CurrentControlRunsTheConfigurationProgramOfTheRoot)
{
    stubConfigProgram(0);
    EXPECT_EQ(kelSetBacklightCurrent(KEL_TRUE), 1);
    EXPECT_EQ(kelSetBacklightCurrent(KEL_FALSE), 1);
    EXPECT_EQ(root.read("/kelconfig.journal"), "bklctrl 1\nbklctrl 0\n");

    stubConfigProgram(3);
    EXPECT_EQ(kelSetBacklightCurrent(KEL_TRUE), -1) << "a failing program is a failure";
    unlink(root.path("/usr/bin/kelconfig").c_str());
    EXPECT_EQ(kelSetBacklightCurrent(KEL_TRUE), -1) << "a missing program is a failure";
}
