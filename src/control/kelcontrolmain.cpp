/*
 * kelcontrolmain.cpp - entry point of the control daemon kelcontrol.
 */
#include "kel.h"
#include "kelcontrol.h"

int main(void)
{
    /* Before anything is opened: a keypad or screen descriptor must never
     * be 0, 1 or 2 when the daemon was started without them. */
    (void)kelEnsureStdDescriptors();
    return kelControlMain();
}
