/*
 * toolRun.h - starts a built bench tool as its own process for a test:
 * standard input from a prepared text, standard output captured, an
 * optional file-size limit to make the tool's writes fail part-way, and a
 * deadline after which the tool is killed (a tool that never ends fails
 * the test instead of hanging it).
 */
#ifndef KEL_TOOL_RUN_H
#define KEL_TOOL_RUN_H

#include <string>
#include <vector>

#define TOOL_RUN_TIMED_OUT (-1000)
#define TOOL_RUN_NO_LIMIT (-1L)

struct ToolRun {
    std::string input;                 /* fed on standard input */
    long fileSizeLimit = TOOL_RUN_NO_LIMIT; /* RLIMIT_FSIZE in bytes */
    int timeoutMs = 20000;
};

/* Path of a program built into the tree's bin directory. */
std::string toolPath(const std::string &program);

/* Runs `argv` (argv[0] is the program path) in directory `workDir`, which
 * also holds the input file. Returns the exit status (0-255),
 * minus the signal number when killed, or TOOL_RUN_TIMED_OUT. */
int toolRun(const std::vector<std::string> &argv, const std::string &workDir,
            const ToolRun &how, std::string *out);

#endif /* KEL_TOOL_RUN_H */
