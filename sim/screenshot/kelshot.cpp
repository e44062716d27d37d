/*
 * kelshot.cpp - screenshot of the virtual board's LCD: turns the frame
 * buffer file (16-bit pixels) into a PNG. Host tool for demos and tests.
 *
 *   kelshot [-g WIDTHxHEIGHT] <frame buffer file | sandbox dir> <out.png>
 *
 * Given a directory, the frame buffer is <dir>/dev/fb0. The default
 * geometry is the panel's, 320 x 240. Each pixel is a little-endian 16-bit
 * word, rows top-down, with blue in bits 15..11, green in bits 10..5 and
 * red in bits 4..0: the order in which the unit writes its screen.
 */
#include <png.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#define SHOT_DEFAULT_W 320
#define SHOT_DEFAULT_H 240
#define SHOT_MAX_SIDE 4096
#define SHOT_BYTES_PER_PIXEL 2

static void usage(void)
{
    fprintf(stderr, "usage: kelshot [-g WIDTHxHEIGHT] <frame buffer file | sandbox dir> <out.png>\n");
}

/* 5- or 6-bit channel to 8 bits, full scale staying full scale. */
static uint8_t expand5(unsigned v)
{
    return (uint8_t)((v << 3) | (v >> 2));
}

static uint8_t expand6(unsigned v)
{
    return (uint8_t)((v << 2) | (v >> 4));
}

/* Reads exactly `len` bytes of the frame. 1, or -1. */
static int readFrame(const std::string &path, std::vector<uint8_t> *frame, size_t len)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == NULL) {
        fprintf(stderr, "kelshot: cannot open %s\n", path.c_str());
        return -1;
    }
    frame->assign(len, 0);
    size_t got = fread(frame->data(), 1, len, f);
    fclose(f);
    if (got != len) {
        fprintf(stderr, "kelshot: %s holds %zu bytes, the frame needs %zu\n", path.c_str(), got, len);
        return -1;
    }
    return 1;
}

/* Writes the frame as an 8-bit RGB PNG. 1, or -1. */
static int writePng(const std::string &path, const std::vector<uint8_t> &frame, int w, int h)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == NULL) {
        fprintf(stderr, "kelshot: cannot write %s\n", path.c_str());
        return -1;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png ? png_create_info_struct(png) : NULL;
    if (info == NULL) {
        png_destroy_write_struct(&png, NULL);
        fclose(f);
        return -1;
    }
    std::vector<uint8_t> row((size_t)w * 3);
    /* libpng reports errors by longjmp; nothing here needs unwinding. */
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        fprintf(stderr, "kelshot: PNG encoding failed\n");
        return -1;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, (png_uint_32)w, (png_uint_32)h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            size_t off = ((size_t)y * w + x) * SHOT_BYTES_PER_PIXEL;
            unsigned word = frame[off] | (unsigned)frame[off + 1] << 8;
            row[x * 3] = expand5(word & 0x1F);
            row[x * 3 + 1] = expand6((word >> 5) & 0x3F);
            row[x * 3 + 2] = expand5((word >> 11) & 0x1F);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, NULL);
    png_destroy_write_struct(&png, &info);
    if (fclose(f) != 0) {
        fprintf(stderr, "kelshot: cannot finish %s\n", path.c_str());
        return -1;
    }
    return 1;
}

int main(int argc, char **argv)
{
    int w = SHOT_DEFAULT_W, h = SHOT_DEFAULT_H;
    int arg = 1;
    if (argc > 2 && strcmp(argv[1], "-g") == 0) {
        char extra;
        if (sscanf(argv[2], "%dx%d%c", &w, &h, &extra) != 2 || w < 1 || h < 1 || w > SHOT_MAX_SIDE ||
            h > SHOT_MAX_SIDE) {
            fprintf(stderr, "kelshot: bad geometry '%s'\n", argv[2]);
            return 2;
        }
        arg = 3;
    }
    if (argc - arg != 2) {
        usage();
        return 2;
    }
    std::string in = argv[arg];
    struct stat st;
    if (stat(in.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        in += "/dev/fb0";
    }
    std::vector<uint8_t> frame;
    if (readFrame(in, &frame, (size_t)w * h * SHOT_BYTES_PER_PIXEL) < 0) {
        return 1;
    }
    return writePng(argv[arg + 1], frame, w, h) > 0 ? 0 : 1;
}
