// The tone's samples, shared by the drivers and the web build: a sine with short fades,
// 16-bit mono, and the conversions between time and frames at its rate, in 64 bits.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>

constexpr unsigned tone_sample_rate = 48'000;
constexpr unsigned tone_channels = 1; // mono: a frame is one sample

// The whole frames that fit in `time`, taken to the microsecond above.
constexpr std::int64_t frames_in(std::chrono::nanoseconds time)
{
    return std::chrono::ceil<std::chrono::microseconds>(time).count() * tone_sample_rate /
           1'000'000;
}

// How long `frames` take to play, to the microsecond below.
constexpr std::chrono::microseconds time_of(std::int64_t frames)
{
    return std::chrono::microseconds(frames * 1'000'000 / tone_sample_rate);
}

// The sample at `frame` of a tone `total_frames` long.
std::int16_t tone_sample(long frame, long total_frames, int frequency_hz);

// Makes `silence` frames of silence (none if negative), a tone `total` frames long and
// `trailer` frames of silence, and hands them to `write(samples, frames)` 10 ms at a time,
// so that the device takes the first before the rest are made; false once `write` is.
template <typename Write>
bool write_samples(std::int64_t silence, std::int64_t total, std::int64_t trailer, int frequency_hz,
                   Write write)
{
    std::int16_t chunk[tone_sample_rate / 100];
    silence = std::max<std::int64_t>(silence, 0);
    const std::int64_t end = silence + total + trailer;
    for (std::int64_t start = 0; start < end;) {
        const std::int64_t count = std::min<std::int64_t>(std::size(chunk), end - start);
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int64_t frame = start + i - silence;
            chunk[i] =
                frame < 0 || frame >= total
                    ? std::int16_t{0}
                    : tone_sample(static_cast<long>(frame), static_cast<long>(total), frequency_hz);
        }
        if (!write(chunk, count)) {
            return false;
        }
        start += count;
    }
    return true;
}
