/*
 * fuzzReplay.cpp - runs a fuzz target's entry function on stored inputs,
 * without libFuzzer: the normal test suite replays every seed and every
 * regression input on both targets this way.
 *
 *     fuzz_replay_<name> <dir-or-file>...
 *
 * Each file of each directory (dot files left out) is handed to the entry
 * once. A crash ends the run like any crash; the exit status is 1 when no
 * input was found at all, so a mislaid folder does not pass for a replay.
 */
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool isRegularFile(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/* The files of `dir` in name order (so a failure names the same input each
 * run), or `dir` itself when it is a file. */
static std::vector<std::string> inputsOf(const std::string &dir)
{
    std::vector<std::string> files;
    if (isRegularFile(dir)) {
        files.push_back(dir);
        return files;
    }
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return files;
    }
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        if (e->d_name[0] != '.' && isRegularFile(path)) {
            files.push_back(path);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

static void replay(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    printf("replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    fflush(stdout);
    /* A copy of exactly the input's size, so a read past its end is seen
     * by the address sanitizer as it is under libFuzzer. */
    uint8_t *copy = new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)];
    std::copy(bytes.begin(), bytes.end(), copy);
    LLVMFuzzerTestOneInput(copy, bytes.size());
    delete[] copy;
}

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        for (const std::string &path : inputsOf(argv[i])) {
            replay(path);
            count++;
        }
    }
    printf("%zu inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
