// Runs a piece of the demonstration with standard output sent to a file, and returns the
// exact bytes it wrote with the platform events it caused.
#pragma once

#include "fake_platform.h"

#include <functional>
#include <string>
#include <vector>

struct captured {
    std::string output;
    std::vector<platform_event> events;
};

captured capture(const std::function<void()>& run);
