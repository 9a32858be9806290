// A crash at the terminal, for program_test.cpp: the real platform's console session, then
// a stack overflow once a key is pressed, while the terminal is in the program's mode. With
// an argument it ends at the key instead, as the demonstration ends, but without its pace.
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
    std::printf("Press a key to %s.\n", argc > 1 ? "end" : "overflow the stack");
    wait_for_key();
    return argc > 1 ? exit_status() : overflow(argc);
}
