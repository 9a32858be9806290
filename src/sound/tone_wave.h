// The tone's samples, shared by the drivers: a sine with short fades, 16-bit mono, and
// the conversions between time and frames at its rate.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr unsigned tone_sample_rate = 48'000;
constexpr unsigned tone_channels = 1; // mono: a frame is one sample
constexpr std::size_t tone_frame_bytes = sizeof(std::int16_t) * tone_channels;

// The whole frames that fit in `time`.
constexpr long frames_in(std::chrono::microseconds time)
{
    return static_cast<long>(time.count() * tone_sample_rate / 1'000'000);
}

// How long `frames` take to play, to the microsecond below.
constexpr std::chrono::microseconds time_of(long frames)
{
    return std::chrono::microseconds(frames * 1'000'000 / tone_sample_rate);
}

// The sample at `frame` of a tone `total_frames` long.
std::int16_t tone_sample(long frame, long total_frames, int frequency_hz);

// Makes `total` frames with `frame_at`, `chunk_frames` at a time, and hands each chunk to
// `write` as soon as it is made, so that the device may take the first while the rest are
// still being made; false as soon as `write` says false.
template <long chunk_frames, typename Frame, typename Write>
bool write_in_chunks(long total, Frame frame_at, Write write)
{
    std::int16_t chunk[chunk_frames];
    for (long start = 0; start < total; start += chunk_frames) {
        const long count = std::min(chunk_frames, total - start);
        for (long i = 0; i < count; ++i) {
            chunk[i] = frame_at(start + i);
        }
        if (!write(std::span<const std::int16_t>(chunk, static_cast<std::size_t>(count)))) {
            return false;
        }
    }
    return true;
}
