// How the POSIX platform plays a tone, and what each tone driver provides. A sound library
// may block without a timeout (a stopped or stalled server does that), so the drivers run
// on a thread of their own (tone_thread.cpp) and the program waits for each job only until
// a deadline: a stuck driver costs tones their sound, never the run its pace or its exit.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

using tone_clock = std::chrono::steady_clock;

// The times and limits the sound thread and the drivers keep; docs/sound.md says how found.
namespace tone_times {
using std::chrono::milliseconds;
constexpr auto grace = milliseconds(40);         // a tone's end may be heard this late
constexpr auto close_grace = milliseconds(20);   // the exit waits this long for the closing
constexpr auto lead = milliseconds(100);         // a device opens before its tone: the slowest open
constexpr auto idle_close = milliseconds(100);   // nothing held this long after the last job
constexpr auto server_buffer = milliseconds(10); // a server at its default runs 2 s ahead
constexpr auto trailer = milliseconds(50); // silence after a tone: no dry stream until the next
constexpr auto onset = milliseconds(30); // a pause ends this early: a server reads this far ahead
constexpr auto alsa_buffer = milliseconds(100); // less, and a plugin opened per tone ran dry
constexpr auto margin = std::chrono::microseconds(500); // a reckoning may be early by this
constexpr int most_recoveries = 3; // a plugin may fail each write and call each recovery good
constexpr std::size_t stack_bytes = std::size_t{512} * 1024; // libpulse overflowed 16-32 KiB
} // namespace tone_times

struct tone_request {
    int frequency_hz;
    std::chrono::milliseconds duration;
    tone_clock::time_point end_by; // when the tone is due to have ended
};

// A job for a driver: the tone, written at once after what is queued; or, without one, a
// pause that ends at `due`: the device is got ready and fed with silence heard until then.
struct tone_job {
    tone_clock::time_point due;
    std::optional<tone_request> tone;
};

// What a job came to: the device failed; or no sound (no device, or too late); or on time:
// the tone heard to end by its time, or the pause's silence queued to end at its end.
enum class job_result { failed, silent, on_time };

// One way of reaching a sound device. `open` loads the library and connects, giving up at
// the given time; `play` does a job and returns once its tone has been heard to end (or a
// little after its `end_by`); `close` undoes `open`.
struct tone_driver {
    bool (*open)(tone_clock::time_point give_up_at);
    job_result (*play)(const tone_job& job);
    void (*close)();
};

extern const tone_driver pulse_driver; // the desktop's sound server: tone_pulse.cpp
extern const tone_driver alsa_driver;  // the sound card, or ALSA's default: tone_alsa.cpp

// Whether a route may lead to a sound device, told from plain checks (tone_probe.cpp):
// where neither may, no sound library is loaded.
bool sound_server_may_answer();
bool alsa_may_play();

// For a driver: sleeps until the tone is heard to end, by `heard`, when the device reckons
// its trailer heard, and says true; if unknown or past the grace, until the tone's end, false.
bool sleep_until_heard(const tone_request& tone, std::optional<tone_clock::time_point> heard);

// Waits out a pause that ends at `pause_end`, the device readied meanwhile and kept silent
// until then. Where that is done in time, it returns `tone_times::onset` early, so that a
// tone asked for next, written at once after the silence, is heard when the pause ends.
void wait_out_pause(tone_clock::time_point pause_end);

// Plays the tone, and returns when it has ended, or a little after `end_by` (moved by as
// much as the pause before it ended early) if the driver is not done by then.
void play_tone(const tone_request& tone);
