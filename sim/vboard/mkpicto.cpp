/*
 * mkpicto.cpp - build-time generator of the pictogram bitmaps the control
 * daemon shows when the meter does not own the screen. Run by the
 * kelvboard_assets target; kelvboard copies the result into a sandbox.
 *
 *   mkpicto <output directory>
 *
 * Writes uncompressed 24-bit bottom-up BMP files:
 *   picto_full_<type>_<index>.bmp   320 x 240, the full-screen layout
 *   picto_sep_<type>.bmp            320 x 200, main picture of the separate layout
 *   picto_sep_<type>_<lang>.bmp     320 x 40,  language strip ("en" and "fr")
 * The drawings are plain: a coloured field, large block letters and a
 * symbol (arrow, progress bar), enough to tell the indications apart on a
 * screenshot.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "blockFont.h"

#define PICTO_SCREEN_W 320
#define PICTO_SCREEN_H 240
#define PICTO_STRIP_H 40
#define PICTO_MAIN_H (PICTO_SCREEN_H - PICTO_STRIP_H)

#define BMP_FILE_HEADER_SIZE 14
#define BMP_INFO_HEADER_SIZE 40
#define BMP_PIXELS_PER_METER 2835

#define FONT_W BLOCK_FONT_W
#define FONT_H BLOCK_FONT_H

struct Rgb {
    uint8_t r, g, b;
};

static const Rgb kWhite = {255, 255, 255};
static const Rgb kBlack = {0, 0, 0};
static const Rgb kRed = {200, 0, 0};
static const Rgb kBlue = {0, 60, 200};
static const Rgb kGreen = {0, 130, 40};
static const Rgb kAmber = {250, 190, 0};

/* A picture being drawn: rows top-down, 3 bytes per pixel (r, g, b). */
struct Canvas {
    int w;
    int h;
    std::vector<uint8_t> px;
};

/* 5 x 7 block font: one byte per row, bit 4 is the leftmost column. */
static void canvasInit(Canvas *cv, int w, int h, Rgb bg)
{
    cv->w = w;
    cv->h = h;
    cv->px.resize((size_t)w * h * 3);
    for (size_t i = 0; i < cv->px.size(); i += 3) {
        cv->px[i] = bg.r;
        cv->px[i + 1] = bg.g;
        cv->px[i + 2] = bg.b;
    }
}

static void fillRect(Canvas *cv, int x, int y, int w, int h, Rgb c)
{
    for (int row = y; row < y + h; row++) {
        for (int col = x; col < x + w; col++) {
            if (row < 0 || row >= cv->h || col < 0 || col >= cv->w) {
                continue;
            }
            uint8_t *p = &cv->px[((size_t)row * cv->w + col) * 3];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
}

static void frameRect(Canvas *cv, int x, int y, int w, int h, int t, Rgb c)
{
    fillRect(cv, x, y, w, t, c);
    fillRect(cv, x, y + h - t, w, t, c);
    fillRect(cv, x, y, t, h, c);
    fillRect(cv, x + w - t, y, t, h, c);
}

/* Width in pixels of `text` at `scale` (one blank column between letters). */
static int textWidth(const char *text, int scale)
{
    int n = (int)strlen(text);
    return n > 0 ? (n * (FONT_W + 1) - 1) * scale : 0;
}

static void drawText(Canvas *cv, int x, int y, const char *text, int scale, Rgb c)
{
    for (const char *s = text; *s != '\0'; s++) {
        const uint8_t *rows = blockFontRows(*s);
        for (int r = 0; rows != NULL && r < FONT_H; r++) {
            for (int col = 0; col < FONT_W; col++) {
                if (rows[r] & (0x10 >> col)) {
                    fillRect(cv, x + col * scale, y + r * scale, scale, scale, c);
                }
            }
        }
        x += (FONT_W + 1) * scale;
    }
}

/* Text centred horizontally with its top at `y`. */
static void drawTextCentred(Canvas *cv, int y, const char *text, int scale, Rgb c)
{
    drawText(cv, (cv->w - textWidth(text, scale)) / 2, y, text, scale, c);
}

/* Downward arrow: a shaft and a triangular head, centred at `cx`. */
static void drawArrowDown(Canvas *cv, int cx, int top, int height, Rgb c)
{
    int head = height / 2;
    fillRect(cv, cx - 10, top, 20, height - head, c);
    for (int i = 0; i < head; i++) {
        int half = head - i;
        fillRect(cv, cx - half, top + height - head + i, 2 * half, 1, c);
    }
}

/* Progress bar with an outline, filled `filled` of `steps`. */
static void drawBar(Canvas *cv, int y, int filled, int steps, Rgb c)
{
    int x = 30, w = cv->w - 60, h = 36;
    frameRect(cv, x, y, w, h, 4, c);
    int inner = w - 16;
    fillRect(cv, x + 8, y + 8, inner * filled / steps, h - 16, c);
}

/* Writes `cv` as an uncompressed 24-bit bottom-up BMP. 1, or -1. */
static int writeBmp(const Canvas &cv, const std::string &path)
{
    uint32_t rowSize = ((uint32_t)cv.w * 3 + 3) & ~3u;
    uint32_t imageSize = rowSize * (uint32_t)cv.h;
    uint32_t offBits = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE;
    uint8_t hdr[BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE];
    memset(hdr, 0, sizeof(hdr));
    auto put16 = [&hdr](int off, uint32_t v) {
        hdr[off] = (uint8_t)v;
        hdr[off + 1] = (uint8_t)(v >> 8);
    };
    auto put32 = [&hdr](int off, uint32_t v) {
        for (int i = 0; i < 4; i++) {
            hdr[off + i] = (uint8_t)(v >> (8 * i));
        }
    };
    hdr[0] = 'B';
    hdr[1] = 'M';
    put32(2, offBits + imageSize);
    put32(10, offBits);
    put32(14, BMP_INFO_HEADER_SIZE);
    put32(18, (uint32_t)cv.w);
    put32(22, (uint32_t)cv.h);
    put16(26, 1);  /* planes */
    put16(28, 24); /* bits per pixel */
    put32(30, 0);  /* no compression */
    put32(34, imageSize);
    put32(38, BMP_PIXELS_PER_METER);
    put32(42, BMP_PIXELS_PER_METER);

    FILE *f = fopen(path.c_str(), "wb");
    if (f == NULL) {
        fprintf(stderr, "mkpicto: cannot write %s\n", path.c_str());
        return -1;
    }
    int ok = fwrite(hdr, 1, sizeof(hdr), f) == sizeof(hdr);
    std::vector<uint8_t> row(rowSize, 0);
    for (int y = cv.h - 1; ok && y >= 0; y--) {
        for (int x = 0; x < cv.w; x++) {
            const uint8_t *p = &cv.px[((size_t)y * cv.w + x) * 3];
            row[x * 3] = p[2]; /* blue, green, red on disk */
            row[x * 3 + 1] = p[1];
            row[x * 3 + 2] = p[0];
        }
        ok = fwrite(row.data(), 1, rowSize, f) == rowSize;
    }
    if (fclose(f) != 0 || !ok) {
        fprintf(stderr, "mkpicto: short write on %s\n", path.c_str());
        return -1;
    }
    return 1;
}

/* The error picture blinks: index 0 white on red, index 1 red on white. */
static void drawError(Canvas *cv, int index)
{
    Rgb bg = index == 0 ? kRed : kWhite;
    Rgb fg = index == 0 ? kWhite : kRed;
    canvasInit(cv, cv->w, cv->h, bg);
    frameRect(cv, 8, 8, cv->w - 16, cv->h - 16, 6, fg);
    drawTextCentred(cv, (cv->h - FONT_H * 12) / 2 - 10, "ERR!", 12, fg);
}

static void drawUpgrade(Canvas *cv)
{
    canvasInit(cv, cv->w, cv->h, kBlue);
    drawTextCentred(cv, 20, "UPG", 10, kWhite);
    drawArrowDown(cv, cv->w / 2, 20 + FONT_H * 10 + 12, cv->h - FONT_H * 10 - 50, kWhite);
}

/* Progress alternates between a third and two thirds of the bar. */
static void drawProgress(Canvas *cv, int index)
{
    canvasInit(cv, cv->w, cv->h, kGreen);
    drawTextCentred(cv, 20, "UPG", 10, kWhite);
    drawBar(cv, cv->h - 70, index + 1, 3, kWhite);
}

/* The caption stays off the separate layout, whose strip carries words. */
static void drawFactory(Canvas *cv, int withCaption)
{
    canvasInit(cv, cv->w, cv->h, kAmber);
    frameRect(cv, 8, 8, cv->w - 16, cv->h - 16, 6, kBlack);
    drawTextCentred(cv, 30, "TEST", 12, kBlack);
    if (withCaption) {
        drawTextCentred(cv, cv->h - 60, "FACTORY", 4, kBlack);
    }
}

/* Language strip: black words on white, as large as fit. */
static void drawStrip(Canvas *cv, const char *words)
{
    canvasInit(cv, PICTO_SCREEN_W, PICTO_STRIP_H, kWhite);
    int scale = 4;
    while (scale > 1 && textWidth(words, scale) > cv->w - 8) {
        scale--;
    }
    fillRect(cv, 0, 0, cv->w, 2, kBlack);
    drawTextCentred(cv, (PICTO_STRIP_H - FONT_H * scale) / 2 + 1, words, scale, kBlack);
}

struct StripText {
    const char *type;
    const char *en;
    const char *fr;
};

static const StripText kStrips[] = {
    {"err", "ERROR", "ERREUR"},
    {"upg", "UPGRADE", "MISE A JOUR"},
    {"prog", "UPGRADING", "EN COURS"},
    {"ind", "FACTORY TEST", "TEST USINE"},
};

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: mkpicto <output directory>\n");
        return 2;
    }
    std::string dir = argv[1];
    int ok = 1;
    Canvas cv;

    /* Full-screen layout. */
    cv.w = PICTO_SCREEN_W;
    cv.h = PICTO_SCREEN_H;
    for (int i = 0; i < 2; i++) {
        drawError(&cv, i);
        ok &= writeBmp(cv, dir + "/picto_full_err_" + std::to_string(i) + ".bmp") > 0;
        drawProgress(&cv, i);
        ok &= writeBmp(cv, dir + "/picto_full_prog_" + std::to_string(i) + ".bmp") > 0;
    }
    drawUpgrade(&cv);
    ok &= writeBmp(cv, dir + "/picto_full_upg_0.bmp") > 0;
    drawFactory(&cv, 1);
    ok &= writeBmp(cv, dir + "/picto_full_ind_0.bmp") > 0;

    /* Separate layout: main pictures above the strip, then the strips. */
    cv.w = PICTO_SCREEN_W;
    cv.h = PICTO_MAIN_H;
    drawError(&cv, 0);
    ok &= writeBmp(cv, dir + "/picto_sep_err.bmp") > 0;
    drawUpgrade(&cv);
    ok &= writeBmp(cv, dir + "/picto_sep_upg.bmp") > 0;
    drawProgress(&cv, 1);
    ok &= writeBmp(cv, dir + "/picto_sep_prog.bmp") > 0;
    drawFactory(&cv, 0);
    ok &= writeBmp(cv, dir + "/picto_sep_ind.bmp") > 0;
    for (const StripText &s : kStrips) {
        std::string base = dir + "/picto_sep_" + s.type;
        drawStrip(&cv, s.en);
        ok &= writeBmp(cv, base + "_en.bmp") > 0;
        drawStrip(&cv, s.fr);
        ok &= writeBmp(cv, base + "_fr.bmp") > 0;
    }
    return ok ? 0 : 1;
}
