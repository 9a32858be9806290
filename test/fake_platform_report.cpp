// Linked into the program built on the fake platform: when the program ends, its events
// are written to standard error, one line each, for the test that runs it to compare.
#include "fake_platform.h"

#include <cstdio>

namespace {

// Destroyed after main returns, when every event has been recorded. It asks for the list
// when it is made, so that the list is made first and outlives it.
struct report_at_exit {
    report_at_exit()
    {
        recorded_events();
    }
    report_at_exit(const report_at_exit&) = delete;
    report_at_exit& operator=(const report_at_exit&) = delete;
    ~report_at_exit()
    {
        for (const platform_event& event : recorded_events()) {
            std::fputs(describe(event).c_str(), stderr);
        }
    }
};

const report_at_exit report;

} // namespace
