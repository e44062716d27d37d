/*
 * kelTestRoot.cpp - temporary platform root for tests (see kelTestRoot.h).
 */
#include "kelTestRoot.h"

#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <fstream>
#include <sstream>

static const char kIpcLetters[] = {'R', 'T', 'F', 'E', 'I'};

std::string kelTestReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "";
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

KelTestRoot::KelTestRoot()
{
    const char *old = getenv("KEL_ROOT");
    hadOldRoot = (old != nullptr);
    if (old) {
        oldRoot = old;
    }
    char tmpl[] = "/tmp/kelroot.XXXXXX";
    const char *made = mkdtemp(tmpl);
    root = made ? made : "/tmp/kelroot.failed";
    std::string mk = "mkdir -p " + root + "/home/root " + root + "/kel/config " + root +
                     "/kel/factory " + root + "/kel/log " + root + "/kel/sys/log";
    if (system(mk.c_str()) != 0) {
        root = "/tmp/kelroot.failed";
    }
    setenv("KEL_ROOT", root.c_str(), 1);
}

void kelTestRemoveIpc(const std::string &root)
{
    std::string keyPath = root + "/home/root";
    for (char letter : kIpcLetters) {
        key_t key = ftok(keyPath.c_str(), letter);
        if (key == -1) {
            continue;
        }
        int id = msgget(key, 0);
        if (id >= 0) {
            msgctl(id, IPC_RMID, nullptr);
        }
    }
    key_t shmKey = ftok(keyPath.c_str(), 'S');
    if (shmKey != -1) {
        int id = shmget(shmKey, 0, 0);
        if (id >= 0) {
            shmctl(id, IPC_RMID, nullptr);
        }
    }
}

void KelTestRoot::removeIpc() const
{
    kelTestRemoveIpc(root);
}

KelTestRoot::~KelTestRoot()
{
    removeIpc();
    if (root.rfind("/tmp/kelroot.", 0) == 0 && root != "/tmp/kelroot.failed") {
        std::string rm = "rm -rf " + root;
        if (system(rm.c_str()) != 0) {
            /* Nothing more to do: the directory is only a leftover. */
        }
    }
    if (hadOldRoot) {
        setenv("KEL_ROOT", oldRoot.c_str(), 1);
    } else {
        unsetenv("KEL_ROOT");
    }
}

std::string KelTestRoot::read(const std::string &boardPath) const
{
    return kelTestReadFile(path(boardPath));
}

void KelTestRoot::write(const std::string &boardPath, const std::string &text) const
{
    std::ofstream out(path(boardPath), std::ios::binary | std::ios::trunc);
    out << text;
}

bool kelTestSendRaw(int queue, long type, size_t bytes, int32_t firstWord)
{
    struct {
        long mtype;
        char text[128];
    } buf;
    if (bytes > sizeof(buf.text)) {
        return false;
    }
    memset(&buf, 0x5a, sizeof(buf));
    buf.mtype = type;
    memcpy(buf.text, &firstWord, sizeof(firstWord));
    return msgsnd(queue, &buf, bytes, IPC_NOWAIT) == 0;
}
