// A lesson changed as a learner may change it: other tones, other lengths, an extra pause,
// tones one straight after another, played on the real platform. sound_server_test.cpp
// records it.
#include "platform.h"

#include <chrono>

using namespace std::chrono_literals;

int main()
{
    pause_for(0ms); // the device is still opening when the tone is asked for
    sound_tone(550, 500ms);
    pause_for(500ms);
    sound_tone(660, 200ms);
    pause_for(300ms);
    pause_for(400ms);
    sound_tone(440, 800ms);
    sound_tone(880, 300ms);
    sound_tone(330, 300ms);
    return exit_status();
}
