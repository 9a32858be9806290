// Whether a tone could be heard at all, told without loading a sound library: a machine
// with no sound (a build machine, a server over SSH) then loads neither, which would cost
// it megabytes and milliseconds for nothing. Only plain checks, each erring towards yes: a
// library loaded in vain costs little, a route wrongly ruled out costs the tones. It
// stats; it opens no file the environment names.
#include "sound/tone_player.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longer than any server name (a host name is at most 255 characters), libpulse may fail
// an assertion of its own over it and take the run down: no route.
constexpr std::size_t longest_server = 1024;

bool exists(const std::string& path, bool regular_file = false)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && (!regular_file || S_ISREG(status.st_mode));
}

// The variable's value followed by `rest`, or nothing if it is not set.
std::string under(const char* variable, const char* rest)
{
    const char* const value = std::getenv(variable);
    return value != nullptr ? value + std::string(rest) : std::string();
}

bool set(const char* variable)
{
    return std::getenv(variable) != nullptr;
}

} // namespace

bool sound_server_may_answer()
{
    if (const char* const named = std::getenv("PULSE_SERVER")) {
        const std::string server = named;
        const auto path = server.starts_with("unix:") ? server.substr(5) : server;
        return server.size() <= longest_server && // a socket named is there; anything else may be
               (!path.starts_with('/') || path.find(' ') != std::string::npos || exists(path));
    }
    // Without HOME, libpulse looks in the password entry's home. A client configuration
    // that is not a file (a terminal, a pipe) would hold libpulse reading it.
    return set("PULSE_CONFIG_PATH") || exists(under("PULSE_CLIENTCONFIG", ""), true) ||
           !set("HOME") || exists(under("PULSE_RUNTIME_PATH", "/native")) ||
           exists(under("XDG_RUNTIME_DIR", "/pulse/native")) ||
           exists("/run/user/" + std::to_string(getuid()) + "/pulse/native") ||
           exists("/var/run/pulse/native") || exists(under("HOME", "/.config/pulse/client.conf")) ||
           exists(under("HOME", "/.pulse/client.conf"));
}

bool alsa_may_play()
{
    // ALSA_CONFIG_PATH replaces ALSA's whole configuration: one empty file plays nowhere.
    if (const char* const listed = std::getenv("ALSA_CONFIG_PATH")) {
        struct stat status {};
        return std::strpbrk(listed, ": \t") != nullptr || stat(listed, &status) != 0 ||
               status.st_size > 0 || S_ISDIR(status.st_mode);
    }
    const char* const server = std::getenv("PULSE_SERVER");
    return (server == nullptr || std::strlen(server) <= longest_server) &&
           (exists("/dev/snd") || exists("/etc/asound.conf") || !set("HOME") ||
            exists(under("HOME", "/.asoundrc")) ||
            exists(under("HOME", "/.config/alsa/asoundrc")) || set("PIPEWIRE_REMOTE") ||
            exists(under("XDG_RUNTIME_DIR", "/pipewire-0")) || sound_server_may_answer());
}
