// How the POSIX platform plays a tone: what it calls (get_tones_ready, play_tone, run by
// tone_thread.cpp) and what each driver provides (tone_driver). A sound library may block
// without a timeout (a stopped or stalled sound server does that), so the drivers run on a
// thread of their own and the caller waits for a tone only until a little after its end: a
// stuck driver costs later tones their sound, never the run its pace.
#pragma once

#include <chrono>
#include <optional>
#include <thread>

using tone_clock = std::chrono::steady_clock;

// How long after its end a tone may take to be heard to finish: a sound server's latency,
// and the wake-ups on the way back. The program waits no longer than that for a tone.
constexpr auto tone_grace = std::chrono::milliseconds(40);

// How long before a tone is due a driver starts the device for it: time enough for the
// slowest start (opening a plugin that connects to its server), and no more, so that a
// sound card is not held long between tones and a server has settled the new stream's
// latency by the time the tone is reckoned.
constexpr auto tone_lead = std::chrono::milliseconds(100);

struct tone_request {
    int frequency_hz;
    std::chrono::milliseconds duration;
    tone_clock::time_point end_by; // when the tone is due to have ended
};

// For a driver's `play`: sleeps until `heard`, when the device reckons the tone will have
// been heard to end, and says true; if that is not known, or later than the program waits
// for a tone, sleeps until the tone was due to end and says false: what is left of it
// would be heard too late, and the driver drops it.
inline bool sleep_until_heard(const tone_request& tone, std::optional<tone_clock::time_point> heard)
{
    // A reckoning may be a fraction of a millisecond early: a greeting shown a moment late
    // is better than one shown over the end of its tone.
    constexpr auto margin = std::chrono::microseconds(500);
    if (heard && *heard + margin <= tone.end_by + tone_grace) {
        std::this_thread::sleep_until(*heard + margin);
        return true;
    }
    std::this_thread::sleep_until(tone.end_by);
    return false;
}

// One way of reaching a sound device. `open` readies it for the run (loads the library,
// connects) and says whether it is there, giving up at the given time where the library
// lets it; where the device cannot be (tone_routes.h), it does not even load the library.
// `lead_in` is told, during a pause, when the next tone is due, and gets the
// device ready for it, returning before then; `play` plays one tone and returns when it
// has been heard to end (giving up a little after its `end_by`), false if the device
// failed, so that the next tone looks again; `close` undoes `open`.
struct tone_driver {
    bool (*open)(tone_clock::time_point give_up_at);
    void (*lead_in)(tone_clock::time_point tone_due);
    bool (*play)(const tone_request& tone);
    void (*close)();
};

extern const tone_driver pulse_driver; // the desktop's sound server: tone_pulse.cpp
extern const tone_driver alsa_driver;  // the sound card, or ALSA's default: tone_alsa.cpp

// Called at the start of a pause: readies the sound device in the background, so that the
// tone due at `tone_due` starts on time. Returns at once.
void get_tones_ready(tone_clock::time_point tone_due);

// Plays the tone on the first driver that works, and returns when it has ended, or a
// little after `end_by` if the driver is not done by then. A driver still busy with an
// earlier tone makes this one silent; the caller keeps the time.
void play_tone(const tone_request& tone);
