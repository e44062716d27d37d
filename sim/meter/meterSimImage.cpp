/*
 * meterSimImage.cpp - reads screen images for the meter simulator: binary
 * PPM (P6, 8 or 16 bits per sample) always, PNG when the build found
 * libpng (METERSIM_HAVE_PNG). The picture is placed top-left into an RGB565
 * buffer in the display's colour order, cropped to it, black beyond it.
 * Files are read row by row and every size is checked before use, so a
 * short or lying file is refused instead of read past.
 */
#include "meterSim.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef METERSIM_HAVE_PNG
#include <png.h>
#include <setjmp.h>
#endif

#define MSIM_IMG_MAX_SIDE  16384   /* larger images are refused */

/* Next header number of a PPM, skipping blanks and comments. */
static int32_t ppmNumber(FILE *fp, uint32_t *value)
{
    int c = fgetc(fp);
    for (;;) {
        while (c != EOF && isspace(c))
            c = fgetc(fp);
        if (c != '#')
            break;
        while (c != EOF && c != '\n')
            c = fgetc(fp);
    }
    if (c == EOF || !isdigit(c))
        return -1;
    uint32_t v = 0;
    while (c != EOF && isdigit(c)) {
        if (v > 100000u)
            return -1;
        v = v * 10u + (uint32_t)(c - '0');
        c = fgetc(fp);
    }
    /* One blank ends the number; for maxval it is the last header byte. */
    if (c == EOF || !isspace(c))
        return -1;
    *value = v;
    return 1;
}

static void clearBuffer(uint16_t *buf, int32_t w, int32_t h)
{
    memset(buf, 0, (size_t)w * (size_t)h * sizeof(uint16_t));
}

int32_t meterSimReadPpm(const char *path, uint16_t *buf, int32_t w, int32_t h)
{
    if (path == NULL || buf == NULL || w <= 0 || h <= 0)
        return -1;
    FILE *fp = fopen(path, "rb");
    if (fp == NULL)
        return -1;
    uint32_t iw = 0, ih = 0, maxval = 0;
    if (fgetc(fp) != 'P' || fgetc(fp) != '6' || ppmNumber(fp, &iw) != 1 ||
        ppmNumber(fp, &ih) != 1 || ppmNumber(fp, &maxval) != 1 || iw == 0 || ih == 0 ||
        iw > MSIM_IMG_MAX_SIDE || ih > MSIM_IMG_MAX_SIDE || maxval == 0 || maxval > 65535) {
        fclose(fp);
        return -1;
    }
    uint32_t sampleBytes = maxval > 255 ? 2 : 1;
    size_t rowBytes = (size_t)iw * 3u * sampleBytes;
    uint8_t *row = (uint8_t *)malloc(rowBytes);
    if (row == NULL) {
        fclose(fp);
        return -1;
    }
    clearBuffer(buf, w, h);
    int32_t rc = 1;
    for (uint32_t y = 0; y < ih; y++) {
        if (fread(row, 1, rowBytes, fp) != rowBytes) {
            rc = -1;   /* the file ends before its pixels do */
            break;
        }
        if (y >= (uint32_t)h)
            continue;
        for (uint32_t x = 0; x < iw && x < (uint32_t)w; x++) {
            uint32_t rgb[3];
            for (uint32_t k = 0; k < 3; k++) {
                const uint8_t *s = row + (x * 3u + k) * sampleBytes;
                uint32_t v = sampleBytes == 2 ? (uint32_t)(s[0] << 8 | s[1]) : s[0];
                rgb[k] = (v > maxval ? maxval : v) * 255u / maxval;
            }
            buf[y * (uint32_t)w + x] =
                meterSimRgb565((uint8_t)rgb[0], (uint8_t)rgb[1], (uint8_t)rgb[2]);
        }
    }
    free(row);
    fclose(fp);
    return rc;
}

#ifdef METERSIM_HAVE_PNG

/* Reads the picture row by row once the header is accepted (the image is
 * not interlaced). Kept apart from the setjmp frame of the caller. */
static void pngRows(png_structp png, png_infop info, uint16_t *buf, int32_t w, int32_t h,
                    png_bytep row)
{
    uint32_t iw = png_get_image_width(png, info);
    uint32_t ih = png_get_image_height(png, info);
    for (uint32_t y = 0; y < ih; y++) {
        png_read_row(png, row, NULL);
        if (y >= (uint32_t)h)
            continue;
        for (uint32_t x = 0; x < iw && x < (uint32_t)w; x++)
            buf[y * (uint32_t)w + x] =
                meterSimRgb565(row[x * 3u], row[x * 3u + 1], row[x * 3u + 2]);
    }
}

int32_t meterSimReadPng(const char *path, uint16_t *buf, int32_t w, int32_t h)
{
    if (path == NULL || buf == NULL || w <= 0 || h <= 0)
        return -1;
    FILE *fp = fopen(path, "rb");
    if (fp == NULL)
        return -1;
    uint8_t sig[8];
    if (fread(sig, 1, sizeof(sig), fp) != sizeof(sig) || png_sig_cmp(sig, 0, sizeof(sig)) != 0) {
        fclose(fp);
        return -1;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png != NULL ? png_create_info_struct(png) : NULL;
    png_bytep volatile row = NULL;
    if (png == NULL || info == NULL || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(png != NULL ? &png : NULL, info != NULL ? &info : NULL, NULL);
        free(row);
        fclose(fp);
        return -1;
    }
    png_init_io(png, fp);
    png_set_sig_bytes(png, sizeof(sig));
    png_read_info(png, info);
    if (png_get_image_width(png, info) > MSIM_IMG_MAX_SIDE ||
        png_get_image_height(png, info) > MSIM_IMG_MAX_SIDE)
        png_error(png, "image too large");
    /* Interlaced files would need the whole picture in memory. */
    if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE)
        png_error(png, "interlaced images are not supported");
    /* Whatever the file holds, rows arrive as 8-bit RGB. */
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_set_gray_to_rgb(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != (size_t)png_get_image_width(png, info) * 3u)
        png_error(png, "unexpected row layout");
    row = (png_bytep)malloc(png_get_rowbytes(png, info));
    if (row == NULL)
        png_error(png, "out of memory");
    clearBuffer(buf, w, h);
    pngRows(png, info, buf, w, h, row);
    png_read_end(png, NULL);
    png_destroy_read_struct(&png, &info, NULL);
    free(row);
    fclose(fp);
    return 1;
}

#else

int32_t meterSimReadPng(const char *path, uint16_t *buf, int32_t w, int32_t h)
{
    (void)path;
    (void)buf;
    (void)w;
    (void)h;
    return -1;
}

#endif
