// The tone's samples, which the Linux sound drivers and the web page both play: a sine with
// short fades, 16-bit mono at 48 kHz.
#pragma once

#include <chrono>
#include <cstdint>

constexpr unsigned tone_sample_rate = 48'000;
constexpr unsigned tone_channels = 1; // mono: a frame is one sample

// The whole frames that fit in `time`, taken to the microsecond above, in 64 bits.
constexpr std::int64_t frames_in(std::chrono::nanoseconds time)
{
    return std::chrono::ceil<std::chrono::microseconds>(time).count() * tone_sample_rate /
           1'000'000;
}

// The sample at `frame` of a tone `total_frames` long.
std::int16_t tone_sample(long frame, long total_frames, int frequency_hz);
