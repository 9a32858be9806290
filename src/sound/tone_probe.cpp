// Whether a tone could be heard at all, told without loading a sound library, which costs
// megabytes: only plain checks of what is there (a variable set, a socket, a device node, a
// configuration file), each erring towards yes, as a route wrongly ruled out costs the tones.
#include "sound/tone_player.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longer than any server name (a host name is at most 255 characters), libpulse fails an
// assertion of its own over it and takes the run down: no route.
constexpr std::size_t longest_server = 1024;

bool set(const char* variable)
{
    return std::getenv(variable) != nullptr;
}

// Whether the path exists, under the variable's value if one is named: not if it is unset.
bool exists(const char* variable, const std::string& path)
{
    const char* const value = variable != nullptr ? std::getenv(variable) : "";
    struct stat status {};
    return value != nullptr && stat((value + path).c_str(), &status) == 0;
}

} // namespace

bool sound_server_may_answer()
{
    if (const char* const named = std::getenv("PULSE_SERVER")) {
        const std::string server = named;
        const auto path = server.starts_with("unix:") ? server.substr(5) : server;
        return server.size() <= longest_server && // a socket named is there; anything else may be
               (!path.starts_with('/') || path.find(' ') != std::string::npos ||
                exists(nullptr, path));
    }
    // Without HOME, libpulse looks in the password entry's home.
    return set("PULSE_CONFIG_PATH") || set("PULSE_CLIENTCONFIG") || !set("HOME") ||
           exists("PULSE_RUNTIME_PATH", "/native") || exists("XDG_RUNTIME_DIR", "/pulse/native") ||
           exists(nullptr, "/run/user/" + std::to_string(getuid()) + "/pulse/native") ||
           exists(nullptr, "/var/run/pulse/native") ||
           exists("HOME", "/.config/pulse/client.conf") || exists("HOME", "/.pulse/client.conf");
}

bool alsa_may_play()
{
    const char* const server = std::getenv("PULSE_SERVER");
    return (server == nullptr || std::strlen(server) <= longest_server) &&
           (set("ALSA_CONFIG_PATH") || exists(nullptr, "/dev/snd") ||
            exists(nullptr, "/etc/asound.conf") || !set("HOME") || exists("HOME", "/.asoundrc") ||
            exists("HOME", "/.config/alsa/asoundrc") || set("PIPEWIRE_REMOTE") ||
            exists("XDG_RUNTIME_DIR", "/pipewire-0") || sound_server_may_answer());
}
