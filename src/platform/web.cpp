// The platform layer for the web: the program built with Emscripten and run in a page
// (web/). While it waits, the page must go on, so a pause or a tone sleeps on a timer, the
// program suspended meanwhile (ASYNCIFY); the tone is the Linux tone's own samples, played
// through the page's WebAudio; the key comes from the page, and the output goes to the
// page's terminal. The JavaScript half is web_library.js, beside this file.
#include "platform.h"

#include "platform/tone_wave.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <emscripten.h>

// Implemented in web_library.js.
extern "C" {
bool web_audio_begin_tone(long total_frames, unsigned sample_rate);
void web_audio_add_samples(const float* samples, long count, long first_frame);
void web_audio_start_tone();
void web_wait_for_key();
}

namespace {

// performance.now(): the clock that the page's timers keep.
using web_clock = std::chrono::steady_clock;

// The page runs while the program sleeps. A timer can fire a little before the deadline by
// this clock; then it sleeps again for what is left.
void sleep_until(web_clock::time_point deadline)
{
    for (auto now = web_clock::now(); now < deadline; now = web_clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        emscripten_sleep(static_cast<unsigned>(left.count()));
    }
}

// Hands the tone to the page's WebAudio, 10 ms of samples at a time as the ALSA driver
// writes them, and starts it at once. WebAudio's samples are floats from -1 to 1. Without
// audio it plays nothing.
void play_on_web_audio(int frequency_hz, std::chrono::milliseconds duration)
{
    const auto total = static_cast<long>(frames_in(duration));
    if (!web_audio_begin_tone(total, tone_sample_rate)) {
        return;
    }
    constexpr long chunk_frames = tone_sample_rate / 100;
    constexpr float full_scale = 32'768;
    float chunk[chunk_frames];
    for (long start = 0; start < total; start += chunk_frames) {
        const long count = std::min(chunk_frames, total - start);
        for (long i = 0; i < count; ++i) {
            chunk[i] = static_cast<float>(tone_sample(start + i, total, frequency_hz)) / full_scale;
        }
        web_audio_add_samples(chunk, count, start);
    }
    web_audio_start_tone();
}

} // namespace

// The page is the console: it holds the keys pressed during the run, unseen, until the
// program asks for one, and there is nothing to hand back at the end.
console_session::console_session() {}
console_session::~console_session() {}

void pause_for(std::chrono::milliseconds duration)
{
    const auto deadline = web_clock::now() + duration;
    std::fflush(stdout);
    sleep_until(deadline);
}

void sound_tone(int frequency_hz, std::chrono::milliseconds duration)
{
    // Silent or not, the tone takes its full time, counted from the call, so the run keeps
    // its pace.
    const auto deadline = web_clock::now() + duration;
    std::fflush(stdout);
    play_on_web_audio(frequency_hz, duration);
    sleep_until(deadline);
}

void wait_for_key()
{
    std::fflush(stdout);
    web_wait_for_key();
}

// What is written goes to the page, where it cannot fail to be written.
int exit_status()
{
    std::fflush(stdout);
    return 0;
}
