// The tone's samples, shared by the drivers: a sine with short fades, 16-bit mono.
#pragma once

#include <cstdint>

constexpr unsigned tone_sample_rate = 48'000;

// The sample at `frame` of a tone `total_frames` long.
std::int16_t tone_sample(long frame, long total_frames, int frequency_hz);
