/*
 * md5.cpp - the MD5 message digest as RFC 1321 defines it (initial words,
 * padding, 64-bit length, the 64-step compression function) and the text
 * form used by the upgrade packages: 16 bytes as 32 lowercase hexadecimal
 * characters, high half of each byte first.
 *
 * Used by the package code (src/upg) on the unit and by the package
 * builder on the host. Files are hashed in 1024-byte pieces with one context
 * and the stream's buffer on the stack; nothing is allocated except by the
 * string variant.
 */
#include "md5.h"

#include <stdio.h>
#include <string.h>

#define MD5_FILE_PIECE 1024
/* The stream reads from the file in blocks of this size and hands them out
 * in the 1024-byte pieces: one system call per 64 KiB instead of per 4 KiB. */
#define MD5_FILE_STREAM_BUF (64 * 1024)

static const UINT8 PADDING[64] = {0x80};
static const char INT2ASCII[] = "0123456789abcdef";

/* Writes `len` bytes (a multiple of 4) of 32-bit words, little-endian. */
static void MD5_Encode(UINT8 *output, const UINT32 *input, UINT32 len)
{
    for (UINT32 i = 0, j = 0; j < len; i++, j += 4) {
        output[j] = (UINT8)(input[i] & 0xff);
        output[j + 1] = (UINT8)((input[i] >> 8) & 0xff);
        output[j + 2] = (UINT8)((input[i] >> 16) & 0xff);
        output[j + 3] = (UINT8)((input[i] >> 24) & 0xff);
    }
}

/* Reads `len` bytes (a multiple of 4) back into 32-bit words. */
static void MD5_Decode(UINT32 *output, const UINT8 *input, UINT32 len)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    memcpy(output, input, len);
#else
    for (UINT32 i = 0, j = 0; j < len; i++, j += 4) {
        output[i] = (UINT32)input[j] | ((UINT32)input[j + 1] << 8) | ((UINT32)input[j + 2] << 16) |
                    ((UINT32)input[j + 3] << 24);
    }
#endif
}

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_ROTL(x, n) (((x) << (n)) | ((x) >> (32 - (n))))
#define MD5_STEP(f, a, b, c, d, x, s, ac)          \
    do {                                           \
        (a) += f((b), (c), (d)) + (x) + (UINT32)(ac); \
        (a) = MD5_ROTL((a), (s));                  \
        (a) += (b);                                \
    } while (0)

/* The compression function on one 64-byte block. */
static void MD5_Transform(UINT32 state[4], const UINT8 block[64])
{
    UINT32 a = state[0], b = state[1], c = state[2], d = state[3];
    UINT32 x[16];
    MD5_Decode(x, block, 64);

    MD5_STEP(MD5_F, a, b, c, d, x[0], 7, 0xd76aa478);
    MD5_STEP(MD5_F, d, a, b, c, x[1], 12, 0xe8c7b756);
    MD5_STEP(MD5_F, c, d, a, b, x[2], 17, 0x242070db);
    MD5_STEP(MD5_F, b, c, d, a, x[3], 22, 0xc1bdceee);
    MD5_STEP(MD5_F, a, b, c, d, x[4], 7, 0xf57c0faf);
    MD5_STEP(MD5_F, d, a, b, c, x[5], 12, 0x4787c62a);
    MD5_STEP(MD5_F, c, d, a, b, x[6], 17, 0xa8304613);
    MD5_STEP(MD5_F, b, c, d, a, x[7], 22, 0xfd469501);
    MD5_STEP(MD5_F, a, b, c, d, x[8], 7, 0x698098d8);
    MD5_STEP(MD5_F, d, a, b, c, x[9], 12, 0x8b44f7af);
    MD5_STEP(MD5_F, c, d, a, b, x[10], 17, 0xffff5bb1);
    MD5_STEP(MD5_F, b, c, d, a, x[11], 22, 0x895cd7be);
    MD5_STEP(MD5_F, a, b, c, d, x[12], 7, 0x6b901122);
    MD5_STEP(MD5_F, d, a, b, c, x[13], 12, 0xfd987193);
    MD5_STEP(MD5_F, c, d, a, b, x[14], 17, 0xa679438e);
    MD5_STEP(MD5_F, b, c, d, a, x[15], 22, 0x49b40821);

    MD5_STEP(MD5_G, a, b, c, d, x[1], 5, 0xf61e2562);
    MD5_STEP(MD5_G, d, a, b, c, x[6], 9, 0xc040b340);
    MD5_STEP(MD5_G, c, d, a, b, x[11], 14, 0x265e5a51);
    MD5_STEP(MD5_G, b, c, d, a, x[0], 20, 0xe9b6c7aa);
    MD5_STEP(MD5_G, a, b, c, d, x[5], 5, 0xd62f105d);
    MD5_STEP(MD5_G, d, a, b, c, x[10], 9, 0x02441453);
    MD5_STEP(MD5_G, c, d, a, b, x[15], 14, 0xd8a1e681);
    MD5_STEP(MD5_G, b, c, d, a, x[4], 20, 0xe7d3fbc8);
    MD5_STEP(MD5_G, a, b, c, d, x[9], 5, 0x21e1cde6);
    MD5_STEP(MD5_G, d, a, b, c, x[14], 9, 0xc33707d6);
    MD5_STEP(MD5_G, c, d, a, b, x[3], 14, 0xf4d50d87);
    MD5_STEP(MD5_G, b, c, d, a, x[8], 20, 0x455a14ed);
    MD5_STEP(MD5_G, a, b, c, d, x[13], 5, 0xa9e3e905);
    MD5_STEP(MD5_G, d, a, b, c, x[2], 9, 0xfcefa3f8);
    MD5_STEP(MD5_G, c, d, a, b, x[7], 14, 0x676f02d9);
    MD5_STEP(MD5_G, b, c, d, a, x[12], 20, 0x8d2a4c8a);

    MD5_STEP(MD5_H, a, b, c, d, x[5], 4, 0xfffa3942);
    MD5_STEP(MD5_H, d, a, b, c, x[8], 11, 0x8771f681);
    MD5_STEP(MD5_H, c, d, a, b, x[11], 16, 0x6d9d6122);
    MD5_STEP(MD5_H, b, c, d, a, x[14], 23, 0xfde5380c);
    MD5_STEP(MD5_H, a, b, c, d, x[1], 4, 0xa4beea44);
    MD5_STEP(MD5_H, d, a, b, c, x[4], 11, 0x4bdecfa9);
    MD5_STEP(MD5_H, c, d, a, b, x[7], 16, 0xf6bb4b60);
    MD5_STEP(MD5_H, b, c, d, a, x[10], 23, 0xbebfbc70);
    MD5_STEP(MD5_H, a, b, c, d, x[13], 4, 0x289b7ec6);
    MD5_STEP(MD5_H, d, a, b, c, x[0], 11, 0xeaa127fa);
    MD5_STEP(MD5_H, c, d, a, b, x[3], 16, 0xd4ef3085);
    MD5_STEP(MD5_H, b, c, d, a, x[6], 23, 0x04881d05);
    MD5_STEP(MD5_H, a, b, c, d, x[9], 4, 0xd9d4d039);
    MD5_STEP(MD5_H, d, a, b, c, x[12], 11, 0xe6db99e5);
    MD5_STEP(MD5_H, c, d, a, b, x[15], 16, 0x1fa27cf8);
    MD5_STEP(MD5_H, b, c, d, a, x[2], 23, 0xc4ac5665);

    MD5_STEP(MD5_I, a, b, c, d, x[0], 6, 0xf4292244);
    MD5_STEP(MD5_I, d, a, b, c, x[7], 10, 0x432aff97);
    MD5_STEP(MD5_I, c, d, a, b, x[14], 15, 0xab9423a7);
    MD5_STEP(MD5_I, b, c, d, a, x[5], 21, 0xfc93a039);
    MD5_STEP(MD5_I, a, b, c, d, x[12], 6, 0x655b59c3);
    MD5_STEP(MD5_I, d, a, b, c, x[3], 10, 0x8f0ccc92);
    MD5_STEP(MD5_I, c, d, a, b, x[10], 15, 0xffeff47d);
    MD5_STEP(MD5_I, b, c, d, a, x[1], 21, 0x85845dd1);
    MD5_STEP(MD5_I, a, b, c, d, x[8], 6, 0x6fa87e4f);
    MD5_STEP(MD5_I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
    MD5_STEP(MD5_I, c, d, a, b, x[6], 15, 0xa3014314);
    MD5_STEP(MD5_I, b, c, d, a, x[13], 21, 0x4e0811a1);
    MD5_STEP(MD5_I, a, b, c, d, x[4], 6, 0xf7537e82);
    MD5_STEP(MD5_I, d, a, b, c, x[11], 10, 0xbd3af235);
    MD5_STEP(MD5_I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
    MD5_STEP(MD5_I, b, c, d, a, x[9], 21, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void MD5_Init(MD5Context *context)
{
    context->count[0] = 0;
    context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void MD5_Update(MD5Context *context, const UINT8 *buf, INT32 len)
{
    if (len <= 0) {
        return;
    }
    UINT32 n = (UINT32)len;
    UINT32 index = (context->count[0] >> 3) & 0x3f;
    UINT32 bitsLow = n << 3;
    context->count[0] += bitsLow;
    if (context->count[0] < bitsLow) {
        context->count[1]++;
    }
    context->count[1] += n >> 29;

    UINT32 partLen = 64 - index;
    UINT32 i = 0;
    if (n >= partLen) {
        memcpy(&context->buffer[index], buf, partLen);
        MD5_Transform(context->state, context->buffer);
        for (i = partLen; i + 63 < n; i += 64) {
            MD5_Transform(context->state, &buf[i]);
        }
        index = 0;
    }
    memcpy(&context->buffer[index], &buf[i], n - i);
}

void MD5_Final(MD5Context *context, UINT8 digest[MD5_DIGEST_LEN])
{
    UINT8 bits[8];
    MD5_Encode(bits, context->count, 8);
    UINT32 index = (context->count[0] >> 3) & 0x3f;
    UINT32 padLen = (index < 56) ? (56 - index) : (120 - index);
    MD5_Update(context, PADDING, (INT32)padLen);
    MD5_Update(context, bits, 8);
    MD5_Encode(digest, context->state, MD5_DIGEST_LEN);
    memset(context, 0, sizeof(*context));
}

static void MD5_Text(const UINT8 digest[MD5_DIGEST_LEN], char *md5code)
{
    for (int i = 0; i < MD5_DIGEST_LEN; i++) {
        md5code[2 * i] = INT2ASCII[digest[i] >> 4];
        md5code[2 * i + 1] = INT2ASCII[digest[i] & 0x0f];
    }
}

bool MD5_String(const UINT8 *str, INT32 len, char *md5code)
{
    MD5Context context;
    UINT8 digest[MD5_DIGEST_LEN];
    MD5_Init(&context);
    MD5_Update(&context, str, len);
    MD5_Final(&context, digest);
    MD5_Text(digest, md5code);
    return true;
}

bool MD5_File(const char *filename, char *md5code)
{
    FILE *fp = fopen(filename, "rb");
    if (fp == NULL) {
        printf("%s can't be opened ", filename);
        return false;
    }
    MD5Context context;
    UINT8 piece[MD5_FILE_PIECE];
    UINT8 digest[MD5_DIGEST_LEN];
    char streamBuf[MD5_FILE_STREAM_BUF];
    (void)setvbuf(fp, streamBuf, _IOFBF, sizeof(streamBuf));
    MD5_Init(&context);
    for (;;) {
        size_t n = fread(piece, 1, sizeof(piece), fp);
        if (n == 0) {
            break;
        }
        MD5_Update(&context, piece, (INT32)n);
    }
    MD5_Final(&context, digest);
    fclose(fp);
    MD5_Text(digest, md5code);
    return true;
}

bool MD5_File(const char *filename, std::string &md5str)
{
    char md5code[MD5_TEXT_LEN];
    if (!MD5_File(filename, md5code)) {
        return false;
    }
    md5str.append(md5code, MD5_TEXT_LEN);
    return true;
}
