// The tone's samples, which the Linux sound drivers and the web page both play: a sine with
// short fades, 16-bit mono at 48 kHz.
#pragma once

#include <cstdint>

constexpr unsigned tone_sample_rate = 48'000;
constexpr unsigned tone_channels = 1; // mono: a frame is one sample

// The sample at `frame` of a tone `total_frames` long.
std::int16_t tone_sample(long frame, long total_frames, int frequency_hz);
