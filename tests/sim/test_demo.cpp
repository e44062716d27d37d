/*
 * The virtual unit demo (scripts/demo) in its short form, on the programs
 * of this build: the unit comes up through the startup client, every step
 * of the meter's session happens, the screenshots show the meter's screen
 * and, only while the link is down, the error pictogram; the factory act
 * shows the factory pictogram and the white and black test screens; and
 * the run leaves no process and no System V object of its sandbox behind.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <png.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#define SHOT_W 320
#define SHOT_H 240
#define DEMO_ADDR "127.0.0.250"
#define CHANNEL_TOLERANCE 8

struct Picture {
    bool ok = false;
    std::vector<uint8_t> rgb;   /* SHOT_W x SHOT_H, rows top-down */
};

static Picture readPng(const std::string &path)
{
    Picture p;
    png_image img;
    memset(&img, 0, sizeof(img));
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) {
        return p;
    }
    img.format = PNG_FORMAT_RGB;
    if (img.width != SHOT_W || img.height != SHOT_H) {
        png_image_free(&img);
        return p;
    }
    p.rgb.resize(PNG_IMAGE_SIZE(img));
    p.ok = png_image_finish_read(&img, nullptr, p.rgb.data(), 0, nullptr) != 0;
    return p;
}

/* A full-screen 24-bit pictogram as the build drew it (bottom-up rows,
 * blue, green, red on disk). */
static Picture readBmp(const std::string &path)
{
    Picture p;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return p;
    }
    uint8_t hdr[54];
    if (fread(hdr, 1, sizeof(hdr), f) != sizeof(hdr) || hdr[0] != 'B' || hdr[1] != 'M') {
        fclose(f);
        return p;
    }
    auto le32 = [&hdr](int off) {
        return (uint32_t)hdr[off] | ((uint32_t)hdr[off + 1] << 8) |
               ((uint32_t)hdr[off + 2] << 16) | ((uint32_t)hdr[off + 3] << 24);
    };
    if (le32(18) != SHOT_W || le32(22) != SHOT_H || hdr[28] != 24 ||
        fseek(f, (long)le32(10), SEEK_SET) != 0) {
        fclose(f);
        return p;
    }
    p.rgb.assign((size_t)SHOT_W * SHOT_H * 3, 0);
    std::vector<uint8_t> row(SHOT_W * 3);   /* 960 bytes: no padding */
    for (int fy = 0; fy < SHOT_H; fy++) {
        if (fread(row.data(), 1, row.size(), f) != row.size()) {
            fclose(f);
            return p;
        }
        uint8_t *dst = &p.rgb[(size_t)(SHOT_H - 1 - fy) * SHOT_W * 3];
        for (int x = 0; x < SHOT_W; x++) {
            dst[x * 3] = row[x * 3 + 2];
            dst[x * 3 + 1] = row[x * 3 + 1];
            dst[x * 3 + 2] = row[x * 3];
        }
    }
    fclose(f);
    p.ok = true;
    return p;
}

/* Share of pixels (0..1) whose channels agree within the 16-bit panel's
 * rounding. */
static double sameShare(const Picture &a, const Picture &b)
{
    if (!a.ok || !b.ok || a.rgb.size() != b.rgb.size()) {
        return 0.0;
    }
    size_t same = 0;
    for (size_t i = 0; i < a.rgb.size(); i += 3) {
        bool close = true;
        for (int c = 0; c < 3; c++) {
            close = close && abs((int)a.rgb[i + c] - (int)b.rgb[i + c]) <= CHANNEL_TOLERANCE;
        }
        same += close;
    }
    return (double)same / (double)(a.rgb.size() / 3);
}

class VirtualUnitDemo : public ::testing::Test {
protected:
    static std::string outDir;
    static std::string output;
    static int status;

    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/keldemo.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        outDir = tmpl;
        std::string cmd = std::string(KEL_TEST_SOURCE_DIR) + "/scripts/demo --short --bin " +
                          KEL_TEST_BIN_DIR + " --out " + outDir + " --addr " DEMO_ADDR " 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
            output.append(buf, n);
        }
        int rc = pclose(p);
        status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    static void TearDownTestSuite()
    {
        if (outDir.rfind("/tmp/keldemo.", 0) == 0) {
            std::string rm = "rm -rf " + outDir;
            if (system(rm.c_str()) != 0) {
                /* Only a leftover folder. */
            }
        }
    }

    /* The summary line of a step, "" when missing. */
    static std::string summaryLine(const std::string &step)
    {
        size_t at = output.find("== demo summary ==");
        if (at != std::string::npos) {
            at = output.find("\n" + step + " ", at);
        }
        if (at == std::string::npos) {
            return "";
        }
        size_t end = output.find('\n', at + 1);
        size_t len = end == std::string::npos ? std::string::npos : end - at - 1;
        return output.substr(at + 1, len);
    }

    /* The screenshot whose name ends in <suffix>.png, "" when none. */
    static std::string shot(const std::string &suffix)
    {
        std::string found;
        DIR *d = opendir(outDir.c_str());
        if (d == nullptr) {
            return found;
        }
        std::string want = suffix + ".png";
        for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > want.size() &&
                name.compare(name.size() - want.size(), want.size(), want) == 0) {
                found = outDir + "/" + name;
            }
        }
        closedir(d);
        return found;
    }
};

std::string VirtualUnitDemo::outDir;
std::string VirtualUnitDemo::output;
int VirtualUnitDemo::status = -1;

TEST_F(VirtualUnitDemo, EveryStepOfTheShortSessionHappens)
{
    EXPECT_EQ(status, 0) << output;
    for (const char *step : {"start-up", "meter screen", "gauge", "brightness", "LED patterns",
                             "keys", "temperature", "error report", "link drop", "recovery"}) {
        std::string line = summaryLine(step);
        ASSERT_FALSE(line.empty()) << "no summary line for " << step << "\n" << output;
        EXPECT_NE(line.find(" ok "), std::string::npos) << line;
    }
    EXPECT_NE(summaryLine("keys").find("7/7"), std::string::npos);
    EXPECT_NE(summaryLine("keys").find("COMB"), std::string::npos);
    EXPECT_NE(summaryLine("temperature").find("41.5"), std::string::npos);
}

TEST_F(VirtualUnitDemo, TheErrorPictogramIsShownOnlyWhileTheLinkIsDown)
{
    Picture err0 = readBmp(std::string(KEL_TEST_PICTO_DIR) + "/picto_full_err_0.bmp");
    Picture err1 = readBmp(std::string(KEL_TEST_PICTO_DIR) + "/picto_full_err_1.bmp");
    ASSERT_TRUE(err0.ok && err1.ok);

    Picture meter = readPng(shot("meter-screen"));
    Picture down = readPng(shot("link-down"));
    Picture back = readPng(shot("recovered"));
    Picture lastKey = readPng(shot("key-comb"));
    ASSERT_TRUE(meter.ok && down.ok && back.ok && lastKey.ok) << output;

    double downShare = std::max(sameShare(down, err0), sameShare(down, err1));
    EXPECT_GT(downShare, 0.99);
    for (const Picture *p : {&meter, &back}) {
        EXPECT_LT(sameShare(*p, err0), 0.5);
        EXPECT_LT(sameShare(*p, err1), 0.5);
    }
    /* After the recovery the meter shows the screen it showed before the
     * drop, all of it sent again to the new connection. */
    EXPECT_EQ(sameShare(back, lastKey), 1.0);
    EXPECT_LT(sameShare(meter, lastKey), 1.0);
}

TEST_F(VirtualUnitDemo, TheFactoryActTestsTheUnitAndLeavesItInNormalMode)
{
    EXPECT_NE(output.find("factory act: 10 of 10 steps ok"), std::string::npos) << output;
    Picture picto = readBmp(std::string(KEL_TEST_PICTO_DIR) + "/picto_full_ind_0.bmp");
    Picture shown = readPng(shot("-01-pictogram"));
    Picture white = readPng(shot("lcd-white"));
    Picture black = readPng(shot("lcd-black"));
    ASSERT_TRUE(picto.ok && shown.ok && white.ok && black.ok) << output;
    EXPECT_GT(sameShare(shown, picto), 0.99);
    EXPECT_EQ(std::count(white.rgb.begin(), white.rgb.end(), 0xFF), (long)white.rgb.size());
    EXPECT_EQ(std::count(black.rgb.begin(), black.rgb.end(), 0x00), (long)black.rgb.size());
}

TEST_F(VirtualUnitDemo, NothingOfTheSandboxIsLeftBehind)
{
    EXPECT_NE(output.find("keyed on the sandbox: 0 before, 0 after"), std::string::npos) << output;
    EXPECT_NE(output.find("stopped: kelstpclient, kelappclient, kelcontrol\n"), std::string::npos)
        << output;
    DIR *d = opendir((outDir + "/sandbox").c_str());
    EXPECT_EQ(d, nullptr) << "the sandbox was not removed";
    if (d != nullptr) {
        closedir(d);
    }
}
