/*
 * kelTestRoot.h - a throw-away platform root for one test: a temporary
 * directory set as KEL_ROOT with the board directories the common library
 * expects, and removal of every System V queue and segment keyed on it.
 */
#ifndef KEL_TEST_ROOT_H
#define KEL_TEST_ROOT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

class KelTestRoot {
public:
    KelTestRoot();
    ~KelTestRoot();
    const std::string &dir() const { return root; }
    /* Absolute host path of a board path inside this root. */
    std::string path(const std::string &boardPath) const { return root + boardPath; }
    /* Whole contents of a file inside the root ("" when missing). */
    std::string read(const std::string &boardPath) const;
    void write(const std::string &boardPath, const std::string &text) const;
    /* Removes the queues and the segment of this root. */
    void removeIpc() const;

private:
    std::string root;
    std::string oldRoot;
    bool hadOldRoot;
};

/* Removes the queues (R T F E I) and the segment (S) keyed on
 * <root>/home/root. */
void kelTestRemoveIpc(const std::string &root);

/* Puts a raw message on System V queue `queue` without waiting: type
 * `type`, `bytes` bytes of text beginning with the 32-bit word `firstWord`
 * and filled with 0x5a after it (at most 128). False when it was not sent
 * (a full queue). */
bool kelTestSendRaw(int queue, long type, size_t bytes, int32_t firstWord);

/* Reads a whole host file ("" when missing). */
std::string kelTestReadFile(const std::string &path);

#endif /* KEL_TEST_ROOT_H */
