// The signals that the POSIX platform handles, listed once: posix.cpp puts the terminal back
// on each of them, and the sound thread (sound/tone_thread.cpp) blocks all signals but the
// faults, so that every other one reaches the main thread, where posix.cpp can hold them
// off while it changes the terminal.
#pragma once

#include <csignal>

namespace posix_signals {

// Sent to the run to end it. SIGABRT is among them, not among the faults: abort() unblocks
// it on the thread that calls it, so blocking it elsewhere only keeps a SIGABRT sent from
// outside off the sound thread.
constexpr int ending[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGABRT,   SIGALRM,
                          SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

// Of a fault in the program (a stack overflow, a bad instruction), raised on the thread that
// caused it. Never blocked: a fault whose signal is blocked kills at once.
constexpr int faults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

} // namespace posix_signals
