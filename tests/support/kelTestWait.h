/*
 * kelTestWait.h - waiting in tests: the monotonic clock, sleeps, and
 * polling a condition until it holds or a deadline passes. A test waits
 * for the state it needs with a generous deadline, never a fixed time.
 * Shared by the test folders whose scenarios run programs or threads.
 */
#ifndef KEL_TEST_WAIT_H
#define KEL_TEST_WAIT_H

#include <time.h>

#include <functional>
#include <string>

static inline long kelTestNowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static inline void kelTestSleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

/* Polls `cond` every pollMs until it holds or timeoutMs passed; the last
 * result. */
static inline bool kelTestWaitFor(const std::function<bool()> &cond, int timeoutMs, int pollMs)
{
    long end = kelTestNowMs() + timeoutMs;
    for (;;) {
        if (cond()) {
            return true;
        }
        if (kelTestNowMs() >= end) {
            return false;
        }
        kelTestSleepMs(pollMs);
    }
}

/* `s` without leading and trailing blanks and line ends. */
static inline std::string kelTestTrim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

#endif
