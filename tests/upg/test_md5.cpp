/*
 * The MD5 module against the RFC 1321 test suite and against md5sum on
 * files whose sizes sit on the 1024-byte reading pieces.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "md5.h"

namespace {

std::string textOf(const std::string &input)
{
    char code[MD5_TEXT_LEN];
    EXPECT_TRUE(MD5_String((const UINT8 *)input.data(), (INT32)input.size(), code));
    return std::string(code, MD5_TEXT_LEN);
}

TEST(Md5, TheSevenDigestsOfTheRfcSuiteInLowercaseText)
{
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", textOf(""));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", textOf("a"));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", textOf("abc"));
    EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", textOf("message digest"));
    EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", textOf("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
              textOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
    EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
              textOf("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"));
}

TEST(Md5, InputFedInUnevenPiecesGivesTheDigestOfTheWhole)
{
    std::string input(1000, '\0');
    for (size_t i = 0; i < input.size(); i++) {
        input[i] = (char)(i * 7 + 3);
    }
    MD5Context ctx;
    MD5_Init(&ctx);
    size_t at = 0;
    for (INT32 step : {0, 1, 55, 56, 63, 64, 65, 127, 0}) {
        MD5_Update(&ctx, (const UINT8 *)input.data() + at, step);
        at += (size_t)step;
    }
    MD5_Update(&ctx, (const UINT8 *)input.data() + at, (INT32)(input.size() - at));
    UINT8 digest[MD5_DIGEST_LEN];
    MD5_Final(&ctx, digest);
    char code[MD5_TEXT_LEN];
    ASSERT_TRUE(MD5_String((const UINT8 *)input.data(), (INT32)input.size(), code));
    char mine[MD5_TEXT_LEN + 1];
    for (int i = 0; i < MD5_DIGEST_LEN; i++) {
        snprintf(mine + 2 * i, 3, "%02x", digest[i]);
    }
    EXPECT_EQ(std::string(code, MD5_TEXT_LEN), std::string(mine, MD5_TEXT_LEN));
    /* The context is cleared once the digest is out. */
    MD5Context zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, memcmp(&zero, &ctx, sizeof(ctx)));
}

class Md5Files : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelmd5.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override { (void)system(("rm -rf '" + dir + "'").c_str()); }

    std::string makeFile(size_t size)
    {
        std::string path = dir + "/f" + std::to_string(size);
        FILE *fp = fopen(path.c_str(), "wb");
        EXPECT_NE(nullptr, fp);
        UINT32 x = 2463534242u + (UINT32)size;
        for (size_t i = 0; i < size; i++) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            fputc((int)(x & 0xff), fp);
        }
        fclose(fp);
        return path;
    }

    static std::string md5sumOf(const std::string &path)
    {
        std::string cmd = "md5sum '" + path + "'";
        FILE *p = popen(cmd.c_str(), "r");
        char line[128] = {0};
        if (p == nullptr || fgets(line, sizeof(line), p) == nullptr) {
            if (p) {
                pclose(p);
            }
            return "";
        }
        pclose(p);
        return std::string(line, MD5_TEXT_LEN);
    }
};

TEST_F(Md5Files, FilesAroundThePieceSizeAndTenMebibytesMatchMd5sum)
{
    for (size_t size : {(size_t)0, (size_t)1023, (size_t)1024, (size_t)1025, (size_t)10 << 20}) {
        std::string path = makeFile(size);
        std::string want = md5sumOf(path);
        ASSERT_EQ((size_t)MD5_TEXT_LEN, want.size()) << "md5sum failed on " << path;
        char code[MD5_TEXT_LEN];
        ASSERT_TRUE(MD5_File(path.c_str(), code));
        EXPECT_EQ(want, std::string(code, MD5_TEXT_LEN)) << size << " bytes";
        std::string appended = "kept:";
        ASSERT_TRUE(MD5_File(path.c_str(), appended));
        EXPECT_EQ("kept:" + want, appended) << size << " bytes";
    }
}

TEST_F(Md5Files, AMissingFileIsNamedAndLeavesTheOutputAlone)
{
    std::string path = dir + "/missing";
    char code[MD5_TEXT_LEN];
    memset(code, 'x', sizeof(code));
    std::string text = "before";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(MD5_File(path.c_str(), code));
    EXPECT_FALSE(MD5_File(path.c_str(), text));
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(path + " can't be opened " + path + " can't be opened ", out);
    EXPECT_EQ(std::string(MD5_TEXT_LEN, 'x'), std::string(code, MD5_TEXT_LEN));
    EXPECT_EQ("before", text);
}

} // namespace
