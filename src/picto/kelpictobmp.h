/*
 * kelpictobmp.h - reading the unit's pictogram files: uncompressed 24-bit
 * bottom-up BMPs of at most 320 x 240 pixels, decoded into a top-down,
 * unpadded blue-green-red buffer. Anything else, and any file that does not
 * hold every pixel its headers promise, is refused.
 */
#ifndef KEL_PICTO_BMP_H
#define KEL_PICTO_BMP_H

#include "kelTypes.h"

#define KEL_BMP_MAX_WIDTH 320
#define KEL_BMP_MAX_HEIGHT 240
#define KEL_BMP_BIT_COUNT 24

typedef struct KEL_PACKED {
    char bfType[2];
    UINT32 bfSize;
    UINT32 bfReserved;
    UINT32 bfoffBits;
} BITMAPFILEHEADER;

typedef struct KEL_PACKED {
    char biSize[4];
    INT32 biWidth;
    INT32 biHeight;
    char biPlanes[2];
    UINT32 biBitCount; /* 16-bit bit count followed by the compression word */
    char biCompress[4];
    char biSizeImage[4];
    char biXPelsPerMeter[4];
    char biYPelsPerMeter[4];
    char biClrUsed[4];
    char biClrImportant[4];
} BITMAPINFOHEADER;

typedef struct KEL_PACKED tagBITMAP {
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER infoHeader;
} BITMAPFILE;

typedef struct KEL_PACKED {
    UINT8 blue;
    UINT8 green;
    UINT8 red;
} PIXEL;

static_assert(sizeof(BITMAPFILEHEADER) == 14, "BMP file header");
static_assert(offsetof(BITMAPFILEHEADER, bfoffBits) == 10, "BMP file header");
static_assert(sizeof(BITMAPINFOHEADER) == 42, "BMP info header");
static_assert(sizeof(BITMAPFILE) == 56, "BMP headers");
static_assert(offsetof(BITMAPFILE, infoHeader.biWidth) == 18, "BMP width");
static_assert(offsetof(BITMAPFILE, infoHeader.biHeight) == 22, "BMP height");
static_assert(offsetof(BITMAPFILE, infoHeader.biBitCount) == 28, "BMP bit count");
static_assert(sizeof(PIXEL) == 3, "BMP pixel");

#ifdef __cplusplus
extern "C" {
#endif

/* Decodes `filename` (a host path, already rooted by the caller). The
 * outputs, each optional, receive the header's bit count, width and height
 * even when the picture is refused. Returns a heap buffer of
 * width * height * 3 bytes (free with kelFreeBmpData), or null. */
UINT8 *kelGetBmpData(INT8 *bitCountPerPix, INT32 *width, INT32 *height, const char *filename);
void kelFreeBmpData(UINT8 *pdata);

#ifdef __cplusplus
}
#endif

#endif /* KEL_PICTO_BMP_H */
