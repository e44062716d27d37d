/*
 * The package builder as its users run it: a package built from a
 * firmware folder passes the unit's checks; bad input is refused with a
 * message; a damaged package is named by the first check it fails.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kelTestRoot.h"

namespace {

struct ToolRun {
    int status;
    std::string out;
};

ToolRun kelmkupg(const std::string &args)
{
    std::string cmd = std::string(KEL_TEST_BIN_DIR) + "/kelmkupg " + args + " 2>&1";
    ToolRun r{-1, ""};
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return r;
    }
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        r.out.append(buf, n);
    }
    int ws = pclose(p);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    return r;
}

class PackageBuilder : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelmkupgt.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        ASSERT_EQ(0, system(("mkdir " + dir + "/fw && head -c 70000 /dev/urandom > " + dir +
                             "/fw/uImage && head -c 90000 /dev/urandom > " + dir + "/fw/rootfs.img")
                                .c_str()));
    }
    void TearDown() override { (void)system(("rm -rf " + dir).c_str()); }
    void damage(const std::string &pkg, long offset)
    {
        FILE *fp = fopen(pkg.c_str(), "r+b");
        ASSERT_NE(nullptr, fp);
        ASSERT_EQ(0, fseek(fp, offset, SEEK_SET));
        int c = fgetc(fp);
        ASSERT_EQ(0, fseek(fp, offset, SEEK_SET));
        fputc(c ^ 0x04, fp);
        fclose(fp);
    }
};

TEST_F(PackageBuilder, APackageFromAFirmwareFolderPassesEveryCheck)
{
    std::string pkg = dir + "/kelupg.bin";
    ToolRun b = kelmkupg("build --panel 1 --version 2.1.7 --dir " + dir + "/fw " + pkg);
    ASSERT_EQ(0, b.status) << b.out;
    ToolRun c = kelmkupg("check " + pkg);
    EXPECT_EQ(0, c.status) << c.out;
    for (const char *line : {"mark           UPGF\n", "image offset   68\n", "panel          1 (SHARP)\n",
                             "version        2.1.7\n", "header: ok\n", "completion and seal: ok\n",
                             "image restore and MD5: ok\n", " UTC)\n"}) {
        EXPECT_NE(std::string::npos, c.out.find(line)) << line << c.out;
    }
    /* The image is the archive of both files. */
    EXPECT_EQ(0, system(("tail -c +69 " + pkg + " | head -c -32 | tar tzf - | grep -q 'fw/rootfs.img$'").c_str()));

    /* Damage is named by the first check it fails. */
    damage(pkg, 9);
    EXPECT_NE(std::string::npos, kelmkupg("check " + pkg).out.find("header: FAILED"));
    damage(pkg, 9);
    damage(pkg, 0);
    ToolRun seal = kelmkupg("check " + pkg);
    EXPECT_NE(0, seal.status);
    EXPECT_NE(std::string::npos, seal.out.find("completion and seal: FAILED")) << seal.out;
    damage(pkg, 0);
    damage(pkg, 68 + 1000);
    ToolRun image = kelmkupg("check " + pkg);
    EXPECT_NE(0, image.status);
    EXPECT_NE(std::string::npos, image.out.find("image restore and MD5: FAILED")) << image.out;
}

TEST_F(PackageBuilder, BadInputIsRefusedWithAMessage)
{
    std::string out = dir + "/p.bin";
    struct {
        std::string args;
        std::string says;
    } cases[] = {
        {"--panel 2 --version 1.0.0 --dir " + dir + "/fw " + out, "panel '2'"},
        {"--panel 0 --version 1.256.0 --dir " + dir + "/fw " + out, "version '1.256.0'"},
        {"--panel 0 --version 1.2 --dir " + dir + "/fw " + out, "version '1.2'"},
        {"--panel 0 --version 1.2.3 --image " + dir + "/none " + out, "no image file"},
        {"--panel 0 --version 1.2.3 --dir " + dir + " " + out, "needs both uImage and rootfs.img"},
        {"--panel 0 --version 1.2.3 " + out, "one of --image and --dir"},
    };
    for (const auto &c : cases) {
        ToolRun r = kelmkupg("build " + c.args);
        EXPECT_NE(0, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.out.find(c.says)) << c.args << "\n" << r.out;
        EXPECT_NE(0, access(out.c_str(), F_OK)) << c.args;
    }
    EXPECT_EQ(0, kelmkupg("build --help").status);
    EXPECT_EQ(0, kelmkupg("check --help").status);
    EXPECT_EQ(0, kelmkupg("--help").status);
    EXPECT_NE(0, kelmkupg("check " + dir + "/none").status);
}

} // namespace
