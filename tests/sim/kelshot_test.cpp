/*
 * kelshot: a frame written in the panel's pixel order (blue high, red low)
 * comes out of the screenshot with the colours it was meant to show.
 */
#include <gtest/gtest.h>

#include <png.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kelSandbox.h"

#define W 320
#define H 240

struct Picture {
    bool ok;
    int w, h;
    std::vector<uint8_t> rgb;
};

static Picture readPng(const std::string &path)
{
    Picture p = {false, 0, 0, {}};
    png_image img;
    memset(&img, 0, sizeof(img));
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) {
        return p;
    }
    img.format = PNG_FORMAT_RGB;
    p.rgb.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, p.rgb.data(), 0, nullptr)) {
        return p;
    }
    p.ok = true;
    p.w = (int)img.width;
    p.h = (int)img.height;
    return p;
}

static void putWord(std::string *frame, int x, int y, uint16_t word)
{
    size_t off = ((size_t)y * W + x) * 2;
    (*frame)[off] = (char)(word & 0xFF);
    (*frame)[off + 1] = (char)(word >> 8);
}

static std::string pixelAt(const Picture &p, int x, int y)
{
    const uint8_t *c = &p.rgb[((size_t)y * p.w + x) * 3];
    return std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]);
}

TEST(Screenshot, RedGreenAndBlueRegionsOfTheFrameKeepTheirColours)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    /* Black frame; red top-left, green in the middle, blue bottom-right. */
    std::string frame(W * H * 2, '\0');
    for (int y = 0; y < 20; y++) {
        for (int x = 0; x < 20; x++) {
            putWord(&frame, x, y, 0x001F);
            putWord(&frame, 150 + x, 110 + y, 0x07E0);
            putWord(&frame, 300 + x, 220 + y, 0xF800);
        }
    }
    putWord(&frame, 100, 0, 0xFFFF);
    ASSERT_TRUE(sb.write("/dev/fb0", frame));

    std::string png = sb.path("/tmp/shot.png");
    std::string cmd = std::string(KEL_TEST_BIN_DIR) + "/kelshot " + sb.dir() + " " + png;
    ASSERT_EQ(0, system(cmd.c_str()));
    Picture p = readPng(png);
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(W, p.w);
    ASSERT_EQ(H, p.h);
    EXPECT_EQ("255,0,0", pixelAt(p, 0, 0));
    EXPECT_EQ("255,0,0", pixelAt(p, 19, 19));
    EXPECT_EQ("0,255,0", pixelAt(p, 160, 120));
    EXPECT_EQ("0,0,255", pixelAt(p, 319, 239));
    EXPECT_EQ("255,255,255", pixelAt(p, 100, 0));
    EXPECT_EQ("0,0,0", pixelAt(p, 20, 0));
    EXPECT_EQ("0,0,0", pixelAt(p, 0, 239));
}

TEST(Screenshot, AFrameFileShorterThanTheScreenIsRefused)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    ASSERT_TRUE(sb.write("/dev/fb0", std::string(W * H * 2 - 1, '\0')));
    std::string png = sb.path("/tmp/shot.png");
    std::string cmd = std::string(KEL_TEST_BIN_DIR) + "/kelshot " + sb.path("/dev/fb0") + " " + png + " 2>/dev/null";
    EXPECT_NE(0, system(cmd.c_str()));
    EXPECT_FALSE(sb.exists("/tmp/shot.png"));

    /* A smaller geometry reads only what it needs. */
    cmd = std::string(KEL_TEST_BIN_DIR) + "/kelshot -g 16x8 " + sb.path("/dev/fb0") + " " + png;
    ASSERT_EQ(0, system(cmd.c_str()));
    Picture p = readPng(png);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(16, p.w);
    EXPECT_EQ(8, p.h);
}
