/*
 * kelpictobmp.cpp - decoding of the pictogram bitmaps: uncompressed 24-bit
 * BMPs with bottom-up rows padded to 4 bytes, at most 320 x 240 pixels.
 *
 * A file is refused unless it holds every pixel its headers promise: a file
 * shorter than its headers, a pixel offset outside the file or rows that end
 * early give null, so no undefined pixel ever reaches the screen.
 */
#include "kelpictobmp.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#define KEL_BMP_BYTES_PER_PIXEL 3

/* Size of the open file in bytes, or -1. */
static INT64 kelBmpFileSize(FILE *fp)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return (INT64)st.st_size;
}

/* 1 when the header describes a picture this loader accepts and the file
 * holds all of its pixels. */
static int kelBmpHeaderAcceptable(const BITMAPFILE *bmp, INT64 fileSize)
{
    INT32 width = bmp->infoHeader.biWidth;
    INT32 height = bmp->infoHeader.biHeight;
    if (width < 1 || width > KEL_BMP_MAX_WIDTH || height < 1 || height > KEL_BMP_MAX_HEIGHT) {
        return 0;
    }
    if (bmp->infoHeader.biBitCount != KEL_BMP_BIT_COUNT) {
        return 0;
    }
    INT64 rowBytes = (INT64)width * KEL_BMP_BYTES_PER_PIXEL;
    INT64 stride = (rowBytes + 3) / 4 * 4;
    /* The last row needs no padding after it. */
    INT64 pixelEnd = (INT64)bmp->fileHeader.bfoffBits + (INT64)(height - 1) * stride + rowBytes;
    if (fileSize < 0 || (INT64)bmp->fileHeader.bfoffBits >= fileSize || pixelEnd > fileSize) {
        return 0;
    }
    return 1;
}

/* Reads the rows, bottom row first in the file, into a top-down buffer.
 * 1 when every pixel was read. */
static int kelBmpReadRows(FILE *fp, UINT8 *data, INT32 width, INT32 height)
{
    size_t rowBytes = (size_t)width * KEL_BMP_BYTES_PER_PIXEL;
    long pad = (long)((4 - rowBytes % 4) % 4);
    for (INT32 y = 0; y < height; y++) {
        UINT8 *row = data + (size_t)(height - 1 - y) * rowBytes;
        if (fread(row, 1, rowBytes, fp) != rowBytes) {
            return 0;
        }
        if (pad != 0 && y != height - 1 && fseek(fp, pad, SEEK_CUR) != 0) {
            return 0;
        }
    }
    return 1;
}

UINT8 *kelGetBmpData(INT8 *bitCountPerPix, INT32 *width, INT32 *height, const char *filename)
{
    if (filename == NULL) {
        return NULL;
    }
    FILE *fp = fopen(filename, "rb");
    if (fp == NULL) {
        return NULL;
    }
    BITMAPFILE bmp;
    memset(&bmp, 0, sizeof(bmp));
    size_t got = fread(&bmp, 1, sizeof(bmp), fp);

    if (bitCountPerPix != NULL) {
        *bitCountPerPix = (INT8)(bmp.infoHeader.biBitCount & 0xFF);
    }
    if (width != NULL) {
        *width = bmp.infoHeader.biWidth;
    }
    if (height != NULL) {
        *height = bmp.infoHeader.biHeight;
    }
    if (got != sizeof(bmp) || !kelBmpHeaderAcceptable(&bmp, kelBmpFileSize(fp))) {
        fclose(fp);
        return NULL;
    }

    INT32 w = bmp.infoHeader.biWidth;
    INT32 h = bmp.infoHeader.biHeight;
    UINT8 *data = (UINT8 *)malloc((size_t)w * (size_t)h * KEL_BMP_BYTES_PER_PIXEL);
    if (data == NULL) {
        fclose(fp);
        return NULL;
    }
    if (fseeko(fp, (off_t)bmp.fileHeader.bfoffBits, SEEK_SET) != 0 || !kelBmpReadRows(fp, data, w, h)) {
        free(data);
        fclose(fp);
        return NULL;
    }
    fclose(fp);
    return data;
}

void kelFreeBmpData(UINT8 *pdata)
{
    if (pdata != NULL) {
        free(pdata);
    }
}
