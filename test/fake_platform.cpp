// The fake platform behind platform.h: records instead of waiting.
#include "fake_platform.h"

#include "platform.h"

#include <cstdio>

#include <unistd.h>

namespace {

// Standard output is a regular file in every test that reads offsets; elsewhere -1.
long stdout_offset()
{
    std::fflush(stdout);
    return static_cast<long>(lseek(STDOUT_FILENO, 0, SEEK_CUR));
}

void record(std::string what, int frequency_hz, std::chrono::milliseconds duration)
{
    recorded_events().push_back({std::move(what), frequency_hz, duration, stdout_offset()});
}

} // namespace

std::vector<platform_event>& recorded_events()
{
    static std::vector<platform_event> events;
    return events;
}

std::string describe(const platform_event& event)
{
    return event.what + " " + std::to_string(event.frequency_hz) + " Hz " +
           std::to_string(event.duration.count()) + " ms at byte " +
           std::to_string(event.stdout_offset) + "\n";
}

console_session::console_session() = default;
console_session::~console_session() = default;

void pause_for(std::chrono::milliseconds duration)
{
    record("pause", 0, duration);
}

void sound_tone(int frequency_hz, std::chrono::milliseconds duration)
{
    record("tone", frequency_hz, duration);
}

void wait_for_key()
{
    record("key", 0, std::chrono::milliseconds{0});
}

int exit_status()
{
    return 0;
}
