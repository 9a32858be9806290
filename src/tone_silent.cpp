// The tone driver for builds without a sound library: a tone is a timed silence (the
// caller keeps its time).
#include "tone_player.h"

void play_tone(int /*frequency_hz*/, std::chrono::milliseconds /*duration*/) {}
