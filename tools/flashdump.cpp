/*
 * flashdump.cpp - bench tool: copies a range of the SPI flash into a file.
 *
 * Reads the m25p80 driver's character device in 32 KiB chunks and writes
 * the bytes into an image file, for example to take an image of a
 * firmware bank. On the virtual board the flash is a regular file inside
 * the platform root. Shares no code with the system.
 *
 * Usage: flashdump flash_addr(HEX) read_size(HEX) image_filename
 */
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "toolroot.h"

#define FLASH_DEVICE "/dev/m25p80"
#define FLASH_SIZE 0x2000000u
#define COPY_CHUNK 0x8000u
#define IMAGE_FILE_MODE 0644
#define HEX32_MAX 0xFFFFFFFFull

/* Exit statuses. */
#define DUMP_DONE 0
#define DUMP_USAGE (-1)
#define DUMP_OPEN_FAILED 1
#define DUMP_ADDR_TOO_HIGH 2
#define DUMP_RANGE_TOO_LONG 3
#define DUMP_TRANSFER_FAILED 4

static unsigned char copyBuf[COPY_CHUNK];

/* Parses a hexadecimal number with an optional 0x prefix. A value wider
 * than 32 bits is held at 0xFFFFFFFF (it then fails the flash limits).
 * 1 on success, -1 when the text is not a hexadecimal number. */
static int dumpParseHex32(const char *text, uint32_t *value)
{
    char *end = NULL;

    if (!isxdigit((unsigned char)text[0])) {
        return -1;
    }
    errno = 0;
    unsigned long long v = strtoull(text, &end, 16);
    if (end == text || *end != '\0') {
        return -1;
    }
    if (errno == ERANGE || v > HEX32_MAX) {
        v = HEX32_MAX;
    }
    *value = (uint32_t)v;
    return 1;
}

/* Reads up to `len` bytes, going on after short reads. Returns the count
 * read (less than `len` only at the end of the device), or -1. */
static long dumpReadFull(int fd, unsigned char *buf, size_t len)
{
    size_t done = 0;

    while (done < len) {
        ssize_t n = read(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += (size_t)n;
    }
    return (long)done;
}

/* Writes all `len` bytes, going on after short writes. 1 or -1. */
static int dumpWriteFull(int fd, const unsigned char *buf, size_t len)
{
    size_t done = 0;

    while (done < len) {
        ssize_t n = write(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        done += (size_t)n;
    }
    return 1;
}

/* Copies `size` bytes from the flash's current position into the image.
 * Only bytes actually read are written; a range that runs past the end of
 * the device or a failed read or write is reported and fails the copy. */
static int dumpCopy(int flashFd, int imageFd, uint32_t size)
{
    uint32_t remaining = size;

    while (remaining > 0) {
        uint32_t chunk = remaining < COPY_CHUNK ? remaining : COPY_CHUNK;
        long got = dumpReadFull(flashFd, copyBuf, chunk);
        if (got < 0) {
            puts("Error: cannot read flash device.");
            return -1;
        }
        if (got > 0 && dumpWriteFull(imageFd, copyBuf, (size_t)got) < 0) {
            puts("Error: cannot write qt image file.");
            return -1;
        }
        if ((uint32_t)got < chunk) {
            puts("Error: flash device ended before the range.");
            return -1;
        }
        remaining -= chunk;
    }
    return 1;
}

int main(int argc, char **argv)
{
    char flashPath[TOOL_PATH_MAX];
    uint32_t addr = 0;
    uint32_t size = 0;

    (void)toolEnsureStdDescriptors();

    if (argc != 4 || dumpParseHex32(argv[1], &addr) < 0 ||
        dumpParseHex32(argv[2], &size) < 0) {
        puts("flashdump flash_addr(HEX) read_size(HEX) image_filename ");
        return DUMP_USAGE;
    }

    /* The tool only reads the flash: it opens it read-only. */
    int flashFd = -1;
    if (toolRootPath(FLASH_DEVICE, flashPath, sizeof(flashPath)) >= 0) {
        flashFd = open(flashPath, O_RDONLY);
    }
    if (flashFd < 0) {
        puts("Error: cannot open  device.");
        return DUMP_OPEN_FAILED;
    }

    if (addr > FLASH_SIZE) {
        puts("The address is exceed flash size");
        close(flashFd);
        return DUMP_ADDR_TOO_HIGH;
    }
    /* Compared as a difference so a size near 4 GiB cannot wrap the sum
     * back into the flash. */
    if (size > FLASH_SIZE - addr) {
        puts("The read data is exceed flash size");
        close(flashFd);
        return DUMP_RANGE_TOO_LONG;
    }

    int imageFd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, IMAGE_FILE_MODE);
    if (imageFd < 0) {
        puts("Error: cannot open qt image file.");
        close(flashFd);
        return DUMP_OPEN_FAILED;
    }

    int status = DUMP_DONE;
    if (lseek(flashFd, (off_t)addr, SEEK_SET) != (off_t)addr) {
        puts("Error: cannot seek flash device.");
        status = DUMP_TRANSFER_FAILED;
    } else if (dumpCopy(flashFd, imageFd, size) < 0) {
        status = DUMP_TRANSFER_FAILED;
    }
    if (close(imageFd) < 0 && status == DUMP_DONE) {
        puts("Error: cannot write qt image file.");
        status = DUMP_TRANSFER_FAILED;
    }
    close(flashFd);
    return status;
}
