// The tone's samples: half of full scale, faded in and out so that it does not click.
#include "platform/tone_wave.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double peak = 0.5 * 32'767; // clearly audible, never harsh
constexpr long fade_frames = frames_in(std::chrono::milliseconds(5)); // in and out

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

} // namespace

std::int16_t tone_sample(long frame, long total_frames, int frequency_hz)
{
    const double phase =
        2 * std::numbers::pi * frequency_hz * static_cast<double>(frame) / tone_sample_rate;
    return static_cast<std::int16_t>(
        std::lround(peak * envelope(frame, total_frames) * std::sin(phase)));
}
