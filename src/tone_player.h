// The one thing a tone driver does: play a sine tone. platform_posix.cpp does the
// flushing and the timing around it, so a driver may return early, or at once.
#pragma once

#include <chrono>

// Plays a sine of the given frequency for the given time on the default sound device, if
// there is one; any failure means silence, never an error.
void play_tone(int frequency_hz, std::chrono::milliseconds duration);
