/*
 * fuzz_keypad.cpp - the daemon's keypad records: the input's first byte
 * picks the work mode (normal, or factory test, where key events also go
 * to the I queue), the rest is what the input device delivers, read record
 * by record by the daemon's keypad handler from a pipe until it runs dry.
 */
#include <fcntl.h>
#include <unistd.h>

#include "fuzzBoard.h"
#include "kelkeypad.h"

#define FUZZ_KEYPAD_MAX_INPUT 4096 /* below what a pipe holds unread */

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    if (size < 1 || size > FUZZ_KEYPAD_MAX_INPUT) {
        return 0;
    }
    kel_WorkMode_t mode = (data[0] & 1) ? KEL_MODE_INDUSTRY : KEL_MODE_NORMAL;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return 0;
    }
    size_t events = size - 1;
    if (write(fds[1], data + 1, events) != (ssize_t)events) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    close(fds[1]);

    kelKeyPadResetMap();
    /* One record per call; a short last one is a read error, then the
     * pipe is empty. */
    size_t calls = (events + sizeof(kel_InputEvent_t) - 1) / sizeof(kel_InputEvent_t);
    for (size_t i = 0; i < calls; i++) {
        kelKeyPadEventHandle(fds[0], mode);
    }
    close(fds[0]);
    kelFuzzDrainQueues();
    return 0;
}
