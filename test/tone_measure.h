// Measures recorded tones: where each one is, how long, at what pitch and how loud.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A run of sound within a recording, silence on both sides.
struct tone_span {
    std::size_t start = 0; // the first sample
    std::vector<std::int16_t> samples;
};

// The tones in a recording: runs of sound split by at least `gap_ms` of near-silence.
std::vector<tone_span> find_tones(const std::vector<std::int16_t>& recording, unsigned rate,
                                  unsigned gap_ms = 10);

// From the median time between rising zero crossings, each placed between its two
// samples by linear interpolation: accurate to far better than a hertz, and not thrown
// by a sound server that drops a period under load.
double frequency_of(const std::vector<std::int16_t>& samples, unsigned rate);

int peak_of(const std::vector<std::int16_t>& samples);
