// The tone driver for ALSA's "default" device: the sound card, or a plugin that forwards
// to a sound server. The device is opened a lead before the first tone and put away once
// the last has been heard, so that nothing is held while the prompt waits.
#include "sound/dynamic_library.h"
#include "sound/tone_player.h"
#include "sound/tone_wave.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <thread>
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

// Opened non-blocking, so that a device held by another program fails the open at once,
// and each write waits for room no longer than the tone's time.
void open_device()
{
    constexpr int allow_resampling = 1;
    constexpr auto buffer = std::chrono::microseconds(tone_times::alsa_buffer);
    if (alsa->snd_pcm_open(&device, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) != 0) {
        device = nullptr;
    } else if (alsa->snd_pcm_set_params(device, SND_PCM_FORMAT_S16,
                                        SND_PCM_ACCESS_RW_INTERLEAVED, tone_channels,
                                        tone_sample_rate, allow_resampling,
                                        static_cast<unsigned>(buffer.count())) != 0) {
        alsa->snd_pcm_close(std::exchange(device, nullptr));
    }
}

// Writes the frames as the device makes room, recovering from an underrun or a suspend;
// false on a lasting error, or if they are not all written by the given time (a server
// that is stalled may take none for seconds).
bool write_frames(const std::int16_t* samples, std::int64_t frames,
                  tone_clock::time_point give_up_at, int& recoveries)
{
    while (frames > 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(give_up_at - tone_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const auto written =
            alsa->snd_pcm_writei(device, samples, static_cast<snd_pcm_uframes_t>(frames));
        if (written == -EAGAIN) {
            alsa->snd_pcm_wait(device, static_cast<int>(left.count()));
        } else if (written < 0) {
            constexpr int silently = 1;
            if (++recoveries > tone_times::most_recoveries ||
                alsa->snd_pcm_recover(device, static_cast<int>(written), silently) < 0) {
                return false;
            }
        } else {
            samples += written;
            frames -= written;
        }
    }
    return true;
}

void put_away()
{
    if (device != nullptr) {
        alsa->snd_pcm_drop(device); // what is left is past its time
        alsa->snd_pcm_close(device);
        device = nullptr;
    }
}

// How long until a frame written now is heard, by the device's own delay; none if it
// cannot tell. A plugin's drain would also wait for its server's reply.
std::optional<std::chrono::microseconds> ahead()
{
    snd_pcm_sframes_t queued = 0;
    if (alsa->snd_pcm_delay(device, &queued) != 0) {
        return std::nullopt;
    }
    return time_of(std::max<snd_pcm_sframes_t>(queued, 0));
}

// The device is kept while tones come, with silence between them, so that its delay
// tells when a tone will be heard. A device that is missing or busy means silence, not a
// failure: the next job looks again.
job_result play(const tone_job& job)
{
    if (device == nullptr) {
        std::this_thread::sleep_until(job.due - tone_times::lead);
        open_device();
    }
    if (device == nullptr) {
        return job_result::silent;
    }
    int recoveries = 0;
    const auto give_up_at = job.tone ? job.tone->end_by : job.due;
    const auto write = [&](const std::int16_t* samples, std::int64_t frames) {
        return write_frames(samples, frames, give_up_at, recoveries);
    };
    const auto queued = ahead().value_or(std::chrono::microseconds(0)); // none before a start
    if (!job.tone) { // silence heard until the pause's end, where the tone follows
        const auto heard = tone_clock::now() + queued;
        if (write_samples(frames_in(job.due - heard), 0, 0, 0, write)) {
            return heard <= job.due ? job_result::on_time : job_result::silent;
        }
    } else if (job.tone && write_samples(0, frames_in(job.tone->duration),
                                         frames_in(tone_times::trailer),
                                         job.tone->frequency_hz, write)) {
        if (const auto left = ahead()) {
            return sleep_until_heard(*job.tone, tone_clock::now() + *left) ? job_result::on_time
                                                                           : job_result::silent;
        }
    }
    std::this_thread::sleep_until(give_up_at);
    put_away();
    return job_result::silent;
}

bool open_alsa(tone_clock::time_point /*give_up_at*/)
{
    if (!alsa_may_play() || (alsa = load_once<alsa_library>("libasound.so.2")) == nullptr) {
        return false;
    }
    alsa->snd_lib_error_set_handler(say_nothing);
    return true;
}

} // namespace

// The configuration the library parsed at the first open is kept for the run.
const tone_driver alsa_driver{.open = open_alsa, .play = play, .close = put_away};
