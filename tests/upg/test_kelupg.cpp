/*
 * Upgrade packages: a package built by the unit's own code survives the
 * checks and restores exactly; every kind of damage is refused at the step
 * that owns it, with that step's report, and leaves no image behind.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../common/kelErrorTestClock.h"
#include "kelTestRoot.h"
#include "kelupg.h"
#include "md5.h"

namespace {

class Packages : public ::testing::Test {
protected:
    KelTestRoot root;
    KelUpgrade *upg = KelUpgrade::GetInstance();
    std::string img, pkg, out;

    void SetUp() override
    {
        kelErrorTestReset(1000);
        img = root.path("/tmp/image.tgz");
        pkg = root.path("/tmp/kelupg.bin");
        out = root.path("/tmp/kelimg.bin");
        ASSERT_EQ(0, system(("mkdir -p " + root.path("/tmp")).c_str()));
        root.write("/kel/config/kel.conf", "LCD 1\n");
    }
    void TearDown() override { kelErrorSetClock(nullptr); }

    std::string imageOf(size_t size)
    {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; i++) {
            data[i] = (char)((i * 131 + 7) ^ (i >> 8));
        }
        return data;
    }

    /* Builds a package for panel 1, version 2.1.7, from `data`. */
    void build(const std::string &data, UINT8 lcd = 1)
    {
        writeHost(img, data);
        kel_UpgFileHeader_t h;
        memset(&h, 0, sizeof(h));
        memcpy(h.upgFileMark, KEL_UPG_FILE_MARK, 4);
        h.lcdType = lcd;
        h.upgVersionMajor = 2;
        h.upgVersionMinor = 1;
        h.upgVersionBuild = 7;
        ASSERT_EQ(1, upg->GenerateUpgFile(img.c_str(), pkg.c_str(), &h));
        EXPECT_EQ((INT32)data.size(), h.imgFileSize);
        EXPECT_EQ(68, h.imgDataOffset);
    }

    static void writeHost(const std::string &path, const std::string &data)
    {
        FILE *fp = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, fp);
        ASSERT_EQ(data.size(), fwrite(data.data(), 1, data.size(), fp));
        fclose(fp);
    }
    std::string readPkg() const { return kelTestReadFile(pkg); }
    /* Rewrites the header's seal so only the intended damage remains. */
    void reseal(std::string &bytes) const
    {
        char seal[32];
        MD5_String((const UINT8 *)bytes.data(), 68, seal);
        bytes.replace(bytes.size() - 32, 32, seal, 32);
    }
    static int reportsOf(INT32 code)
    {
        int n = 0;
        for (int i = 0; i < kelErrorRingSize(); i++) {
            const kel_ErrorLog_t &e = kelErrorRing()[i];
            n += (e.fileID == KEL_FILEID_UPG && e.errorData.errCode == code) ? 1 : 0;
        }
        return n;
    }
    static int reportCount()
    {
        int n = 0;
        for (int i = 0; i < kelErrorRingSize(); i++) {
            n += kelErrorRing()[i].errorData.errCode != 0 ? 1 : 0;
        }
        return n;
    }
    bool imageLeft() const { return access(out.c_str(), F_OK) == 0; }
};

TEST_F(Packages, BuiltPackagesOfEveryShapeRestoreExactly)
{
    for (size_t size : {(size_t)5000, (size_t)0, (size_t)3 * 1024, (size_t)1025}) {
        std::string data = imageOf(size);
        build(data);
        EXPECT_EQ((INT32)size + 100, upg->GetFileSize(pkg.c_str()));
        EXPECT_EQ(1, upg->CheckUpgFileCompletion(pkg.c_str())) << size;
        EXPECT_EQ(1, upg->VerifyUpgFileType(pkg.c_str())) << size;
        ASSERT_EQ(1, upg->RestoreImageFile(out.c_str(), pkg.c_str())) << size;
        EXPECT_EQ(data, kelTestReadFile(out)) << size;
    }
    /* The header carries the image's digest in text form and is sealed by
     * the digest of its 68 bytes. */
    std::string bytes = readPkg();
    EXPECT_EQ("UPGF", bytes.substr(8, 4));
    char code[32];
    MD5_String((const UINT8 *)bytes.data(), 68, code);
    EXPECT_EQ(std::string(code, 32), bytes.substr(bytes.size() - 32));
    EXPECT_EQ(0, reportCount());
    EXPECT_EQ(upg, KelUpgrade::GetInstance());
}

TEST_F(Packages, DamagedPackagesAreRefusedAtTheirStep)
{
    build(imageOf(3000));
    const std::string good = readPkg();
    kel_UpgFileHeader_t h;

    /* A wrong mark fails the header read itself, without a report. */
    for (int i = 0; i < 4; i++) {
        std::string bad = good;
        bad[8 + i] ^= 0x20;
        reseal(bad);
        writeHost(pkg, bad);
        EXPECT_EQ(-1, upg->GetUpgFileHeader(pkg.c_str(), &h)) << i;
        EXPECT_EQ(-1, upg->CheckUpgFileCompletion(pkg.c_str())) << i;
    }
    EXPECT_EQ(0, reportCount());

    /* One byte short or long, or a seal in upper case. */
    writeHost(pkg, good.substr(0, good.size() - 1));
    EXPECT_EQ(-1, upg->CheckUpgFileCompletion(pkg.c_str()));
    writeHost(pkg, good + "0");
    EXPECT_EQ(-1, upg->CheckUpgFileCompletion(pkg.c_str()));
    std::string upper = good;
    for (size_t i = upper.size() - 32; i < upper.size(); i++) {
        upper[i] = (char)toupper((unsigned char)upper[i]);
    }
    ASSERT_NE(good, upper);
    writeHost(pkg, upper);
    EXPECT_EQ(-1, upg->CheckUpgFileCompletion(pkg.c_str()));

    /* Any header byte changed after the build, the time stamp included. */
    for (int i = 0; i < 68; i++) {
        std::string bad = good;
        bad[i] ^= 0x01;
        writeHost(pkg, bad);
        EXPECT_EQ(-1, upg->CheckUpgFileCompletion(pkg.c_str())) << "header byte " << i;
    }
    EXPECT_EQ(0, reportCount());

    /* A damaged image byte passes the seal but not the restore, which
     * reports it and leaves nothing at the restore path. */
    std::string bad = good;
    bad[68 + 1500] ^= 0x40;
    writeHost(pkg, bad);
    EXPECT_EQ(1, upg->CheckUpgFileCompletion(pkg.c_str()));
    EXPECT_EQ(-1, upg->RestoreImageFile(out.c_str(), pkg.c_str()));
    EXPECT_FALSE(imageLeft());
    EXPECT_EQ(1, reportsOf(KEL_UPG_FILE_VERIFY_FAIL));
}

TEST_F(Packages, HeaderSizesOutsideThePackageAreNeverUsed)
{
    /* A 99-byte package claiming an image of -1 bytes, whose last 32
     * bytes (overlapping the header's last byte) are its seal: the size
     * and seal checks agree with it, so only the header read can stop it. */
    kel_UpgFileHeader_t h;
    memset(&h, 0, sizeof(h));
    memcpy(h.upgFileMark, KEL_UPG_FILE_MARK, 4);
    h.imgFileSize = -1;
    h.imgDataOffset = 68;
    h.lcdType = 1;
    char seal[32];
    bool found = false;
    for (int outer = 0; outer < 256 && !found; outer++) {
        h.reserved[0] = (UINT8)outer;
        for (int last = 0; last < 256 && !found; last++) {
            h.reserved[11] = (UINT8)last;
            MD5_String((const UINT8 *)&h, 68, seal);
            found = (UINT8)seal[0] == (UINT8)last;
        }
    }
    ASSERT_TRUE(found);
    std::string pkg99 = std::string((const char *)&h, 67) + std::string(seal, 32);
    ASSERT_EQ(99u, pkg99.size());
    writeHost(pkg, pkg99);
    EXPECT_EQ(-1, upg->GetUpgFileHeader(pkg.c_str(), &h));
    EXPECT_EQ(-1, upg->CheckUpgFileCompletion(pkg.c_str()));
    EXPECT_EQ(-1, upg->RestoreImageFile(out.c_str(), pkg.c_str()));
    EXPECT_FALSE(imageLeft());

    /* An offset past the end, or negative, with a matching size and seal. */
    build(imageOf(2000));
    for (INT32 offset : {2101, -68, 0x7fffff00}) {
        std::string bad = readPkg();
        memcpy(&bad[16], &offset, 4);
        reseal(bad);
        writeHost(pkg, bad);
        EXPECT_EQ(-1, upg->GetUpgFileHeader(pkg.c_str(), &h)) << offset;
        EXPECT_EQ(-1, upg->CheckUpgFileCompletion(pkg.c_str())) << offset;
        EXPECT_EQ(-1, upg->RestoreImageFile(out.c_str(), pkg.c_str())) << offset;
        EXPECT_FALSE(imageLeft());
    }
    /* An offset inside the file that leaves too few bytes for the image. */
    std::string late = readPkg();
    INT32 offset = 200;
    memcpy(&late[16], &offset, 4);
    reseal(late);
    writeHost(pkg, late);
    EXPECT_EQ(1, upg->CheckUpgFileCompletion(pkg.c_str()));
    EXPECT_EQ(-1, upg->RestoreImageFile(out.c_str(), pkg.c_str()));
    EXPECT_FALSE(imageLeft());
}

TEST_F(Packages, APackageThatShrinksAfterItsChecksFailsTheRestoreAndLeavesNoImage)
{
    build(imageOf(4096));
    ASSERT_EQ(1, upg->CheckUpgFileCompletion(pkg.c_str()));
    /* An image from an earlier run lies at the restore path. */
    writeHost(out, "old image");
    ASSERT_EQ(0, truncate(pkg.c_str(), 68 + 1000));
    EXPECT_EQ(-1, upg->RestoreImageFile(out.c_str(), pkg.c_str()));
    EXPECT_FALSE(imageLeft());
    EXPECT_EQ(1, reportsOf(KEL_FW_FILE_READ_ERROR));
}

TEST_F(Packages, OnlyAPackageForTheConfiguredPanelPasses)
{
    build(imageOf(100), 0);
    EXPECT_EQ(-1, upg->VerifyUpgFileType(pkg.c_str()));
    root.write("/kel/config/kel.conf", "LCD 0\n");
    EXPECT_EQ(1, upg->VerifyUpgFileType(pkg.c_str()));
    root.write("/kel/config/kel.conf", "LCD 2\n");
    EXPECT_EQ(-1, upg->VerifyUpgFileType(pkg.c_str()));
    EXPECT_EQ(0, reportCount());
    root.write("/kel/config/kel.conf", "BKLCTRL 1\n");
    EXPECT_EQ(-1, upg->VerifyUpgFileType(pkg.c_str()));
    EXPECT_EQ(1, reportsOf(KEL_FW_GET_ENV_ERROR));
    /* A panel value that fills the whole 32 bytes once a second line
     * holding "LCD" adds its own is no panel (and is never read past). */
    root.write("/kel/config/kel.conf", "LCD " + std::string(31, '0') + "\nOLDLCD 1\n");
    EXPECT_EQ(-1, upg->VerifyUpgFileType(pkg.c_str()));
}

TEST_F(Packages, TheRestoredImageIsAlwaysAFreshPrivateFileNeverALinksTarget)
{
    const std::string data = imageOf(3000);
    build(data);
    /* Another user's link at the restore path, to a file of the system. */
    const std::string victim = root.path("/tmp/passwd");
    writeHost(victim, "root:x:0:0\n");
    ASSERT_EQ(0, symlink(victim.c_str(), out.c_str()));
    ASSERT_EQ(1, upg->RestoreImageFile(out.c_str(), pkg.c_str()));
    EXPECT_EQ("root:x:0:0\n", kelTestReadFile(victim)) << "the restore wrote through the link";
    struct stat st;
    ASSERT_EQ(0, lstat(out.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(data, kelTestReadFile(out));

    /* A file of someone who keeps it open to rewrite it after the check:
     * the image the writer takes is another file, which they cannot reach. */
    ASSERT_EQ(0, unlink(out.c_str()));
    writeHost(out, "");
    ASSERT_EQ(0, chmod(out.c_str(), 0666));
    int theirs = open(out.c_str(), O_WRONLY);
    ASSERT_GE(theirs, 0);
    ASSERT_EQ(1, upg->RestoreImageFile(out.c_str(), pkg.c_str()));
    ASSERT_EQ(5, write(theirs, "EVIL!", 5));
    close(theirs);
    EXPECT_EQ(data, kelTestReadFile(out));
    ASSERT_EQ(0, lstat(out.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(0, reportCount());
}

TEST_F(Packages, TheImageArchiveNeedsBothFilesAndPlainPaths)
{
    std::string dir = root.path("/tmp/fw");
    ASSERT_EQ(0, system(("mkdir -p " + dir).c_str()));
    writeHost(dir + "/uImage", "kernel");
    std::string archive = root.path("/tmp/image.tgz");
    EXPECT_EQ(-1, upg->GenerateImageFile(archive.c_str(), dir.c_str()));
    writeHost(dir + "/rootfs.img", "rootfs");
    EXPECT_EQ(-1, upg->GenerateImageFile((archive + ";touch x").c_str(), dir.c_str()));
    ASSERT_EQ(1, upg->GenerateImageFile(archive.c_str(), dir.c_str()));
    EXPECT_EQ(0, system(("tar tzf " + archive + " | grep -q 'fw/uImage$'").c_str()));
    EXPECT_EQ(0, system(("tar tzf " + archive + " | grep -q 'fw/rootfs.img$'").c_str()));

    /* A firmware folder deep in a build tree, as a build machine has it. */
    std::string deep = root.path("/var/lib/build/workspace/unit-firmware-nightly/output/images/bank");
    ASSERT_EQ(0, system(("mkdir -p " + deep).c_str()));
    writeHost(deep + "/uImage", "kernel");
    writeHost(deep + "/rootfs.img", "rootfs");
    ASSERT_EQ(1, upg->GenerateImageFile(archive.c_str(), deep.c_str()));
    EXPECT_EQ(0, system(("tar tzf " + archive + " | grep -q 'images/bank/rootfs.img$'").c_str()));
}

} // namespace
