// A platform that waits for nothing: it records each pause, tone and key wait, with how
// many bytes standard output held at that moment, so tests can check what was printed
// before and after each wait without taking any time.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct platform_event {
    std::string what; // "pause", "tone" or "key"
    int frequency_hz = 0;
    std::chrono::milliseconds duration{0};
    long stdout_offset = -1; // bytes written to standard output before the event

    bool operator==(const platform_event&) const = default;
};

// Every event since the program started or the list was last cleared.
std::vector<platform_event>& recorded_events();

// One line per event, as the fake program reports them on standard error.
std::string describe(const platform_event& event);
