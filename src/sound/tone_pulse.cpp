// The tone driver for the desktop's sound server, through libpulse (PulseAudio, PipeWire's
// pulse server, WSLg), whose main loop it turns itself, never past the job's time.
#include "sound/dynamic_library.h"
#include "sound/tone_player.h"

#include <pulse/pulseaudio.h>

namespace {

// clang-format off
#define PULSE_FUNCTIONS(F)                                                                        \
    F(pa_mainloop_new) F(pa_mainloop_get_api) F(pa_mainloop_prepare) F(pa_mainloop_poll)          \
    F(pa_mainloop_dispatch) F(pa_mainloop_iterate) F(pa_mainloop_free) F(pa_context_new)          \
    F(pa_context_connect) F(pa_context_get_state) F(pa_context_disconnect) F(pa_context_unref)    \
    F(pa_stream_new) F(pa_stream_connect_playback) F(pa_stream_get_state) F(pa_stream_write)      \
    F(pa_stream_update_timing_info) F(pa_stream_get_latency) F(pa_stream_disconnect)              \
    F(pa_stream_unref) F(pa_operation_get_state) F(pa_operation_unref)
// clang-format on

LIBRARY_RECORD(pulse_library, PULSE_FUNCTIONS)

// The connection and its one stream, from open to close.
struct connection {
    const pulse_library* pa = nullptr; // loaded by the first open and kept
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
};
connection server;

// Turns the main loop until `done` holds; false if the time runs out first.
template <typename Done>
bool run_until(Done done, tone_clock::time_point give_up_at)
{
    const pulse_library& pa = *server.pa;
    while (!done()) {
        const auto left =
            std::chrono::ceil<std::chrono::microseconds>(give_up_at - tone_clock::now());
        if (left.count() <= 0 ||
            pa.pa_mainloop_prepare(server.loop, static_cast<int>(left.count())) < 0 ||
            pa.pa_mainloop_poll(server.loop) < 0 || pa.pa_mainloop_dispatch(server.loop) < 0) {
            return false;
        }
    }
    return true;
}

void close_server()
{
    const pulse_library& pa = *server.pa;
    if (server.stream != nullptr) {
        pa.pa_stream_disconnect(server.stream);
        pa.pa_stream_unref(server.stream);
    }
    if (server.context != nullptr) {
        pa.pa_context_disconnect(server.context);
        pa.pa_context_unref(server.context);
    }
    if (server.loop != nullptr) {
        pa.pa_mainloop_free(server.loop);
    }
    server = connection{.pa = server.pa};
}

// Connects, and opens the one stream, asking for server_buffer and for more no oftener.
bool connect(const pulse_library& pa, tone_clock::time_point give_up_at)
{
    server.loop = pa.pa_mainloop_new();
    if (server.loop == nullptr) {
        return false; // out of memory, or of file descriptors
    }
    server.context = pa.pa_context_new(pa.pa_mainloop_get_api(server.loop), "lowlevel-demo");
    // A demonstration has no business starting a sound server of its own.
    if (server.context == nullptr ||
        pa.pa_context_connect(server.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        !run_until([&] { return pa.pa_context_get_state(server.context) >= PA_CONTEXT_READY; },
                   give_up_at) ||
        pa.pa_context_get_state(server.context) != PA_CONTEXT_READY) {
        return false;
    }
    const pa_sample_spec format{
        .format = PA_SAMPLE_S16NE, .rate = tone_sample_rate, .channels = tone_channels};
    constexpr auto bytes = static_cast<std::uint32_t>(frames_in(tone_times::server_buffer) * 2);
    constexpr auto server_default = static_cast<std::uint32_t>(-1);
    const pa_buffer_attr buffer{.maxlength = server_default,
                                .tlength = bytes,
                                .prebuf = server_default,
                                .minreq = bytes,
                                .fragsize = server_default};
    server.stream = pa.pa_stream_new(server.context, "tone", &format, nullptr);
    return server.stream != nullptr &&
           pa.pa_stream_connect_playback(server.stream, nullptr, &buffer, PA_STREAM_ADJUST_LATENCY,
                                         nullptr, nullptr) == 0 &&
           run_until([&] { return pa.pa_stream_get_state(server.stream) >= PA_STREAM_READY; },
                     give_up_at) &&
           pa.pa_stream_get_state(server.stream) == PA_STREAM_READY;
}

bool open_server(tone_clock::time_point give_up_at)
{
    if (!sound_server_may_answer() ||
        (server.pa = load_once<pulse_library>("libpulse.so.0")) == nullptr) {
        return false;
    }
    if (!connect(*server.pa, give_up_at)) {
        close_server();
        return false;
    }
    return true;
}

// When a frame written now would be heard, by the server's latency.
std::optional<tone_clock::time_point> heard_at(tone_clock::time_point give_up_at)
{
    const pulse_library& pa = *server.pa;
    pa_operation* const updated = pa.pa_stream_update_timing_info(server.stream, nullptr, nullptr);
    if (updated == nullptr) {
        return std::nullopt;
    }
    const bool answered = run_until(
        [&] { return pa.pa_operation_get_state(updated) != PA_OPERATION_RUNNING; }, give_up_at);
    pa.pa_operation_unref(updated);
    pa_usec_t latency = 0;
    int negative = 0;
    if (!answered || !PA_STREAM_IS_GOOD(pa.pa_stream_get_state(server.stream)) ||
        pa.pa_stream_get_latency(server.stream, &latency, &negative) < 0) {
        return std::nullopt;
    }
    return tone_clock::now() + std::chrono::microseconds(negative != 0 ? 0 : latency);
}

// Sent on at once, without waiting.
bool send(const std::int16_t* samples, std::int64_t frames, tone_clock::time_point /*give_up_at*/)
{
    const auto bytes = static_cast<std::size_t>(frames) * sizeof *samples;
    const bool written = server.pa->pa_stream_write(server.stream, samples, bytes, nullptr, 0,
                                                    PA_SEEK_RELATIVE) == 0;
    server.pa->pa_mainloop_iterate(server.loop, 0, nullptr);
    return written;
}

} // namespace

// A stream given much more silence than it plays was seen to drop it: a pause's silence is
// written a lead before its end.
const tone_driver pulse_driver{.open = open_server,
                               .heard_at = heard_at,
                               .write = send,
                               .close = close_server,
                               .ahead = tone_times::lead};
