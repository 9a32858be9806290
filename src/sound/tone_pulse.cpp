// The tone driver for the desktop's sound server, through its own client library
// (PulseAudio's, which PipeWire's pulse server speaks too). libpulse is loaded at run
// time, so a machine without it still runs, and only where a server may answer.
// Everything goes through a main loop that this driver turns itself, never longer than
// the tone's own time: a server that is stopped, stalls or dies can cost a tone, never the
// run's pace.
#include "sound/dynamic_library.h"
#include "sound/tone_player.h"
#include "sound/tone_routes.h"
#include "sound/tone_wave.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <thread>

namespace {

// The library's functions that a tone uses, each with its declared type.
struct pulse_library {
    decltype(&pa_mainloop_new) mainloop_new;
    decltype(&pa_mainloop_get_api) mainloop_get_api;
    decltype(&pa_mainloop_prepare) mainloop_prepare;
    decltype(&pa_mainloop_poll) mainloop_poll;
    decltype(&pa_mainloop_dispatch) mainloop_dispatch;
    decltype(&pa_mainloop_free) mainloop_free;
    decltype(&pa_context_new) context_new;
    decltype(&pa_context_connect) context_connect;
    decltype(&pa_context_get_state) context_get_state;
    decltype(&pa_context_disconnect) context_disconnect;
    decltype(&pa_context_unref) context_unref;
    decltype(&pa_stream_new) stream_new;
    decltype(&pa_stream_connect_playback) stream_connect_playback;
    decltype(&pa_stream_get_state) stream_get_state;
    decltype(&pa_stream_write) stream_write;
    decltype(&pa_stream_update_timing_info) stream_update_timing_info;
    decltype(&pa_stream_get_latency) stream_get_latency;
    decltype(&pa_stream_get_timing_info) stream_get_timing_info;
    decltype(&pa_stream_flush) stream_flush;
    decltype(&pa_stream_disconnect) stream_disconnect;
    decltype(&pa_stream_unref) stream_unref;
    decltype(&pa_operation_get_state) operation_get_state;
    decltype(&pa_operation_unref) operation_unref;
};

// The library's table: which of its functions fills which member.
bool look_up_pulse(void* library, pulse_library& pa)
{
    return look_up(library, "pa_mainloop_new", pa.mainloop_new) &&
           look_up(library, "pa_mainloop_get_api", pa.mainloop_get_api) &&
           look_up(library, "pa_mainloop_prepare", pa.mainloop_prepare) &&
           look_up(library, "pa_mainloop_poll", pa.mainloop_poll) &&
           look_up(library, "pa_mainloop_dispatch", pa.mainloop_dispatch) &&
           look_up(library, "pa_mainloop_free", pa.mainloop_free) &&
           look_up(library, "pa_context_new", pa.context_new) &&
           look_up(library, "pa_context_connect", pa.context_connect) &&
           look_up(library, "pa_context_get_state", pa.context_get_state) &&
           look_up(library, "pa_context_disconnect", pa.context_disconnect) &&
           look_up(library, "pa_context_unref", pa.context_unref) &&
           look_up(library, "pa_stream_new", pa.stream_new) &&
           look_up(library, "pa_stream_connect_playback", pa.stream_connect_playback) &&
           look_up(library, "pa_stream_get_state", pa.stream_get_state) &&
           look_up(library, "pa_stream_write", pa.stream_write) &&
           look_up(library, "pa_stream_update_timing_info", pa.stream_update_timing_info) &&
           look_up(library, "pa_stream_get_latency", pa.stream_get_latency) &&
           look_up(library, "pa_stream_get_timing_info", pa.stream_get_timing_info) &&
           look_up(library, "pa_stream_flush", pa.stream_flush) &&
           look_up(library, "pa_stream_disconnect", pa.stream_disconnect) &&
           look_up(library, "pa_stream_unref", pa.stream_unref) &&
           look_up(library, "pa_operation_get_state", pa.operation_get_state) &&
           look_up(library, "pa_operation_unref", pa.operation_unref);
}

// A tone is made and sent this much at a time: the server holds all of it.
constexpr long chunk_frames = frames_in(std::chrono::milliseconds(100));

// Silence follows each tone, because a server may hold back the end of a stream until more
// comes (PipeWire's keeps the last part of a period), and enough of it that the stream
// does not run dry while the next pause reckons how much silence it needs.
constexpr auto trailer = std::chrono::milliseconds(50);

// The connection to the server and the one stream that plays every tone, from open to
// close. Only the sound thread touches them.
struct connection {
    const pulse_library* pa = nullptr; // the library, loaded by the first open and kept
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    bool just_connected = true; // nothing has been written to the stream yet
};
connection server;

// Turns the main loop until `done` holds; false if the time runs out first.
template <typename Done>
bool run_until(Done done, tone_clock::time_point give_up_at)
{
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(give_up_at - tone_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const pulse_library& pa = *server.pa;
        if (pa.mainloop_prepare(server.loop, static_cast<int>(left.count())) < 0 ||
            pa.mainloop_poll(server.loop) < 0 || pa.mainloop_dispatch(server.loop) < 0) {
            return false;
        }
    }
    return true;
}

// One turn of the main loop without waiting, so that what was just asked of the server
// is sent now.
void send_now()
{
    const pulse_library& pa = *server.pa;
    if (pa.mainloop_prepare(server.loop, 0) >= 0 && pa.mainloop_poll(server.loop) >= 0) {
        pa.mainloop_dispatch(server.loop);
    }
}

void close_server()
{
    const pulse_library& pa = *server.pa;
    if (server.stream != nullptr) {
        pa.stream_disconnect(server.stream);
        pa.stream_unref(server.stream);
    }
    if (server.context != nullptr) {
        pa.context_disconnect(server.context);
        pa.context_unref(server.context);
    }
    if (server.loop != nullptr) {
        pa.mainloop_free(server.loop);
    }
    server = connection{};
}

bool connect_context(tone_clock::time_point give_up_at)
{
    const pulse_library& pa = *server.pa;
    server.loop = pa.mainloop_new();
    if (server.loop == nullptr) {
        return false; // out of memory, or of file descriptors for the loop's wake-up pipe
    }
    server.context = pa.context_new(pa.mainloop_get_api(server.loop), "lowlevel-demo");
    // A demonstration has no business starting a sound server of its own.
    if (server.context == nullptr ||
        pa.context_connect(server.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return false;
    }
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;
    const auto settled = [&] {
        state = pa.context_get_state(server.context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    return run_until(settled, give_up_at) && state == PA_CONTEXT_READY;
}

// The stream stays connected for the whole run, silent between tones, so that the server
// keeps the low latency it asks for: a sound server left at its default renders up to
// two seconds ahead, and a tone would be heard that much late.
bool connect_stream(tone_clock::time_point give_up_at)
{
    const pulse_library& pa = *server.pa;
    const pa_sample_spec format{
        .format = PA_SAMPLE_S16LE, .rate = tone_sample_rate, .channels = tone_channels};
    server.stream = pa.stream_new(server.context, "tone", &format, nullptr);
    if (server.stream == nullptr) {
        return false;
    }
    // Playback starts as soon as this much is written, and the server runs at about this
    // latency for us. It asks for more no oftener than that: PipeWire's would ask every
    // period, even while the stream holds half a second, and each request costs the sound
    // thread a turn of its loop.
    constexpr auto latency = std::chrono::milliseconds(10);
    constexpr auto latency_bytes =
        static_cast<std::uint32_t>(frames_in(latency) * tone_frame_bytes);
    constexpr std::uint32_t server_default = static_cast<std::uint32_t>(-1);
    const pa_buffer_attr buffer{.maxlength = server_default,
                                .tlength = latency_bytes,
                                .prebuf = server_default,
                                .minreq = latency_bytes,
                                .fragsize = server_default};
    if (pa.stream_connect_playback(server.stream, nullptr, &buffer, PA_STREAM_ADJUST_LATENCY,
                                   nullptr, nullptr) < 0) {
        return false;
    }
    pa_stream_state_t state = PA_STREAM_UNCONNECTED;
    const auto settled = [&] {
        state = pa.stream_get_state(server.stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    };
    return run_until(settled, give_up_at) && state == PA_STREAM_READY;
}

bool open_server(tone_clock::time_point give_up_at)
{
    if (!sound_server_may_answer()) {
        return false;
    }
    server.pa = load_once("libpulse.so.0", look_up_pulse);
    if (server.pa == nullptr) {
        return false;
    }
    if (!connect_context(give_up_at) || !connect_stream(give_up_at)) {
        close_server();
        return false;
    }
    return true;
}

// Sends `total` frames, each from `frame_at`: the server holds them and plays them out in
// time. Each chunk goes as soon as it is made, as the server may be about to take the
// first while the rest are still being made.
template <typename Frame>
bool send_frames(long total, Frame frame_at)
{
    return write_in_chunks<chunk_frames>(total, frame_at, [](std::span<const std::int16_t> chunk) {
        if (server.pa->stream_write(server.stream, chunk.data(), chunk.size_bytes(), nullptr, 0,
                                    PA_SEEK_RELATIVE) < 0) {
            return false;
        }
        send_now();
        return true;
    });
}

bool send_silence(std::chrono::microseconds time)
{
    return send_frames(frames_in(time), [](long) -> std::int16_t { return 0; });
}

// What becomes of the last sample written so far: the server takes it from the stream's
// buffer after `taken_after` and mixes it into what the speaker will play, and it has been
// heard by `heard_by`.
struct reckoning {
    tone_clock::time_point taken_after;
    tone_clock::time_point heard_by;
};

// The server's reckoning, as it stands now; none if it does not answer by the given time.
std::optional<reckoning> reckon_once(tone_clock::time_point give_up_at)
{
    const pulse_library& pa = *server.pa;
    pa_operation* const updated = pa.stream_update_timing_info(server.stream, nullptr, nullptr);
    if (updated == nullptr) {
        return std::nullopt;
    }
    const bool answered = run_until(
        [&] { return pa.operation_get_state(updated) != PA_OPERATION_RUNNING; }, give_up_at);
    pa.operation_unref(updated);
    pa_usec_t latency = 0;
    int negative = 0;
    const pa_timing_info* const timing = pa.stream_get_timing_info(server.stream);
    if (!answered || timing == nullptr ||
        pa.stream_get_latency(server.stream, &latency, &negative) < 0) {
        return std::nullopt;
    }
    const tone_clock::time_point now = tone_clock::now();
    const auto heard = std::chrono::microseconds(negative != 0 ? 0 : latency);
    // The sink's own latency is what it has mixed already and not yet played.
    const auto mixed_ahead = std::min(heard, std::chrono::microseconds(timing->sink_usec));
    return reckoning{.taken_after = now + heard - mixed_ahead, .heard_by = now + heard};
}

// PipeWire moves a stream's position on once a period (every few milliseconds), so its
// reckoning goes stale through the period, later by each millisecond that passes. Across
// a period, the earliest reckoning is the fresh one, which tells when the server may take
// the sample, and the latest tells to within a millisecond when it is heard: a period
// later. So it is read every millisecond for as long as a period, unless it holds still
// (PulseAudio's reckoning is smooth).
std::optional<reckoning> reckon(tone_clock::time_point give_up_at)
{
    constexpr int readings = 8; // across a period of up to 8 ms
    constexpr auto still = std::chrono::microseconds(200);
    std::optional<reckoning> span;
    for (int reading = 0; reading < readings; ++reading) {
        if (reading > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::optional<reckoning> latest = reckon_once(give_up_at);
        if (!latest) {
            return std::nullopt;
        }
        if (!span) {
            span = latest;
            continue;
        }
        const auto moved = latest->heard_by - span->heard_by;
        span = reckoning{.taken_after = std::min(span->taken_after, latest->taken_after),
                         .heard_by = std::max(span->heard_by, latest->heard_by)};
        if (moved > -still && moved < still) {
            break;
        }
    }
    return span;
}

// Fills the pause with silence up to the tone's start, so that the tone follows on
// without a gap. The stream never runs dry: a server restarting a dry stream re-renders
// what it had played ahead, starts it on its next period and may skip the start of what
// comes next. The tone is written only when it is asked for, so the server must not take
// the end of the silence before a little after the tone's due time.
//
// A stream just connected starts only a lead ahead of its first tone: until then the
// server may still be settling the latency that the stream asked for, and a reckoning made
// then can be far out.
void lead_in(tone_clock::time_point tone_due)
{
    constexpr auto overlap = std::chrono::milliseconds(2);
    if (server.just_connected) {
        std::this_thread::sleep_until(tone_due - tone_lead);
        server.just_connected = false;
    }
    const std::optional<reckoning> reckoned = reckon(tone_due);
    if (!reckoned) {
        return;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        tone_due + overlap - std::max(reckoned->taken_after, tone_clock::now()));
    if (left.count() > 0) {
        send_silence(left);
    }
}

// Returns once the tone has been heard to end, as the server reckons it; its own "drained"
// reply is not waited for, as it comes well after the sound. A tone that the server will
// not have played by a little after its end is noise: it returns when the tone was due to
// end, and whatever the server has not played of it is dropped.
bool play(const tone_request& tone)
{
    const pulse_library& pa = *server.pa;
    const long total = frames_in(tone.duration);
    const auto sample = [&](long frame) { return tone_sample(frame, total, tone.frequency_hz); };
    if (!send_frames(total, sample) || !send_silence(trailer)) {
        return false;
    }
    const std::optional<reckoning> reckoned = reckon(tone.end_by + tone_grace);
    std::optional<tone_clock::time_point> heard;
    if (reckoned) {
        heard = reckoned->heard_by - trailer;
    }
    if (!sleep_until_heard(tone, heard)) {
        pa_operation* const flushed = pa.stream_flush(server.stream, nullptr, nullptr);
        if (flushed != nullptr) {
            pa.operation_unref(flushed);
        }
    }
    send_now();
    return PA_CONTEXT_IS_GOOD(pa.context_get_state(server.context)) &&
           PA_STREAM_IS_GOOD(pa.stream_get_state(server.stream));
}

} // namespace

const tone_driver pulse_driver{
    .open = open_server, .lead_in = lead_in, .play = play, .close = close_server};
