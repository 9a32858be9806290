// The tone driver for ALSA: the sine written to the "default" device, which is the sound
// card, or a plugin that forwards to a sound server. libasound is loaded at run time, on
// the sound thread, so that loading it does not delay the title, and only where ALSA may
// lead somewhere; a machine without it gets silence.
#include "sound/dynamic_library.h"
#include "sound/tone_player.h"
#include "sound/tone_routes.h"
#include "sound/tone_wave.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <span>
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

// The device plays this far behind the writes, and starts once this much is written: a
// shorter buffer lets PipeWire's plugin run dry at its shortest periods.
constexpr auto device_latency = std::chrono::milliseconds(40);

// The tone is made and written this much at a time, a quarter of the device's buffer.
constexpr long chunk_frames = frames_in(std::chrono::milliseconds(10));

// Some plugins fail every write and call every recovery a success (PipeWire's, once its
// server has died), so the recoveries during one tone are counted, up to this many.
constexpr int most_recoveries = 3;

// The library, found by the first open and kept for the rest of the run.
const alsa_library* alsa = nullptr;

// The device readied during the pause for the next tone, and the one whose tone has just
// ended (or been given up). That one is stopped at the start of the next pause or tone,
// then closed or readied again: a plugin takes a few milliseconds over that, which the
// greeting need not wait for. No more than one of the two is open at a time.
snd_pcm_t* readied = nullptr;
snd_pcm_t* played = nullptr;

// A plugin that forwards to a sound server is kept open for the next tone: the server
// mixes, so holding it keeps no other program out, and opening it again costs CPU. But a
// kept plugin rejoins its server only when its tone starts, which can make the tone late;
// so once a tone has come late, the device is opened afresh for each tone.
bool keep_plugins = true;

// libasound reports every failure on standard error (eight lines when there is no sound
// card); a missing tone is not worth a word, so it says nothing.
void say_nothing(const char* /*file*/, int /*line*/, const char* /*function*/, int /*error*/,
                 const char* /*format*/, ...)
{
}

// Writes the frames as the device makes room for them, recovering from an underrun or a
// suspend; false on a lasting error, or if they are not all written by the given time (a
// server that is stalled, or at its default latency, may take none for seconds).
bool write_frames(snd_pcm_t* pcm, std::span<const std::int16_t> frames,
                  tone_clock::time_point give_up_at)
{
    constexpr int silently = 1; // snd_pcm_recover prints nothing
    int recoveries = 0;
    while (!frames.empty()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(give_up_at - tone_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const snd_pcm_sframes_t written = alsa->pcm_writei(pcm, frames.data(), frames.size());
        if (written == -EAGAIN) {
            alsa->pcm_wait(pcm, static_cast<int>(left.count()));
        } else if (written < 0) {
            if (++recoveries > most_recoveries ||
                alsa->pcm_recover(pcm, static_cast<int>(written), silently) < 0) {
                return false;
            }
        } else {
            frames = frames.subspan(static_cast<std::size_t>(written));
        }
    }
    return true;
}

// Returns once the tone has been heard to end, as the device reckons it by the frames it
// has yet to play (a plugin's drain would also wait for its server's reply, which comes
// after the sound); false if it came late, and the next pause drops what is left of it.
bool wait_until_heard(snd_pcm_t* pcm, const tone_request& tone)
{
    snd_pcm_sframes_t queued = 0;
    if (alsa->pcm_delay(pcm, &queued) != 0) {
        std::this_thread::sleep_until(tone.end_by);
        return true; // it cannot tell
    }
    return sleep_until_heard(tone,
                             tone_clock::now() + time_of(std::max<snd_pcm_sframes_t>(queued, 0)));
}

// Plays the tone; false if it came late.
bool write_sine(snd_pcm_t* pcm, const tone_request& tone)
{
    const long total = frames_in(tone.duration);
    const auto sample = [&](long frame) { return tone_sample(frame, total, tone.frequency_hz); };
    // A tone not all written by its end cannot be heard in time.
    const auto write = [&](std::span<const std::int16_t> chunk) {
        return write_frames(pcm, chunk, tone.end_by);
    };
    return write_in_chunks<chunk_frames>(total, sample, write) && wait_until_heard(pcm, tone);
}

bool open_alsa(tone_clock::time_point /*give_up_at*/)
{
    if (!alsa_may_play()) {
        return false;
    }
    alsa = load_once("libasound.so.2", look_up_alsa);
    if (alsa != nullptr) {
        alsa->lib_error_set_handler(say_nothing);
    }
    return alsa != nullptr;
}

// Opened non-blocking, so that a device held by another program makes the open fail at
// once instead of waiting for it, and so that each write waits for room no longer than
// the tone's time. None if it cannot be had.
snd_pcm_t* open_device()
{
    snd_pcm_t* pcm = nullptr;
    if (alsa->pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) != 0) {
        return nullptr;
    }
    constexpr int allow_resampling = 1;
    const auto latency = std::chrono::microseconds(device_latency);
    if (alsa->pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                             tone_channels, tone_sample_rate, allow_resampling,
                             static_cast<unsigned>(latency.count())) != 0) {
        alsa->pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

// Closes the device, if there is one. The library caches its configuration for the life
// of the process; freeing it with each device leaves nothing for a leak checker to report
// at exit.
void close_device(snd_pcm_t* pcm)
{
    if (pcm != nullptr) {
        alsa->pcm_close(pcm);
    }
    alsa->config_update_free_global();
}

// Stops the device that played the last tone (what is left of its tone is past its time),
// then keeps it for the next tone or closes it.
void put_away_played()
{
    if (played == nullptr) {
        return;
    }
    alsa->pcm_drop(played);
    if (keep_plugins && alsa->pcm_type(played) == SND_PCM_TYPE_IOPLUG &&
        alsa->pcm_prepare(played) == 0) {
        readied = played;
    } else {
        close_device(played);
    }
    played = nullptr;
}

// Opening takes a while (reading the configuration, a plugin connecting to its server),
// so it is done a lead ahead of the tone; and no earlier, so that a sound card is held
// only around its tone, not against other programs between tones.
void lead_in(tone_clock::time_point tone_due)
{
    put_away_played();
    std::this_thread::sleep_until(tone_due - tone_lead);
    if (readied == nullptr) {
        readied = open_device();
    }
}

// A device that is missing or busy means silence, not a failure: no later tone would
// find it otherwise.
bool play(const tone_request& tone)
{
    // The last tone's device is still there if the sound thread was busy when this
    // tone's pause began, and the pause's lead-in was skipped.
    put_away_played();
    snd_pcm_t* const pcm = readied != nullptr ? readied : open_device();
    readied = nullptr;
    if (pcm == nullptr) {
        close_device(nullptr);
        return true;
    }
    if (!write_sine(pcm, tone)) {
        keep_plugins = false;
    }
    played = pcm;
    return true;
}

void close_alsa()
{
    for (snd_pcm_t** const pcm : {&readied, &played}) {
        if (*pcm != nullptr) {
            close_device(*pcm);
            *pcm = nullptr;
        }
    }
}

} // namespace

const tone_driver alsa_driver{
    .open = open_alsa, .lead_in = lead_in, .play = play, .close = close_alsa};
