/*
 * md5.h - the MD5 message digest (RFC 1321) and its 32-character lowercase
 * text form. The upgrade package code seals headers and verifies images
 * with it; the package builder uses the same code.
 */
#ifndef KEL_MD5_H
#define KEL_MD5_H

#include <string>

#include "kelTypes.h"

/* Length of the text form of a digest; the text is never terminated. */
#define MD5_TEXT_LEN 32
#define MD5_DIGEST_LEN 16

typedef struct {
    UINT32 state[4];   /* chaining words A, B, C, D */
    UINT32 count[2];   /* bits processed, low word first, modulo 2^64 */
    UINT8 buffer[64];  /* input not yet forming a whole block */
} MD5Context;

void MD5_Init(MD5Context *context);
void MD5_Update(MD5Context *context, const UINT8 *buf, INT32 len);
/* Writes the 16-byte digest and clears the whole context. */
void MD5_Final(MD5Context *context, UINT8 digest[MD5_DIGEST_LEN]);

/* Text form of the digest of `len` bytes into `md5code` (32 bytes). */
bool MD5_String(const UINT8 *str, INT32 len, char *md5code);
/* Text form of the digest of a whole file into `md5code` (32 bytes);
 * false, with a message on standard output, when the file cannot be opened. */
bool MD5_File(const char *filename, char *md5code);
/* The same, appending the 32 characters to `md5str`. */
bool MD5_File(const char *filename, std::string &md5str);

#endif /* KEL_MD5_H */
