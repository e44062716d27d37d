/*
 * Pictograms: BMP decoding and refusal of malformed files, the 16-bit pixel
 * words, both layouts, and the hand-over through the shared frame buffer and
 * the frame-ready queue. Picture files are written by the tests into a
 * temporary root.
 */
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <string>
#include <vector>

#include "kelTestRoot.h"
#include "kelmsg.h"
#include "kelpicto.h"

namespace {

struct Rgb {
    UINT8 r, g, b;
};

typedef Rgb (*PixelFn)(int x, int y); /* y = 0 is the top row */

void put32(std::string &s, size_t at, UINT32 v)
{
    for (int i = 0; i < 4; i++) {
        s[at + i] = (char)((v >> (8 * i)) & 0xFF);
    }
}

/* A plain 24-bit BMP: 54 header bytes, bottom-up rows padded to 4 bytes.
 * `rows` may be negative to declare a top-down picture. */
std::string makeBmp(int width, int rows, PixelFn fn, int bitCount = 24)
{
    int height = rows < 0 ? -rows : rows;
    int stride = (width * 3 + 3) / 4 * 4;
    std::string s(54 + (size_t)stride * height, '\0');
    s[0] = 'B';
    s[1] = 'M';
    put32(s, 2, (UINT32)s.size());
    put32(s, 10, 54);
    put32(s, 14, 40);
    put32(s, 18, (UINT32)width);
    put32(s, 22, (UINT32)rows);
    s[26] = 1;
    put32(s, 28, (UINT32)bitCount);
    for (int fy = 0; fy < height; fy++) {
        int y = height - 1 - fy;
        for (int x = 0; x < width; x++) {
            Rgb c = fn(x, y);
            size_t at = 54 + (size_t)fy * stride + (size_t)x * 3;
            s[at] = (char)c.b;
            s[at + 1] = (char)c.g;
            s[at + 2] = (char)c.r;
        }
    }
    return s;
}

Rgb gradient(int x, int y)
{
    return Rgb{(UINT8)(x * 40 + 1), (UINT8)(y * 50 + 2), (UINT8)(x + y * 10 + 3)};
}

Rgb white(int, int) { return Rgb{255, 255, 255}; }
Rgb red(int, int) { return Rgb{255, 0, 0}; }
Rgb blue(int, int) { return Rgb{0, 0, 255}; }
Rgb green(int, int) { return Rgb{0, 255, 0}; }

/* Red top-left pixel, blue bottom-right pixel, green elsewhere. */
Rgb corners(int x, int y)
{
    if (x == 0 && y == 0) {
        return Rgb{255, 0, 0};
    }
    if (x == 319 && y == 239) {
        return Rgb{0, 0, 255};
    }
    return Rgb{0, 255, 0};
}

class PictoTest : public ::testing::Test {
protected:
    KelTestRoot root;

    void SetUp() override
    {
        std::string mk = "mkdir -p " + root.path("/usr/share/picto") + " " + root.path("/kel/picto");
        ASSERT_EQ(0, system(mk.c_str()));
    }

    std::string file(const std::string &board, const std::string &bytes)
    {
        root.write(board, bytes);
        return root.path(board);
    }

    /* The frame bytes of the shared segment (attached read-only). */
    std::vector<UINT8> frame()
    {
        key_t key = ftok(root.path("/home/root").c_str(), 'S');
        int id = shmget(key, 0, 0);
        if (id < 0) {
            return {};
        }
        void *addr = shmat(id, nullptr, SHM_RDONLY);
        if (addr == (void *)-1) {
            return {};
        }
        const kel_ShMem_FB_t *seg = (const kel_ShMem_FB_t *)addr;
        std::vector<UINT8> out(seg->fBuffer, seg->fBuffer + KEL_FB_FRAME_SIZE);
        shmdt(addr);
        return out;
    }

    UINT16 word(const std::vector<UINT8> &f, int x, int y)
    {
        size_t at = ((size_t)y * 320 + x) * 2;
        return (UINT16)(f[at] | (f[at + 1] << 8));
    }

    /* Frame-ready notices waiting on the F queue, taken off it. */
    std::vector<kel_MsgQue_FB_t> notices()
    {
        std::vector<kel_MsgQue_FB_t> out;
        key_t key = ftok(root.path("/home/root").c_str(), 'F');
        int id = msgget(key, 0);
        if (id < 0) {
            return out;
        }
        struct {
            long mtype;
            char text[64];
        } buf;
        ssize_t n;
        while ((n = msgrcv(id, &buf, sizeof(buf.text), 0, IPC_NOWAIT)) >= 0) {
            EXPECT_EQ(8, n);
            kel_MsgQue_FB_t m;
            m.msgType = (INT32)buf.mtype;
            memcpy(&m.appTaskID, buf.text, 8);
            out.push_back(m);
        }
        return out;
    }

    /* Fills the segment with a known frame, as an earlier screen. */
    void preload(UINT8 fill)
    {
        std::vector<UINT8> f(KEL_FB_FRAME_SIZE, fill);
        ASSERT_EQ(1, kelFBShareMemWrite(f.data(), (INT32)f.size(), KEL_TASK_CONTROL));
    }

    /* Type and index as raw words: a record from outside may hold any. */
    INT32 showFull(INT32 type, INT32 index)
    {
        kel_PictoInfo_t info = {};
        info.pictoMode = KEL_PICTO_MODE_FULL;
        memcpy(&info.pictoType, &type, sizeof(type));
        memcpy(&info.pictoIndex, &index, sizeof(index));
        return kelPictogramsDisplay(&info, 320, 240, 16);
    }

    static void setRaw(void *field, INT32 value) { memcpy(field, &value, sizeof(value)); }
};

} // namespace

TEST(PictoPixel, BlueLandsInTheHighBitsAndRedInTheLowBits)
{
    EXPECT_EQ(0x001F, kelPictoPixelWord(0, 0, 255));
    EXPECT_EQ(0xF800, kelPictoPixelWord(255, 0, 0));
    EXPECT_EQ(0x07E0, kelPictoPixelWord(0, 255, 0));
    EXPECT_EQ(0xFFFF, kelPictoPixelWord(255, 255, 255));
    EXPECT_EQ(0x0000, kelPictoPixelWord(7, 3, 7));
    EXPECT_EQ((0x10 << 11) | (0x20 << 5) | 0x01, kelPictoPixelWord(0x80, 0x80, 0x08));
}

TEST_F(PictoTest, ABottomUpPictureWithPaddedRowsLoadsTopDown)
{
    /* 3 pixels = 9 bytes per row, padded to 12. */
    std::string path = file("/usr/share/picto/a.bmp", makeBmp(3, 2, gradient));
    INT8 bits = 0;
    INT32 w = 0;
    INT32 h = 0;
    UINT8 *data = kelGetBmpData(&bits, &w, &h, path.c_str());
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(24, bits);
    EXPECT_EQ(3, w);
    EXPECT_EQ(2, h);
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 3; x++) {
            Rgb c = gradient(x, y);
            const UINT8 *px = data + (y * 3 + x) * 3;
            EXPECT_EQ(c.b, px[0]) << x << "," << y;
            EXPECT_EQ(c.g, px[1]) << x << "," << y;
            EXPECT_EQ(c.r, px[2]) << x << "," << y;
        }
    }
    kelFreeBmpData(data);

    /* A file that ends right after its last pixel (no final padding) still
     * holds every pixel. */
    std::string bytes = makeBmp(3, 2, gradient);
    bytes.resize(bytes.size() - 3);
    data = kelGetBmpData(nullptr, nullptr, nullptr, file("/usr/share/picto/b.bmp", bytes).c_str());
    EXPECT_NE(nullptr, data);
    kelFreeBmpData(data);
    kelFreeBmpData(nullptr);
}

TEST_F(PictoTest, MalformedOrUnsupportedBitmapsAreRefused)
{
    std::string good = makeBmp(4, 3, gradient);
    struct Case {
        const char *what;
        std::string bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"shorter than its headers", good.substr(0, 40)});
    cases.push_back({"empty", ""});
    cases.push_back({"last pixel missing", good.substr(0, good.size() - 1)});
    cases.push_back({"half the rows missing", good.substr(0, 54 + 12 * 2)});
    std::string off = good;
    put32(off, 10, (UINT32)good.size() + 10);
    cases.push_back({"pixel offset past the end", off});
    put32(off, 10, 0xFFFFFFF0u);
    cases.push_back({"pixel offset near 4 GiB", off});
    put32(off, 10, 60);
    cases.push_back({"pixels would run past the end", off});
    cases.push_back({"top-down (negative height)", makeBmp(4, -3, gradient)});
    std::string negW = good;
    put32(negW, 18, (UINT32)-4);
    cases.push_back({"negative width", negW});
    std::string zero = good;
    put32(zero, 18, 0);
    cases.push_back({"zero width", zero});
    cases.push_back({"wider than the screen", makeBmp(321, 1, white)});
    cases.push_back({"taller than the screen", makeBmp(1, 241, white)});
    cases.push_back({"16-bit", makeBmp(4, 3, gradient, 16)});
    cases.push_back({"32-bit", makeBmp(4, 3, gradient, 32)});
    std::string rle = good;
    rle[30] = 1;
    cases.push_back({"compressed", rle});

    for (const Case &c : cases) {
        std::string path = file("/usr/share/picto/bad.bmp", c.bytes);
        EXPECT_EQ(nullptr, kelGetBmpData(nullptr, nullptr, nullptr, path.c_str())) << c.what;
    }
    EXPECT_EQ(nullptr, kelGetBmpData(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(nullptr, kelGetBmpData(nullptr, nullptr, nullptr, root.path("/nope.bmp").c_str()));

    /* The header's values are reported even for a refused picture. */
    INT8 bits = 0;
    INT32 w = 0;
    INT32 h = 0;
    std::string path = file("/usr/share/picto/big.bmp", makeBmp(321, 1, white));
    EXPECT_EQ(nullptr, kelGetBmpData(&bits, &w, &h, path.c_str()));
    EXPECT_EQ(321, w);
    EXPECT_EQ(1, h);
    EXPECT_EQ(24, bits);
}

TEST_F(PictoTest, AFullPictureFillsTheSharedFrameAndIsAnnounced)
{
    file("/usr/share/picto/picto_full_err_1.bmp", makeBmp(320, 240, corners));
    ASSERT_EQ(1, showFull(KEL_PICTO_TYPE_ERROR, KEL_PICTO_INDEX_1));

    std::vector<UINT8> f = frame();
    ASSERT_EQ((size_t)KEL_FB_FRAME_SIZE, f.size());
    EXPECT_EQ(0x001F, word(f, 0, 0));
    EXPECT_EQ(0xF800, word(f, 319, 239));
    EXPECT_EQ(0x07E0, word(f, 1, 0));
    EXPECT_EQ(0x07E0, word(f, 319, 0));
    EXPECT_EQ(0x07E0, word(f, 0, 239));

    std::vector<kel_MsgQue_FB_t> n = notices();
    ASSERT_EQ(1u, n.size());
    EXPECT_EQ(1, n[0].msgType);
    EXPECT_EQ(KEL_TASK_CONTROL, n[0].appTaskID);
    EXPECT_EQ(KEL_TRUE, n[0].bScrFinished);
}

TEST_F(PictoTest, AFullPictureMissingFromTheSystemDirectoryIsTakenFromTheUserDirectory)
{
    file("/kel/picto/picto_full_ind_0.bmp", makeBmp(320, 240, blue));
    ASSERT_EQ(1, showFull(KEL_PICTO_TYPE_INDUSTRY, KEL_PICTO_INDEX_0));
    EXPECT_EQ(0xF800, word(frame(), 160, 120));

    /* The system directory wins when both hold the picture. */
    file("/usr/share/picto/picto_full_ind_0.bmp", makeBmp(320, 240, red));
    ASSERT_EQ(1, showFull(KEL_PICTO_TYPE_INDUSTRY, KEL_PICTO_INDEX_0));
    EXPECT_EQ(0x001F, word(frame(), 160, 120));
}

TEST_F(PictoTest, ARefusedPictureLeavesTheScreenAsItWasAndSendsNothing)
{
    preload(0x5A);
    notices();

    std::string truncated = makeBmp(320, 240, red);
    truncated.resize(truncated.size() - 100);
    file("/usr/share/picto/picto_full_err_0.bmp", truncated);
    EXPECT_EQ(-1, showFull(KEL_PICTO_TYPE_ERROR, KEL_PICTO_INDEX_0));

    std::string farOffset = makeBmp(320, 240, red);
    put32(farOffset, 10, 0x7FFFFFFF);
    file("/usr/share/picto/picto_full_err_0.bmp", farOffset);
    EXPECT_EQ(-1, showFull(KEL_PICTO_TYPE_ERROR, KEL_PICTO_INDEX_0));

    file("/usr/share/picto/picto_full_upg_0.bmp", makeBmp(319, 240, red));
    EXPECT_EQ(-1, showFull(KEL_PICTO_TYPE_UPGRADE, KEL_PICTO_INDEX_0));

    EXPECT_EQ(-1, showFull(KEL_PICTO_TYPE_PROGRESS, KEL_PICTO_INDEX_5));
    /* Out-of-table selections and screens are refused, not looked up. */
    EXPECT_EQ(-1, showFull(9, KEL_PICTO_INDEX_0));
    EXPECT_EQ(-1, showFull(KEL_PICTO_TYPE_ERROR, -1));
    kel_PictoInfo_t info = {};
    file("/usr/share/picto/picto_full_err_2.bmp", makeBmp(320, 240, red));
    info.pictoIndex = KEL_PICTO_INDEX_2;
    EXPECT_EQ(-1, kelFullPictoDisplay(&info, 320, 240, 8));
    EXPECT_EQ(-1, kelFullPictoDisplay(&info, 640, 480, 16));
    EXPECT_EQ(-1, kelSeperatePictoDisplay(&info, 320, 240, 16));
    setRaw(&info.pictoMode, 5);
    EXPECT_EQ(0, kelPictogramsDisplay(&info, 320, 240, 16));
    EXPECT_EQ(0, kelPictogramsDisplay(nullptr, 320, 240, 16));

    std::vector<UINT8> f = frame();
    ASSERT_EQ((size_t)KEL_FB_FRAME_SIZE, f.size());
    EXPECT_EQ(std::vector<UINT8>(KEL_FB_FRAME_SIZE, 0x5A), f);
    EXPECT_TRUE(notices().empty());
}

TEST_F(PictoTest, TheSeparateLayoutStandsTheMainPictureOnTheLanguageStrip)
{
    file("/usr/share/picto/picto_sep_upg.bmp", makeBmp(320, 200, blue));
    file("/usr/share/picto/picto_sep_upg_en.bmp", makeBmp(300, 40, red));
    kel_PictoInfo_t info = {};
    info.pictoMode = KEL_PICTO_MODE_SEPERATE;
    info.pictoType = KEL_PICTO_TYPE_UPGRADE;
    info.pictoLang = KEL_LANG_FRENCH; /* no French strip: English is used */
    ASSERT_EQ(1, kelPictogramsDisplay(&info, 320, 240, 16));
    std::vector<UINT8> f = frame();
    EXPECT_EQ(0xF800, word(f, 0, 0));
    EXPECT_EQ(0xF800, word(f, 319, 199));
    EXPECT_EQ(0x001F, word(f, 0, 200));
    EXPECT_EQ(0x001F, word(f, 299, 239));
    EXPECT_EQ(0xFFFF, word(f, 300, 239)); /* right of the narrower strip */

    file("/usr/share/picto/picto_sep_upg_fr.bmp", makeBmp(320, 40, green));
    ASSERT_EQ(1, kelPictogramsDisplay(&info, 320, 240, 16));
    EXPECT_EQ(0x07E0, word(frame(), 310, 239));

    /* A main picture shorter than the space above the strip leaves white
     * rows on top; a taller one loses its top rows. */
    file("/usr/share/picto/picto_sep_upg.bmp", makeBmp(320, 50, blue));
    ASSERT_EQ(1, kelPictogramsDisplay(&info, 320, 240, 16));
    f = frame();
    EXPECT_EQ(0xFFFF, word(f, 5, 149));
    EXPECT_EQ(0xF800, word(f, 5, 150));
    file("/usr/share/picto/picto_sep_upg.bmp", makeBmp(320, 240, corners));
    ASSERT_EQ(1, kelPictogramsDisplay(&info, 320, 240, 16));
    f = frame();
    EXPECT_EQ(0x07E0, word(f, 0, 0)); /* corners' red top-left is cut off */
    EXPECT_EQ(0xF800, word(f, 319, 199));
    EXPECT_EQ(4u, notices().size());

    /* Without any strip, or without the main picture, nothing is drawn. */
    info.pictoType = KEL_PICTO_TYPE_PROGRESS;
    file("/usr/share/picto/picto_sep_prog.bmp", makeBmp(320, 200, blue));
    EXPECT_EQ(-1, kelPictogramsDisplay(&info, 320, 240, 16));
    info.pictoType = KEL_PICTO_TYPE_ERROR;
    file("/usr/share/picto/picto_sep_err_fr.bmp", makeBmp(320, 40, green));
    EXPECT_EQ(-1, kelPictogramsDisplay(&info, 320, 240, 16));
    file("/usr/share/picto/picto_sep_err.bmp", makeBmp(320, 200, blue));
    file("/kel/picto/picto_sep_ind_en.bmp", makeBmp(320, 40, green));
    file("/kel/picto/picto_sep_ind.bmp", makeBmp(320, 200, blue));
    info.pictoType = KEL_PICTO_TYPE_INDUSTRY;
    EXPECT_EQ(-1, kelPictogramsDisplay(&info, 320, 240, 16));
    setRaw(&info.pictoLang, 8);
    info.pictoType = KEL_PICTO_TYPE_ERROR;
    EXPECT_EQ(-1, kelPictogramsDisplay(&info, 320, 240, 16));
    EXPECT_TRUE(notices().empty());
}
