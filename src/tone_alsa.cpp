// The tone driver for ALSA: a sine with short fades, written to the "default" device.
// libasound is loaded when the first tone needs it, not when the program starts: loading
// and linking it takes about a millisecond, which then falls inside the tone's own time
// instead of delaying the title. A machine without libasound simply gets silence.
#include "tone_player.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>

#include <dlfcn.h>

namespace {

// The library's functions that a tone uses, each with its declared type.
struct alsa_library {
    decltype(&snd_lib_error_set_handler) lib_error_set_handler;
    decltype(&snd_pcm_open) pcm_open;
    decltype(&snd_pcm_nonblock) pcm_nonblock;
    decltype(&snd_pcm_set_params) pcm_set_params;
    decltype(&snd_pcm_writei) pcm_writei;
    decltype(&snd_pcm_recover) pcm_recover;
    decltype(&snd_pcm_drain) pcm_drain;
    decltype(&snd_pcm_close) pcm_close;
    decltype(&snd_config_update_free_global) config_update_free_global;
};

template <typename Function>
bool look_up(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

std::optional<alsa_library> load_alsa()
{
    void* library = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return std::nullopt;
    }
    alsa_library alsa{};
    if (look_up(library, "snd_lib_error_set_handler", alsa.lib_error_set_handler) &&
        look_up(library, "snd_pcm_open", alsa.pcm_open) &&
        look_up(library, "snd_pcm_nonblock", alsa.pcm_nonblock) &&
        look_up(library, "snd_pcm_set_params", alsa.pcm_set_params) &&
        look_up(library, "snd_pcm_writei", alsa.pcm_writei) &&
        look_up(library, "snd_pcm_recover", alsa.pcm_recover) &&
        look_up(library, "snd_pcm_drain", alsa.pcm_drain) &&
        look_up(library, "snd_pcm_close", alsa.pcm_close) &&
        look_up(library, "snd_config_update_free_global", alsa.config_update_free_global)) {
        return alsa;
    }
    dlclose(library);
    return std::nullopt;
}

// Loaded once, on the first tone, and kept for the rest of the run; null without it.
const alsa_library* loaded_alsa()
{
    static const std::optional<alsa_library> loaded = load_alsa();
    return loaded ? &*loaded : nullptr;
}

constexpr unsigned sample_rate = 48'000;
constexpr double peak = 0.5 * 32'767; // half of full scale: clearly audible, never harsh
constexpr long fade_frames = sample_rate * 5 / 1000; // 5 ms in and out, so it does not click
constexpr long chunk_frames = 480;                   // 10 ms written at a time

// libasound reports every failure on standard error (eight lines when there is no sound
// card); a missing tone is not worth a word, so it says nothing.
void say_nothing(const char* /*file*/, int /*line*/, const char* /*function*/, int /*error*/,
                 const char* /*format*/, ...)
{
}

// Rises from 0 to 1 over the first fade_frames and falls back over the last ones, along a
// half cosine, which is gentler on the ear than a straight line.
double envelope(long frame, long total_frames)
{
    const long from_edge = std::min(frame, total_frames - 1 - frame);
    if (from_edge >= fade_frames) {
        return 1.0;
    }
    return 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(from_edge) / fade_frames);
}

std::int16_t sample(long frame, long total_frames, int frequency_hz)
{
    const double phase =
        2 * std::numbers::pi * frequency_hz * static_cast<double>(frame) / sample_rate;
    return static_cast<std::int16_t>(
        std::lround(peak * envelope(frame, total_frames) * std::sin(phase)));
}

// Writes the frames, recovering from an underrun or a suspend; false on a lasting error.
bool write_frames(const alsa_library& alsa, snd_pcm_t* pcm, const std::int16_t* frames, long count)
{
    while (count > 0) {
        const snd_pcm_sframes_t written =
            alsa.pcm_writei(pcm, frames, static_cast<snd_pcm_uframes_t>(count));
        if (written < 0) {
            if (alsa.pcm_recover(pcm, static_cast<int>(written), 1) < 0) {
                return false;
            }
            continue;
        }
        frames += written;
        count -= written;
    }
    return true;
}

void write_sine(const alsa_library& alsa, snd_pcm_t* pcm, int frequency_hz, long total_frames)
{
    std::int16_t chunk[chunk_frames];
    for (long start = 0; start < total_frames; start += chunk_frames) {
        const long count = std::min(chunk_frames, total_frames - start);
        for (long i = 0; i < count; ++i) {
            chunk[i] = sample(start + i, total_frames, frequency_hz);
        }
        if (!write_frames(alsa, pcm, chunk, count)) {
            return;
        }
    }
    alsa.pcm_drain(pcm);
}

} // namespace

void play_tone(int frequency_hz, std::chrono::milliseconds duration)
{
    const alsa_library* const library = loaded_alsa();
    if (library == nullptr) {
        return;
    }
    const alsa_library& alsa = *library;
    alsa.lib_error_set_handler(say_nothing);

    // Opened non-blocking so that a device held by another program makes the open fail
    // at once instead of waiting for it; writing then blocks as usual.
    snd_pcm_t* pcm = nullptr;
    if (alsa.pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) == 0) {
        constexpr unsigned latency_us = 100'000;
        if (alsa.pcm_nonblock(pcm, 0) == 0 &&
            alsa.pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                sample_rate, 1, latency_us) == 0) {
            write_sine(alsa, pcm, frequency_hz,
                       static_cast<long>(duration.count()) * sample_rate / 1000);
        }
        alsa.pcm_close(pcm);
    }
    // The library caches its configuration for the life of the process; freeing it after
    // each tone leaves nothing for a leak checker to report at exit.
    alsa.config_update_free_global();
}
