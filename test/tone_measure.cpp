// Measures recorded tones.
#include "tone_measure.h"

#include <algorithm>
#include <cstdlib>

std::vector<tone_span> find_tones(const std::vector<std::int16_t>& recording, unsigned rate,
                                  unsigned gap_ms)
{
    constexpr int quiet = 20; // well below the first sample of a faded-in tone
    const std::size_t gap = std::size_t{rate} * gap_ms / 1000;
    std::vector<tone_span> tones;
    std::size_t i = 0;
    while (i < recording.size()) {
        if (std::abs(int{recording[i]}) <= quiet) {
            ++i;
            continue;
        }
        std::size_t last_loud = i;
        std::size_t j = i;
        for (; j < recording.size() && j - last_loud < gap; ++j) {
            if (std::abs(int{recording[j]}) > quiet) {
                last_loud = j;
            }
        }
        tones.push_back({i,
                         {recording.begin() + static_cast<long>(i),
                          recording.begin() + static_cast<long>(last_loud) + 1}});
        i = j;
    }
    return tones;
}

double frequency_of(const std::vector<std::int16_t>& samples, unsigned rate)
{
    std::vector<double> crossings;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const double before = samples[i - 1];
        const double after = samples[i];
        if (before < 0 && after >= 0) {
            crossings.push_back(static_cast<double>(i - 1) + before / (before - after));
        }
    }
    if (crossings.size() < 2) {
        return 0;
    }
    std::vector<double> periods;
    for (std::size_t i = 1; i < crossings.size(); ++i) {
        periods.push_back(crossings[i] - crossings[i - 1]);
    }
    std::nth_element(periods.begin(), periods.begin() + static_cast<long>(periods.size() / 2),
                     periods.end());
    return rate / periods[periods.size() / 2];
}

int peak_of(const std::vector<std::int16_t>& samples)
{
    int peak = 0;
    for (const std::int16_t sample : samples) {
        peak = std::max(peak, std::abs(int{sample}));
    }
    return peak;
}
