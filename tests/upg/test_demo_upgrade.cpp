/*
 * The demo's upgrade act (scripts/demo --upgrade) on this build's
 * programs: the package is installed, the unit comes back in the new bank
 * with it confirmed, the screenshots show the upgrade picture while the
 * writer runs and a dark panel after the power cycle, and nothing of the
 * sandbox is left running.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

#include "kelTestRoot.h"

TEST(DemoUpgradeAct, ThePackageIsInstalledAndTheNewBankConfirmed)
{
    char tmpl[] = "/tmp/keldemoupg.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string out = tmpl;
    std::string cmd = std::string(KEL_TEST_SOURCE_DIR) + "/scripts/demo --upgrade --bin " + KEL_TEST_BIN_DIR +
                      " --out " + out + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string output;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        output.append(buf, n);
    }
    int ws = pclose(p);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << output;
    EXPECT_NE(std::string::npos, output.find("after reboot   actmtdgrp=1 dftmtdgrp=1 splashlogo=0 upgflag=2"))
        << output;
    EXPECT_NE(std::string::npos, output.find("KEL_VERSION    002.001.007")) << output;
    EXPECT_NE(std::string::npos, output.find("bank 1         holds the image, confirmed")) << output;
    EXPECT_NE(std::string::npos, output.find("keyed on the sandbox: 0 before, 0 after")) << output;

    std::string writing = kelTestReadFile(out + "/upgrade-1-writing.png");
    std::string rebooted = kelTestReadFile(out + "/upgrade-3-rebooted.png");
    EXPECT_FALSE(writing.empty());
    EXPECT_FALSE(rebooted.empty());
    EXPECT_NE(writing, rebooted);
    /* The sandbox is gone with its programs. */
    EXPECT_EQ(0, system(("test ! -e " + out + "/sandbox").c_str()));
    (void)system(("rm -rf " + out).c_str());
}
