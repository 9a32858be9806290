// What the demonstration needs from the machine it runs on: a pause, a tone and one key
// press, plus a console that keeps key presses unseen. One source file per platform
// implements this header; the build picks it.
#pragma once

#include <chrono>

// Holds the console ready for the run while it lives: keys pressed before the prompt are
// neither shown nor lost, and when it ends, or a signal ends the run (a crash included),
// the console is left exactly as it was found.
struct console_session {
    console_session();
    ~console_session();
    console_session(const console_session&) = delete;
    console_session& operator=(const console_session&) = delete;
};

// Each of these first flushes standard output, so that everything printed so far is
// visible while it waits.

// Suspends the program for the given time, as it is heard: where a sound device plays a
// moment behind, the pause ends that moment early, so that a tone asked for next starts
// as the pause ends. A pause after such a pause counts from its heard end.
void pause_for(std::chrono::milliseconds duration);

// Sounds a tone and returns when it has ended, no sooner than `duration` after the call,
// whether or not there is anything to play it on.
void sound_tone(int frequency_hz, std::chrono::milliseconds duration);

// Waits for one key press, without showing it and without waiting for Enter. A key that
// was pressed earlier ends the wait at once.
void wait_for_key();

// The run's exit status: 0, or 1 after a line on standard error if some of the output
// could not be written (a full disk, say).
int exit_status();
