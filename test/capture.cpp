// Standard output is redirected at the level of the file descriptor, so what is captured
// is what printf and putchar really wrote, byte for byte.
#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

captured capture(const std::function<void()>& run)
{
    char path[] = "/tmp/lowlevel-demo-capture-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0) {
        throw std::runtime_error("cannot create a capture file");
    }
    std::fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    close(file);
    recorded_events().clear();

    run();

    std::fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);

    std::ifstream in(path, std::ios::binary);
    captured result{std::string(std::istreambuf_iterator<char>(in), {}), recorded_events()};
    unlink(path);
    return result;
}
