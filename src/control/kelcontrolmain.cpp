/*
 * kelcontrolmain.cpp - entry point of the control daemon kelcontrol.
 */
#include "kelcontrol.h"

int main(void)
{
    return kelControlMain();
}
