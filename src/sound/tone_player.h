// How the POSIX platform plays a tone, and what each tone driver provides. A sound library
// may block without a timeout (a stopped server does), so the drivers run on a thread of
// their own (tone_thread.cpp) and the program waits for each job only until a deadline: a
// stuck driver costs tones their sound, never the run its pace or its exit.
#pragma once

#include "platform/tone_wave.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

using tone_clock = std::chrono::steady_clock;

// The times and limits the sound thread and the drivers keep; docs/sound.md says how found.
namespace tone_times {
using std::chrono::milliseconds;
constexpr auto grace = milliseconds(40);       // a tone's end may be heard this late
constexpr auto close_grace = milliseconds(20); // the exit waits this long for the closing
constexpr auto onset = milliseconds(30); // a pause ends this early: a server reads this far ahead
constexpr auto lead = milliseconds(100); // a pause's silence is written this early, at least
constexpr auto idle_close = milliseconds(100);   // nothing held this long after the last job
constexpr auto open_time = milliseconds(100);    // a device may take this long to open, at least
constexpr auto server_buffer = milliseconds(10); // a server at its default runs 2 s ahead
constexpr auto trailer = milliseconds(20);       // silence after a tone: PipeWire holds back an end
constexpr auto alsa_buffer = milliseconds(100);  // less, and a plugin opened per tone ran dry
constexpr auto margin = std::chrono::microseconds(500); // a reckoning may be early by this
constexpr int most_recoveries = 3; // a plugin may fail each write and call each recovery good
constexpr std::size_t stack_bytes = std::size_t{512} * 1024; // libpulse overflowed 16-32 KiB
// A tone asked for straight after a tone follows its trailer, and must still be in time.
static_assert(trailer < grace);
} // namespace tone_times

// One way of reaching a sound device, each call giving up at the time given. `open` loads
// the library and connects; `heard_at` is when a frame written now would be heard, none if
// the library cannot tell; `write` queues frames; `close` drops what is queued. `ahead`: how
// long before a pause's end its silence may be written.
struct tone_driver {
    bool (*open)(tone_clock::time_point give_up_at);
    std::optional<tone_clock::time_point> (*heard_at)(tone_clock::time_point give_up_at);
    bool (*write)(const std::int16_t* samples, std::int64_t frames,
                  tone_clock::time_point give_up_at);
    void (*close)();
    tone_clock::duration ahead;
};

extern const tone_driver pulse_driver; // the desktop's sound server: tone_pulse.cpp
extern const tone_driver alsa_driver;  // the sound card, or ALSA's default: tone_alsa.cpp

// Whether a route may lead to a sound device, from plain checks (tone_probe.cpp): where
// neither may, no sound library is loaded.
bool sound_server_may_answer();
bool alsa_may_play();

// For a pause that ends at `pause_end`: readies the device with silence heard until then,
// and says when the caller's pause is to end, `tone_times::onset` early where that is done
// in time, so that a tone asked for next is heard as the pause ends. The caller sleeps.
tone_clock::time_point wait_out_pause(tone_clock::time_point pause_end);

// Plays the tone and says when the caller's tone is to end: `end_by`, moved by as much as
// the pause before it ended early. It returns once the tone is heard to end, or not much
// later than that time if the driver is stuck.
tone_clock::time_point play_tone(int frequency_hz, std::chrono::milliseconds duration,
                                 tone_clock::time_point end_by);
