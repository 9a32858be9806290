// A crash at the terminal, for program_test.cpp: the real platform's console session, then
// a stack overflow once a key is pressed, while the terminal is in the program's mode.
#include "platform.h"

#include <cstdio>

// Each frame is read after the next call returns, so none can be left out; depth is never 0.
int overflow(int depth)
{
    volatile char frame[1024] = {};
    return depth == 0 ? 0 : overflow(depth + 1) + frame[0];
}

int main(int argc, char* /*argv*/[])
{
    const console_session console;
    std::printf("Press a key to overflow the stack.\n");
    wait_for_key();
    return overflow(argc);
}
