/*
 * kelmd5bench.cpp - throughput of the unit's MD5 module against md5sum on
 * the same file, in the same run, as a ratio (above 1.0: the module is
 * faster). Also hashes the file in 64 KiB reads, to show what the module's
 * 1024-byte reading pieces cost.
 *
 *     kelmd5bench [MiB] [runs]     (default 32 MiB, best of 5 runs)
 *
 * The file is made under /tmp, read once to be in the page cache, and
 * removed at the end. Under qemu-arm the module runs emulated while md5sum
 * is the host's own program, so there the ratio shows mostly the cost of
 * the emulation.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "md5.h"

#define BENCH_BIG_PIECE (64 * 1024)

static double nowSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static bool makeFile(const std::string &path, size_t bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == NULL) {
        return false;
    }
    std::vector<UINT8> block(1 << 20);
    UINT32 x = 2463534242u;
    for (size_t done = 0; done < bytes; done += block.size()) {
        for (UINT8 &b : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = (UINT8)x;
        }
        size_t n = bytes - done < block.size() ? bytes - done : block.size();
        if (fwrite(block.data(), 1, n, fp) != n) {
            fclose(fp);
            return false;
        }
    }
    return fclose(fp) == 0;
}

static std::string md5sumOf(const std::string &path)
{
    std::string cmd = "md5sum '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[128] = {0};
    if (p == NULL) {
        return "";
    }
    if (fgets(line, sizeof(line), p) == NULL) {
        line[0] = '\0';
    }
    pclose(p);
    return std::string(line, strnlen(line, MD5_TEXT_LEN));
}

static std::string moduleOf(const std::string &path)
{
    char code[MD5_TEXT_LEN];
    return MD5_File(path.c_str(), code) ? std::string(code, MD5_TEXT_LEN) : "";
}

/* The same module fed from 64 KiB reads. */
static std::string bigPiecesOf(const std::string &path)
{
    static UINT8 piece[BENCH_BIG_PIECE];
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return "";
    }
    MD5Context ctx;
    MD5_Init(&ctx);
    ssize_t n;
    while ((n = read(fd, piece, sizeof(piece))) > 0) {
        MD5_Update(&ctx, piece, (INT32)n);
    }
    close(fd);
    UINT8 digest[MD5_DIGEST_LEN];
    MD5_Final(&ctx, digest);
    char text[MD5_TEXT_LEN + 1];
    for (int i = 0; i < MD5_DIGEST_LEN; i++) {
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
    }
    return std::string(text, MD5_TEXT_LEN);
}

/* Times one hashing of the file; keeps the best time and the digest. */
static void timeOnce(std::string (*fn)(const std::string &), const std::string &path, double *bestTime,
                     std::string *digest)
{
    double t0 = nowSeconds();
    *digest = fn(path);
    double t = nowSeconds() - t0;
    *bestTime = t < *bestTime ? t : *bestTime;
}

int main(int argc, char **argv)
{
    long mib = argc > 1 ? strtol(argv[1], NULL, 10) : 32;
    int runs = argc > 2 ? (int)strtol(argv[2], NULL, 10) : 5;
    if (mib <= 0 || mib > 1024 || runs <= 0 || runs > 100) {
        fprintf(stderr, "usage: kelmd5bench [MiB 1..1024] [runs 1..100]\n");
        return 2;
    }
    char dir[] = "/tmp/kelmd5bench.XXXXXX";
    if (mkdtemp(dir) == NULL) {
        return 1;
    }
    std::string path = std::string(dir) + "/data";
    size_t bytes = (size_t)mib << 20;
    if (!makeFile(path, bytes)) {
        fprintf(stderr, "kelmd5bench: cannot write %s\n", path.c_str());
        return 1;
    }
    std::string a, b, c;
    (void)md5sumOf(path); /* into the page cache */
    /* The three take turns, so a busy moment of the machine falls on all. */
    double tSum = 1e30, tMod = 1e30, tBig = 1e30;
    for (int i = 0; i < runs; i++) {
        timeOnce(md5sumOf, path, &tSum, &a);
        timeOnce(moduleOf, path, &tMod, &b);
        timeOnce(bigPiecesOf, path, &tBig, &c);
    }
    unlink(path.c_str());
    rmdir(dir);
    if (a.size() != MD5_TEXT_LEN || a != b || a != c) {
        fprintf(stderr, "kelmd5bench: digests differ: md5sum %s, module %s, 64 KiB reads %s\n", a.c_str(),
                b.c_str(), c.c_str());
        return 1;
    }
    double mb = (double)bytes / (1024.0 * 1024.0);
    printf("file           %ld MiB, best of %d runs, digest %s\n", mib, runs, a.c_str());
    printf("md5sum         %8.1f MiB/s\n", mb / tSum);
    printf("MD5_File       %8.1f MiB/s  (1024-byte pieces)  ratio to md5sum %.2f\n", mb / tMod, tSum / tMod);
    printf("64 KiB reads   %8.1f MiB/s                      ratio to md5sum %.2f\n", mb / tBig, tSum / tBig);
    return 0;
}
