// Where a tone could be heard, told from the environment, some stat calls and a few small
// files. Every look is bounded: a file is read once and only its start, a folder listed
// only so far, and nothing waits on a server.
#include "sound/tone_routes.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// More than any configuration file here holds, and more entries than these folders have.
constexpr std::size_t most_bytes = 16'384;
constexpr int most_entries = 64;

// The variable's value; empty if it is not set.
std::string variable(const char* name)
{
    const char* const value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The pieces of a path, one after the other. One function for every path built here,
// which runs once: smaller code beats faster code.
std::string joined(std::initializer_list<std::string_view> pieces)
{
    std::string path;
    for (const std::string_view piece : pieces) {
        path.append(piece);
    }
    return path;
}

std::string home()
{
    return variable("HOME");
}

// Where the user's configuration files are.
std::string config_home()
{
    const std::string folder = variable("XDG_CONFIG_HOME");
    return !folder.empty() ? folder : joined({home(), "/.config"});
}

bool exists(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

// A configuration that may say something: a folder, or a file that is not empty.
bool has_content(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 &&
           (S_ISDIR(status.st_mode) || (S_ISREG(status.st_mode) && status.st_size > 0));
}

// The start of a file, if it is a regular one. Opened non-blocking, so that a pipe named
// by mistake cannot hold the sound thread.
std::string read_start(const std::string& path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return text;
    }
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        text.resize(std::min(static_cast<std::size_t>(status.st_size), most_bytes));
        text.resize(
            static_cast<std::size_t>(std::max<ssize_t>(read(fd, text.data(), text.size()), 0)));
    }
    close(fd);
    return text;
}

// Whether the folder has an entry for which `wanted(folder, name)` holds.
template <typename Wanted>
bool any_entry(const std::string& folder, Wanted wanted)
{
    DIR* const listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return false;
    }
    bool found = false;
    for (int seen = 0; seen < most_entries && !found; ++seen) {
        const dirent* const entry = readdir(listing);
        if (entry == nullptr) {
            break;
        }
        found = wanted(folder, std::string_view(entry->d_name));
    }
    closedir(listing);
    return found;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    text.remove_prefix(std::min(text.find_first_not_of(blanks), text.size()));
    text.remove_suffix(text.size() - std::min(text.find_last_not_of(blanks) + 1, text.size()));
    return text;
}

// Takes the first word off a list of words split by blanks, such as PULSE_SERVER's.
std::string_view first_word(std::string_view& list)
{
    list = trimmed(list);
    const std::string_view word = list.substr(0, list.find_first_of(" \t\r\n"));
    list.remove_prefix(word.size());
    return word;
}

// Whether a server in a list such as "unix:/run/user/1000/pulse/native tcp:host:4713" may
// answer: a local socket if it is there, anything else (a host over the network) perhaps.
bool any_may_answer(std::string_view servers)
{
    for (std::string_view server = first_word(servers); !server.empty();
         server = first_word(servers)) {
        if (server.starts_with('{')) { // "{machine id}server": for that machine only
            server.remove_prefix(std::min(server.find('}') + 1, server.size()));
        }
        if (server.starts_with("unix:")) {
            server.remove_prefix(std::string_view("unix:").size());
        } else if (!server.starts_with('/')) {
            return true;
        }
        if (exists(std::string(server))) {
            return true;
        }
    }
    return false;
}

// Whether a line of a client configuration ("key = value"; a line that begins with ';' or
// '#' is a comment) names a server that may answer, or has libpulse try the network.
bool names_a_server(std::string_view line)
{
    line = trimmed(line);
    const std::size_t equals = line.find('=');
    if (line.starts_with(';') || line.starts_with('#') || equals == std::string_view::npos) {
        return false;
    }
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    if (key == "default-server") {
        return any_may_answer(value);
    }
    const bool yes = value.starts_with('1') || value.starts_with('y') || value.starts_with('Y') ||
                     value.starts_with('t') || value.starts_with('T') || value == "on";
    return (key == "auto-connect-localhost" || key == "auto-connect-display") && yes;
}

bool file_names_a_server(const std::string& path)
{
    const std::string text = read_start(path);
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(line.size() + 1, rest.size()));
        if (names_a_server(line)) {
            return true;
        }
    }
    return false;
}

// The client configuration libpulse reads: $PULSE_CLIENTCONFIG, else the user's, else the
// system's.
std::string client_configuration()
{
    if (std::string named = variable("PULSE_CLIENTCONFIG"); !named.empty()) {
        return named;
    }
    for (const std::string& users :
         {joined({home(), "/.pulse/client.conf"}), joined({config_home(), "/pulse/client.conf"})}) {
        if (exists(users)) {
            return users;
        }
    }
    return "/etc/pulse/client.conf";
}

// The client configuration, and the *.conf files in the folder named as it is with ".d".
bool configuration_names_a_server()
{
    const std::string file = client_configuration();
    return file_names_a_server(file) ||
           any_entry(joined({file, ".d"}), [](const std::string& folder, std::string_view name) {
               return name.ends_with(".conf") && file_names_a_server(joined({folder, "/", name}));
           });
}

// Whether a server's socket is in the user's runtime folder, where libpulse looks first
// when no server is named.
bool users_socket_exists()
{
    if (const std::string folder = variable("PULSE_RUNTIME_PATH"); !folder.empty()) {
        return exists(joined({folder, "/native"}));
    }
    if (const std::string folder = variable("XDG_RUNTIME_DIR"); !folder.empty()) {
        return exists(joined({folder, "/pulse/native"}));
    }
    // Without either, libpulse looks through a "<machine id>-runtime" link in its folder in
    // the home; a login session's server is in /run/user/UID.
    const auto through_link = [](const std::string& folder, std::string_view name) {
        return name.ends_with("-runtime") && exists(joined({folder, "/", name, "/native"}));
    };
    return exists(joined({"/run/user/", std::to_string(getuid()), "/pulse/native"})) ||
           any_entry(joined({home(), "/.pulse"}), through_link) ||
           any_entry(joined({config_home(), "/pulse"}), through_link);
}

// Whether PipeWire's socket is there, for pipewire-alsa's plugin.
bool pipewire_socket_exists()
{
    const std::string remote = variable("PIPEWIRE_REMOTE");
    const std::string name = !remote.empty() ? remote : "pipewire-0";
    if (name.starts_with('/')) {
        return exists(name);
    }
    const std::string own_folder = variable("PIPEWIRE_RUNTIME_DIR");
    const std::string folder = !own_folder.empty() ? own_folder : variable("XDG_RUNTIME_DIR");
    return !folder.empty() && exists(joined({folder, "/", name}));
}

// Whether the kernel has a sound card with a playback device: /dev/snd/pcmC<card>D<device>p.
bool sound_card_exists()
{
    return any_entry("/dev/snd", [](const std::string& /*folder*/, std::string_view name) {
        return name.starts_with("pcmC") && name.ends_with('p');
    });
}

// Whether a file that ALSA's own configuration reads in has something in it.
bool alsa_configuration_exists()
{
    return has_content("/etc/asound.conf") || has_content("/usr/etc/asound.conf") ||
           has_content(joined({home(), "/.asoundrc"})) ||
           has_content(joined({config_home(), "/alsa/asoundrc"}));
}

} // namespace

bool sound_server_may_answer()
{
    // Set, PULSE_SERVER names the only servers libpulse tries, even if it is empty.
    if (const char* const named = std::getenv("PULSE_SERVER")) {
        return any_may_answer(named);
    }
    // The sockets first: a stat each, where the configuration is a few files to read.
    return users_socket_exists() || exists("/var/run/pulse/native") ||
           configuration_names_a_server();
}

bool alsa_may_play()
{
    // ALSA_CONFIG_PATH replaces ALSA's whole configuration with the files it lists.
    const std::string listed = variable("ALSA_CONFIG_PATH");
    if (!listed.empty()) {
        std::string_view files = listed;
        for (int seen = 0; !files.empty() && seen < most_entries; ++seen) {
            const std::string_view file = files.substr(0, files.find(':'));
            files.remove_prefix(std::min(file.size() + 1, files.size()));
            if (has_content(std::string(file))) {
                return true;
            }
        }
        return false;
    }
    return sound_card_exists() || alsa_configuration_exists() || pipewire_socket_exists() ||
           sound_server_may_answer();
}
