// The tone driver for ALSA's "default" device: the sound card, or a plugin that forwards
// to a sound server.
#include "sound/dynamic_library.h"
#include "sound/tone_player.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <utility>

namespace {

// clang-format off
#define ALSA_FUNCTIONS(F)                                                                         \
    F(snd_lib_error_set_handler) F(snd_pcm_open) F(snd_pcm_set_params) F(snd_pcm_writei)          \
    F(snd_pcm_wait) F(snd_pcm_delay) F(snd_pcm_recover) F(snd_pcm_drop) F(snd_pcm_close)
// clang-format on

LIBRARY_RECORD(alsa_library, ALSA_FUNCTIONS)

const alsa_library* alsa = nullptr; // loaded by the first open and kept
snd_pcm_t* device = nullptr;        // open while tones come

// libasound reports every failure on standard error; a missing tone is not worth a word.
void say_nothing(const char* /*file*/, int /*line*/, const char* /*function*/, int /*error*/,
                 const char* /*format*/, ...)
{
}

// Writes the frames as the device makes room, recovering from an underrun or a suspend;
// false on a lasting error, or if they are not all written by the given time.
bool write_frames(const std::int16_t* samples, std::int64_t frames,
                  tone_clock::time_point give_up_at)
{
    int recoveries = 0;
    while (frames > 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(give_up_at - tone_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const auto written =
            alsa->snd_pcm_writei(device, samples, static_cast<snd_pcm_uframes_t>(frames));
        constexpr int silently = 1;
        if (written == -EAGAIN) {
            alsa->snd_pcm_wait(device, static_cast<int>(left.count()));
        } else if (written < 0 &&
                   (++recoveries > tone_times::most_recoveries ||
                    alsa->snd_pcm_recover(device, static_cast<int>(written), silently) < 0)) {
            return false;
        } else if (written > 0) {
            samples += written;
            frames -= written;
        }
    }
    return true;
}

void put_away()
{
    alsa->snd_pcm_drop(device); // what is left is past its time
    alsa->snd_pcm_close(std::exchange(device, nullptr));
}

// By the device's own delay, none before it has started.
std::optional<tone_clock::time_point> heard_at(tone_clock::time_point /*give_up_at*/)
{
    snd_pcm_sframes_t queued = 0;
    alsa->snd_pcm_delay(device, &queued);
    const std::int64_t frames = std::max<snd_pcm_sframes_t>(queued, 0); // 32 bits on i386
    return tone_clock::now() + std::chrono::microseconds(frames * 1'000'000 / tone_sample_rate);
}

// Opened non-blocking, so that a device held by another program fails the open at once,
// and each write waits for room no longer than the job's time.
bool open_alsa(tone_clock::time_point /*give_up_at*/)
{
    constexpr int allow_resampling = 1;
    constexpr auto buffer = std::chrono::microseconds(tone_times::alsa_buffer);
    if (!alsa_may_play() || (alsa = load_once<alsa_library>("libasound.so.2")) == nullptr) {
        return false;
    }
    alsa->snd_lib_error_set_handler(say_nothing);
    if (alsa->snd_pcm_open(&device, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) != 0) {
        device = nullptr;
    } else if (alsa->snd_pcm_set_params(device, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                                        tone_channels, tone_sample_rate, allow_resampling,
                                        static_cast<unsigned>(buffer.count())) != 0) {
        alsa->snd_pcm_close(std::exchange(device, nullptr));
    }
    return device != nullptr;
}

} // namespace

// The device is fed silence all through a pause, so that it never runs dry.
const tone_driver alsa_driver{.open = open_alsa,
                              .heard_at = heard_at,
                              .write = write_frames,
                              .close = put_away,
                              .ahead = std::chrono::hours(1)};
