/*
 * Flash image reader scenarios: the built flashdump copies ranges of a
 * prepared flash file inside a temporary platform root.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelTestRoot.h"
#include "toolRun.h"

namespace {

const long kFlashSize = 0x2000000;
const char kUsage[] = "flashdump flash_addr(HEX) read_size(HEX) image_filename \n";

/* Byte stored at a flash address: changes within and across 32 KiB chunks,
 * so a misplaced chunk or offset shows. */
unsigned char patternAt(long addr)
{
    return (unsigned char)(addr * 7 + (addr >> 8) + (addr >> 15) * 13);
}

std::string patternRange(long addr, long size)
{
    std::string s((size_t)size, '\0');
    for (long i = 0; i < size; i++) {
        s[(size_t)i] = (char)patternAt(addr + i);
    }
    return s;
}

class FlashDump : public ::testing::Test {
protected:
    KelTestRoot root;
    std::string out;

    void SetUp() override { ASSERT_EQ(0, mkdir(root.path("/dev").c_str(), 0755)); }

    /* A flash file of `length` bytes (sparse), with the pattern written
     * into each of `regions` ({address, size}). */
    void makeFlash(long length, const std::vector<std::pair<long, long>> &regions)
    {
        int fd = open(root.path("/dev/m25p80").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, length));
        for (const auto &r : regions) {
            std::string bytes = patternRange(r.first, r.second);
            ASSERT_EQ(r.second, pwrite(fd, bytes.data(), bytes.size(), r.first));
        }
        close(fd);
    }

    int run(const std::vector<std::string> &args, long sizeLimit = TOOL_RUN_NO_LIMIT)
    {
        std::vector<std::string> argv = {toolPath("flashdump")};
        argv.insert(argv.end(), args.begin(), args.end());
        ToolRun how;
        how.fileSizeLimit = sizeLimit;
        return toolRun(argv, root.dir(), how, &out);
    }

    std::string image() { return root.read("/image.bin"); }
    std::string imagePath() { return root.path("/image.bin"); }
    bool imageExists() { return access(imagePath().c_str(), F_OK) == 0; }
};

TEST_F(FlashDump, ARangeAcrossChunksIsCopiedByteForByteIntoAFreshFile)
{
    makeFlash(kFlashSize, {{0x10000, 0x20000}});
    root.write("/image.bin", std::string(0x30000, 'x'));

    /* 0x10001 bytes: two full chunks and a last one of a single byte. */
    EXPECT_EQ(0, run({"0x10003", "10001", imagePath()}));
    EXPECT_EQ("", out);
    std::string img = image();
    ASSERT_EQ(0x10001u, img.size());
    EXPECT_TRUE(img == patternRange(0x10003, 0x10001));

    ASSERT_EQ(0, unlink(imagePath().c_str()));
    EXPECT_EQ(0, run({"10000", "8000", imagePath()}));
    struct stat st;
    ASSERT_EQ(0, stat(imagePath().c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777u);
    EXPECT_TRUE(image() == patternRange(0x10000, 0x8000));
}

TEST_F(FlashDump, TheRangeMustEndWithinTheFlash)
{
    makeFlash(kFlashSize, {{0x1FFF000, 0x1000}});

    EXPECT_EQ(0, run({"1FFF000", "1000", imagePath()}));
    EXPECT_TRUE(image() == patternRange(0x1FFF000, 0x1000));

    EXPECT_EQ(0, run({"2000000", "0", imagePath()}));
    EXPECT_EQ("", out);
    EXPECT_TRUE(imageExists());
    EXPECT_EQ("", image());

    ASSERT_EQ(0, unlink(imagePath().c_str()));
    EXPECT_EQ(3, run({"1FFF000", "1001", imagePath()}));
    EXPECT_EQ("The read data is exceed flash size\n", out);
    EXPECT_FALSE(imageExists());

    EXPECT_EQ(2, run({"2000001", "0", imagePath()}));
    EXPECT_EQ("The address is exceed flash size\n", out);
    /* Wider than 32 bits counts as the largest address on every target. */
    EXPECT_EQ(2, run({"100000000", "0", imagePath()}));
    EXPECT_EQ("The address is exceed flash size\n", out);
    EXPECT_FALSE(imageExists());
}

TEST_F(FlashDump, ASizeThatWrapsTheAddressPastZeroIsRefused)
{
    makeFlash(kFlashSize, {});
    /* 0x1000 + 0xFFFFF001 is 1 in 32 bits: still far past the flash. */
    EXPECT_EQ(3, run({"1000", "FFFFF001", imagePath()}));
    EXPECT_EQ("The read data is exceed flash size\n", out);
    EXPECT_FALSE(imageExists());
}

TEST_F(FlashDump, AWrongCommandLinePrintsTheUsageWithStatus255)
{
    makeFlash(0x1000, {{0, 0x1000}});
    const std::vector<std::vector<std::string>> lines = {
        {},
        {"0", "10"},
        {"0", "10", imagePath(), "extra"},
        {"zz", "10", imagePath()},
        {"0", "10q", imagePath()},
        {"-1", "10", imagePath()},
    };
    for (const auto &args : lines) {
        EXPECT_EQ(255, run(args)) << args.size() << " arguments";
        EXPECT_EQ(kUsage, out);
    }
    EXPECT_FALSE(imageExists());
}

TEST_F(FlashDump, OpenFailuresEndWithStatusOne)
{
    EXPECT_EQ(1, run({"0", "10", imagePath()}));
    EXPECT_EQ("Error: cannot open  device.\n", out);

    makeFlash(0x1000, {{0, 0x1000}});
    EXPECT_EQ(1, run({"0", "10", root.path("/no/such/dir/image.bin")}));
    EXPECT_EQ("Error: cannot open qt image file.\n", out);
}

TEST_F(FlashDump, AFlashShorterThanTheRangeGivesOnlyTheBytesReadAndAFailure)
{
    makeFlash(0x9000, {{0, 0x9000}});
    EXPECT_EQ(4, run({"8000", "2000", imagePath()}));
    EXPECT_EQ("Error: flash device ended before the range.\n", out);
    EXPECT_TRUE(image() == patternRange(0x8000, 0x1000));
}

TEST_F(FlashDump, AnImageThatCannotTakeAllTheBytesIsAFailure)
{
    makeFlash(0x10000, {{0, 0x10000}});
    /* The file system takes one chunk and ten bytes of the second. */
    EXPECT_EQ(4, run({"0", "10000", imagePath()}, 0x800A));
    EXPECT_EQ("Error: cannot write qt image file.\n", out);
    EXPECT_TRUE(image() == patternRange(0, 0x800A));
}

} // namespace
