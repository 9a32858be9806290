// The tone driver for ALSA: the sine written to the "default" device, which is the sound
// card, or a plugin that forwards to a sound server. libasound is loaded at run time, on
// the sound thread, not when the program starts: loading and linking it takes about a
// millisecond, which would delay the title. A machine without libasound gets silence.
#include "sound/dynamic_library.h"
#include "sound/tone_player.h"
#include "sound/tone_wave.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

namespace {

// The library's functions that a tone uses, each with its declared type.
struct alsa_library {
    decltype(&snd_lib_error_set_handler) lib_error_set_handler;
    decltype(&snd_pcm_open) pcm_open;
    decltype(&snd_pcm_set_params) pcm_set_params;
    decltype(&snd_pcm_type) pcm_type;
    decltype(&snd_pcm_prepare) pcm_prepare;
    decltype(&snd_pcm_writei) pcm_writei;
    decltype(&snd_pcm_wait) pcm_wait;
    decltype(&snd_pcm_delay) pcm_delay;
    decltype(&snd_pcm_recover) pcm_recover;
    decltype(&snd_pcm_drop) pcm_drop;
    decltype(&snd_pcm_close) pcm_close;
    decltype(&snd_config_update_free_global) config_update_free_global;
};

// The library's table: which of its functions fills which member.
bool look_up_alsa(void* library, alsa_library& alsa)
{
    return look_up(library, "snd_lib_error_set_handler", alsa.lib_error_set_handler) &&
           look_up(library, "snd_pcm_open", alsa.pcm_open) &&
           look_up(library, "snd_pcm_set_params", alsa.pcm_set_params) &&
           look_up(library, "snd_pcm_type", alsa.pcm_type) &&
           look_up(library, "snd_pcm_prepare", alsa.pcm_prepare) &&
           look_up(library, "snd_pcm_writei", alsa.pcm_writei) &&
           look_up(library, "snd_pcm_wait", alsa.pcm_wait) &&
           look_up(library, "snd_pcm_delay", alsa.pcm_delay) &&
           look_up(library, "snd_pcm_recover", alsa.pcm_recover) &&
           look_up(library, "snd_pcm_drop", alsa.pcm_drop) &&
           look_up(library, "snd_pcm_close", alsa.pcm_close) &&
           look_up(library, "snd_config_update_free_global", alsa.config_update_free_global);
}

// Loaded once, by the first open, and kept for the rest of the run; null without it.
const alsa_library* loaded_alsa()
{
    return load_once("libasound.so.2", look_up_alsa);
}

// libasound reports every failure on standard error (eight lines when there is no sound
// card); a missing tone is not worth a word, so it says nothing.
void say_nothing(const char* /*file*/, int /*line*/, const char* /*function*/, int /*error*/,
                 const char* /*format*/, ...)
{
}

// Writes the frames as the device makes room for them, recovering from an underrun or a
// suspend; false on a lasting error, or if they are not all written by the given time (a
// server that is stalled, or at its default latency, may take none for seconds). Some
// plugins fail every write and report every recovery a success (PipeWire's, once its
// server has died), so recoveries are counted too.
bool write_frames(const alsa_library& alsa, snd_pcm_t* pcm, const std::int16_t* frames, long count,
                  tone_clock::time_point give_up_at)
{
    constexpr int most_recoveries = 3;
    int recoveries = 0;
    while (count > 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(give_up_at - tone_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const snd_pcm_sframes_t written =
            alsa.pcm_writei(pcm, frames, static_cast<snd_pcm_uframes_t>(count));
        if (written == -EAGAIN) {
            alsa.pcm_wait(pcm, static_cast<int>(left.count()));
            continue;
        }
        if (written < 0) {
            if (++recoveries > most_recoveries ||
                alsa.pcm_recover(pcm, static_cast<int>(written), 1) < 0) {
                return false;
            }
            continue;
        }
        frames += written;
        count -= written;
    }
    return true;
}

// Returns once the tone has been heard to end, as the device reckons it (a plugin's
// drain would also wait for its server's reply, which comes several milliseconds after
// the sound). A tone that the device will not have played by a little after its end is
// noise: this returns when it was due to end and says it came late, and the next pause
// drops what is left of it.
bool wait_until_heard(const alsa_library& alsa, snd_pcm_t* pcm, const tone_request& tone)
{
    snd_pcm_sframes_t queued = 0;
    if (alsa.pcm_delay(pcm, &queued) != 0) {
        std::this_thread::sleep_until(tone.end_by);
        return true; // it cannot tell
    }
    // The reckoning may be a fraction of a millisecond early: a greeting shown a moment
    // late is better than one shown over the end of its tone.
    constexpr auto margin = std::chrono::microseconds(500);
    const auto heard = tone_clock::now() + margin +
                       std::chrono::microseconds(std::max<snd_pcm_sframes_t>(queued, 0) *
                                                 1'000'000 / tone_sample_rate);
    if (heard <= tone.end_by + tone_grace) {
        std::this_thread::sleep_until(heard);
        return true;
    }
    std::this_thread::sleep_until(tone.end_by);
    return false;
}

// Plays the tone; false if it came late.
bool write_sine(const alsa_library& alsa, snd_pcm_t* pcm, const tone_request& tone)
{
    constexpr long chunk_frames = tone_sample_rate / 100; // 10 ms written at a time
    std::int16_t chunk[chunk_frames];
    const long total = static_cast<long>(tone.duration.count()) * tone_sample_rate / 1000;
    for (long start = 0; start < total; start += chunk_frames) {
        const long count = std::min(chunk_frames, total - start);
        for (long i = 0; i < count; ++i) {
            chunk[i] = tone_sample(start + i, total, tone.frequency_hz);
        }
        // A tone not all written by its end cannot be heard in time.
        if (!write_frames(alsa, pcm, chunk, count, tone.end_by)) {
            return false;
        }
    }
    return wait_until_heard(alsa, pcm, tone);
}

bool open_alsa(tone_clock::time_point /*give_up_at*/)
{
    const alsa_library* const alsa = loaded_alsa();
    if (alsa != nullptr) {
        alsa->lib_error_set_handler(say_nothing);
    }
    return alsa != nullptr;
}

// The device readied during the pause for the next tone, and the one whose tone has just
// ended (or been given up). That one is stopped at the start of the next pause, then
// closed or readied again: a plugin takes a few milliseconds over that, which the greeting
// need not wait for.
snd_pcm_t* readied = nullptr;
snd_pcm_t* played = nullptr;

// A plugin that forwards to a sound server is kept open for the next tone: the server
// mixes, so holding it keeps no other program out, and opening it again costs some 10 ms
// of CPU (PipeWire's loads its modules and starts threads each time). But a kept plugin
// rejoins its server only when its tone starts, and PipeWire, while another program held
// it at a long period, took some 50 ms over that: the tone came late. So once a tone has
// come late, the device is opened afresh for each tone.
bool keep_plugins = true;

// Opened non-blocking, so that a device held by another program makes the open fail at
// once instead of waiting for it, and so that each write waits for room no longer than
// the tone's time. None if it cannot be had.
snd_pcm_t* open_device(const alsa_library& alsa)
{
    snd_pcm_t* pcm = nullptr;
    if (alsa.pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) != 0) {
        return nullptr;
    }
    // The device starts when its buffer is full, which the tone's first frames fill at
    // once. With 20 ms, pipewire-alsa's stream ran dry now and then at PipeWire's
    // shortest periods.
    constexpr unsigned latency_us = 40'000;
    if (alsa.pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                            tone_sample_rate, 1, latency_us) != 0) {
        alsa.pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

void close_device(const alsa_library& alsa, snd_pcm_t* pcm)
{
    if (pcm != nullptr) {
        alsa.pcm_close(pcm);
    }
    // The library caches its configuration for the life of the process; freeing it with
    // each device leaves nothing for a leak checker to report at exit.
    alsa.config_update_free_global();
}

// Stops the device that played the last tone, and keeps it for the next tone or closes
// it, so that no more than one device is ever open.
void put_away_played(const alsa_library& alsa)
{
    if (played == nullptr) {
        return;
    }
    alsa.pcm_drop(played); // what is left of its tone is past its time
    if (keep_plugins && alsa.pcm_type(played) == SND_PCM_TYPE_IOPLUG &&
        alsa.pcm_prepare(played) == 0) {
        readied = played;
    } else {
        close_device(alsa, played);
    }
    played = nullptr;
}

// Opening takes a while (reading the configuration; a plugin connecting to its server:
// 20 ms for PipeWire's), so it is done late in the pause, not when the tone is due. A
// sound card is held only from then until its tone ends, not against other programs
// between tones.
void lead_in(tone_clock::time_point tone_due)
{
    const alsa_library& alsa = *loaded_alsa();
    put_away_played(alsa);
    std::this_thread::sleep_until(tone_due - std::chrono::milliseconds(100));
    if (readied == nullptr) {
        readied = open_device(alsa);
    }
}

// A device that is missing or busy means silence, not a failure: no later tone would
// find it otherwise.
bool play(const tone_request& tone)
{
    const alsa_library& alsa = *loaded_alsa();
    // The last tone's device is still there if the sound thread was busy when this
    // tone's pause began, and the pause's lead-in was skipped.
    put_away_played(alsa);
    snd_pcm_t* const pcm = readied != nullptr ? readied : open_device(alsa);
    readied = nullptr;
    if (pcm == nullptr) {
        close_device(alsa, nullptr);
        return true;
    }
    if (!write_sine(alsa, pcm, tone)) {
        keep_plugins = false;
    }
    played = pcm;
    return true;
}

void close_alsa()
{
    for (snd_pcm_t** const pcm : {&readied, &played}) {
        if (*pcm != nullptr) {
            close_device(*loaded_alsa(), *pcm);
            *pcm = nullptr;
        }
    }
}

} // namespace

const tone_driver alsa_driver{
    .open = open_alsa, .lead_in = lead_in, .play = play, .close = close_alsa};
