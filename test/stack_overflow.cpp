// A crash at the terminal, for program_test.cpp: the real platform's console session, then
// a stack overflow once a key is pressed, while the terminal is in the program's mode.
#include "platform.h"

#include <cstdio>

namespace {

// Each call keeps a frame that it reads after the next call returns, so that none can be
// left out; `depth` starts at 1 and is never 0.
int overflow(int depth)
{
    if (depth == 0) {
        return 0;
    }
    volatile char frame[1024] = {};
    frame[depth % sizeof frame] = 1;
    return overflow(depth + 1) + frame[0];
}

} // namespace

int main(int argc, char* /*argv*/[])
{
    const console_session console;
    std::printf("Press a key to overflow the stack.\n");
    wait_for_key();
    return overflow(argc);
}
