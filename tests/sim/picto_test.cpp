/*
 * The pictograms drawn at build time, as a sandbox holds them: every file
 * the daemon may ask for is an uncompressed 24-bit BMP of the size its
 * layout needs, and pictures that alternate on screen differ.
 */
#include <gtest/gtest.h>

#include <stdint.h>

#include <set>
#include <string>

#include "kelSandbox.h"

struct BmpInfo {
    bool ok;
    int32_t width;
    int32_t height;
    std::string why;
};

static uint32_t le32(const std::string &b, size_t off)
{
    return (uint32_t)(uint8_t)b[off] | (uint32_t)(uint8_t)b[off + 1] << 8 | (uint32_t)(uint8_t)b[off + 2] << 16 |
           (uint32_t)(uint8_t)b[off + 3] << 24;
}

/* Checks the header fields the pictogram loader relies on. */
static BmpInfo parseBmp(const std::string &b)
{
    BmpInfo info = {false, 0, 0, ""};
    if (b.size() < 56 || b[0] != 'B' || b[1] != 'M') {
        info.why = "not a BMP";
        return info;
    }
    info.width = (int32_t)le32(b, 18);
    info.height = (int32_t)le32(b, 22);
    uint32_t offBits = le32(b, 10);
    uint32_t rowSize = ((uint32_t)info.width * 3 + 3) & ~3u;
    if (le32(b, 28) != 24) {
        info.why = "bit count and compression word is not 24";
    } else if (le32(b, 30) != 0) {
        info.why = "compressed";
    } else if (info.width <= 0 || info.height <= 0) {
        info.why = "not a bottom-up picture";
    } else if (offBits < 54 || b.size() != offBits + (size_t)rowSize * info.height) {
        info.why = "pixel data does not fill the file";
    } else if (le32(b, 2) != b.size()) {
        info.why = "file size field is wrong";
    } else {
        info.ok = true;
    }
    return info;
}

/* Number of distinct colours, a cheap sign that something is drawn. */
static size_t colourCount(const std::string &b)
{
    std::set<uint32_t> colours;
    for (size_t i = le32(b, 10); i + 2 < b.size() && colours.size() < 16; i += 3) {
        colours.insert((uint32_t)(uint8_t)b[i] | (uint32_t)(uint8_t)b[i + 1] << 8 | (uint32_t)(uint8_t)b[i + 2] << 16);
    }
    return colours.size();
}

TEST(Pictograms, EveryPictureTheDaemonShowsIsA24BitBmpOfItsLayoutSize)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    struct Want {
        const char *name;
        int w, h;
    };
    const Want wants[] = {
        {"picto_full_err_0.bmp", 320, 240}, {"picto_full_err_1.bmp", 320, 240},
        {"picto_full_upg_0.bmp", 320, 240}, {"picto_full_prog_0.bmp", 320, 240},
        {"picto_full_prog_1.bmp", 320, 240}, {"picto_full_ind_0.bmp", 320, 240},
        {"picto_sep_err.bmp", 320, 200},    {"picto_sep_upg.bmp", 320, 200},
        {"picto_sep_prog.bmp", 320, 200},   {"picto_sep_ind.bmp", 320, 200},
        {"picto_sep_err_en.bmp", 320, 40},  {"picto_sep_err_fr.bmp", 320, 40},
        {"picto_sep_upg_en.bmp", 320, 40},  {"picto_sep_upg_fr.bmp", 320, 40},
        {"picto_sep_prog_en.bmp", 320, 40}, {"picto_sep_prog_fr.bmp", 320, 40},
        {"picto_sep_ind_en.bmp", 320, 40},  {"picto_sep_ind_fr.bmp", 320, 40},
    };
    for (const Want &w : wants) {
        std::string bytes = sb.read(std::string("/usr/share/picto/") + w.name);
        BmpInfo info = parseBmp(bytes);
        EXPECT_TRUE(info.ok) << w.name << ": " << info.why;
        EXPECT_EQ(w.w, info.width) << w.name;
        EXPECT_EQ(w.h, info.height) << w.name;
        EXPECT_GE(colourCount(bytes), 2u) << w.name << " is blank";
    }
    /* A main picture and its strip fill the screen together. */
    EXPECT_EQ(240, parseBmp(sb.read("/usr/share/picto/picto_sep_upg.bmp")).height +
                       parseBmp(sb.read("/usr/share/picto/picto_sep_upg_en.bmp")).height);
}

TEST(Pictograms, AlternatingPicturesAndLanguageStripsDiffer)
{
    KelSandbox sb(KEL_TEST_BIN_DIR);
    ASSERT_TRUE(sb.ok());
    EXPECT_NE(sb.read("/usr/share/picto/picto_full_err_0.bmp"), sb.read("/usr/share/picto/picto_full_err_1.bmp"));
    EXPECT_NE(sb.read("/usr/share/picto/picto_full_prog_0.bmp"), sb.read("/usr/share/picto/picto_full_prog_1.bmp"));
    EXPECT_NE(sb.read("/usr/share/picto/picto_sep_err_en.bmp"), sb.read("/usr/share/picto/picto_sep_err_fr.bmp"));
    EXPECT_NE(sb.read("/usr/share/picto/picto_full_upg_0.bmp"), sb.read("/usr/share/picto/picto_full_ind_0.bmp"));
}
