// The five tones, captured headless: the sound library's default device is pointed at
// WAV files, one per tone, whose samples are then measured.
#include "process.h"
#include "tone_measure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

struct wav {
    unsigned channels = 0;
    unsigned rate = 0;
    unsigned bits = 0;
    std::vector<std::int16_t> samples;
};

std::uint32_t little_endian(const std::string& bytes, std::size_t at, std::size_t size)
{
    std::uint32_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// Walks the RIFF chunks. The data chunk's length may not have been filled in when the
// file was closed, so it runs to the end of the file at most.
std::optional<wav> read_wav(const std::string& path)
{
    const std::string bytes = read_file(path);
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        return std::nullopt;
    }
    wav result;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        const std::size_t size =
            std::min<std::size_t>(little_endian(bytes, at + 4, 4), bytes.size() - at - 8);
        if (id == "fmt ") {
            result.channels = little_endian(bytes, at + 10, 2);
            result.rate = little_endian(bytes, at + 12, 4);
            result.bits = little_endian(bytes, at + 22, 2);
        } else if (id == "data") {
            result.samples.resize(size / 2);
            std::memcpy(result.samples.data(), bytes.data() + at + 8, result.samples.size() * 2);
        }
        at += 8 + size + size % 2;
    }
    return result;
}

bool exited_with_zero(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs the program at a terminal with its sound set up by `environment`, and calls
// `at_the_prompt` with its process id while it waits for the key; then checks the run.
void run_and_look_at_the_prompt(const std::vector<std::string>& environment,
                                const std::function<void(pid_t)>& at_the_prompt)
{
    std::vector<std::string> argv = {"/usr/bin/env"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.emplace_back(PROGRAM);
    terminal_run run(argv, false);
    ASSERT_TRUE(run.read_until_output_has("Press any key to exit...\n", 20s)) << run.out;
    at_the_prompt(run.pid);
    run.type("q");
    EXPECT_TRUE(exited_with_zero(run.wait_for_exit(5s))) << run.status;
    EXPECT_EQ(run.out, read_file(GOLDEN_TRANSCRIPT));
    EXPECT_EQ(run.err, "");
}

// The pipes a process holds, by their kernel names ("pipe:[1234]"): "self", or a process id.
std::set<std::string> pipes_held_by(const std::string& process)
{
    std::set<std::string> pipes;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + process + "/fd")) {
        std::error_code closed_meanwhile;
        const std::string name = std::filesystem::read_symlink(fd.path(), closed_meanwhile);
        if (name.starts_with("pipe:")) {
            pipes.insert(name);
        }
    }
    return pipes;
}

} // namespace

TEST(Tones, FiveTonesOf440HertzAndHalfASecondEach)
{
#if !LOWLEVEL_DEMO_HAVE_ALSA
    GTEST_SKIP() << "built without ALSA: the tones are silent pauses";
#endif
    char folder_template[] = "/tmp/lowlevel-demo-tones-XXXXXX";
    const std::filesystem::path folder = mkdtemp(folder_template);
    const std::filesystem::path first = folder / "tone.wav";
    std::ofstream(folder / "asound.conf") << "pcm.!default {\n"
                                             "    type file\n"
                                             "    slave.pcm { type null }\n"
                                             "    file \""
                                          << first.string()
                                          << "\"\n"
                                             "    format \"wav\"\n"
                                             "    truncate false\n"
                                             "    perm 0644\n"
                                             "}\n";

    // No sound server, so that the tones go to ALSA's default device. The configuration is
    // read once a run, not once a tone.
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Each open with its close: the same event twice in a row would be counted once.
    inotify_add_watch(opens, (folder / "asound.conf").c_str(), IN_OPEN | IN_CLOSE);
    const program_result run =
        run_detached({PROGRAM}, {"ALSA_CONFIG_PATH=" + (folder / "asound.conf").string(),
                                 "PULSE_SERVER=unix:/nowhere"});
    // Bytes: inotify_event ends in a flexible array, and standard C++ makes no array of such
    // a record (Clang says so; GCC lets it pass).
    alignas(inotify_event) char events[16 * sizeof(inotify_event)];
    EXPECT_EQ(read(opens, events, sizeof events), ssize_t{2 * sizeof(inotify_event)});
    close(opens);
    EXPECT_TRUE(run.status != -1 && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
    EXPECT_EQ(run.err, "") << "the sound library spoke on standard error";

    // The device is kept for the run, so one file holds the five tones and the silences.
    const std::optional<wav> file = read_wav(first.string());
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->channels, 1u);
    EXPECT_EQ(file->bits, 16u);
    ASSERT_EQ(file->rate, 48'000u);
    const std::vector<tone_span> tones = find_tones(file->samples, file->rate);
    ASSERT_EQ(tones.size(), 5u);
    for (const tone_span& span : tones) {
        const std::vector<std::int16_t>& tone = span.samples;
        EXPECT_NEAR(1000.0 * static_cast<double>(tone.size()) / file->rate, 500.0, 5.0);
        EXPECT_NEAR(frequency_of(tone, file->rate), 440.0, 2.0);
        // Loud enough to hear, and faded in and out so it does not click.
        EXPECT_NEAR(peak_of(tone), 16'384, 1'000);
        EXPECT_LT(std::abs(int{tone.front()}), 300);
        EXPECT_LT(std::abs(int{tone.back()}), 300);
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "tone.wav.0001")) << "the device was reopened";
    std::filesystem::remove_all(folder);
}

// With no sound server to reach and no sound device (as on a build machine, or a server
// reached over SSH), neither sound library is loaded: they would cost memory for nothing.
// Where the library may find something, it is loaded and asked.
TEST(Tones, ASoundLibraryIsLoadedOnlyWhereItMayFindSomething)
{
    char folder_template[] = "/tmp/lowlevel-demo-tones-XXXXXX";
    const std::filesystem::path folder = mkdtemp(folder_template);
    std::ofstream(folder / "null.conf") << "pcm.!default { type null }\n";
    const std::string no_server = "PULSE_SERVER=unix:/nowhere";
    const std::string no_socket = "XDG_RUNTIME_DIR=" + folder.string();
    const std::string home = "HOME=" + folder.string();
    if (std::filesystem::exists("/dev/snd") || std::filesystem::exists("/etc/asound.conf")) {
        GTEST_SKIP() << "this machine has a sound device or an ALSA configuration";
    }
    const std::vector<std::tuple<std::vector<std::string>, bool, bool>> cases = {
        {{"-u", "ALSA_CONFIG_PATH", no_server, no_socket, home}, false, false},
        {{"ALSA_CONFIG_PATH=" + (folder / "null.conf").string(), no_server}, false, true},
        {{"-u", "PULSE_SERVER", "-u", "ALSA_CONFIG_PATH", no_socket, home,
          "PULSE_CONFIG_PATH=" + folder.string()},
         true,
         true},
    };
    for (const auto& [environment, pulse_case, alsa_case] : cases) {
        SCOPED_TRACE(testing::PrintToString(environment));
        // Copies: Clang 14 lets no lambda capture a structured binding.
        const bool pulse = pulse_case;
        const bool alsa = alsa_case;
        run_and_look_at_the_prompt(environment, [&](pid_t pid) {
            const std::string mapped = read_file("/proc/" + std::to_string(pid) + "/maps");
            EXPECT_EQ(mapped.find("libpulse.so") != std::string::npos, pulse);
            EXPECT_EQ(mapped.find("libasound.so") != std::string::npos, alsa);
        });
    }
    std::filesystem::remove_all(folder);
}

// Nothing a sound library does takes the run down: not a shell's small stack, which its
// threads would otherwise get, nor a server name no host can have.
TEST(Tones, NoSoundLibraryTakesTheRunDown)
{
#if !LOWLEVEL_DEMO_HAVE_PULSE
    GTEST_SKIP() << "built without libpulse";
#endif
    if (LOWLEVEL_DEMO_SANITIZED) {
        GTEST_SKIP() << "a sanitizer's runtime needs a stack of its own";
    }
    const std::string no_alsa = "ALSA_CONFIG_PATH=/dev/null";
    const std::string long_name = "PULSE_SERVER=" + std::string(10'000, 'a') + ".example";
    for (const program_result& run :
         {run_detached({"/bin/sh", "-c", "ulimit -s 16 && exec \"$0\"", PROGRAM},
                       {"PULSE_SERVER=tcp:127.0.0.1:1", no_alsa}),
          run_detached({PROGRAM}, {long_name, no_alsa})}) {
        EXPECT_TRUE(exited_with_zero(run.status)) << run.status << run.err;
        EXPECT_EQ(run.out, read_file(GOLDEN_TRANSCRIPT));
    }
}

// With no file descriptor to spare, libpulse cannot make its main loop: no tone, but the
// whole run, and not a word from libpulse. (A server named over the network makes the
// program try libpulse.)
TEST(Tones, NoneWhenTheSoundLibraryCannotStartAndTheRunGoesOn)
{
#if !LOWLEVEL_DEMO_HAVE_PULSE
    GTEST_SKIP() << "built without libpulse";
#endif
    if (LOWLEVEL_DEMO_SANITIZED) {
        GTEST_SKIP() << "a sanitizer's runtime needs file descriptors of its own";
    }
    // Standard input, output and error, and room for one more: whatever else the test
    // runner left open is closed first.
    const char* const one_to_spare = "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- && ulimit -n 4 && "
                                     "exec \"$0\"";
    const program_result run =
        run_detached({"/bin/sh", "-c", one_to_spare, PROGRAM},
                     {"PULSE_SERVER=tcp:127.0.0.1:1", "ALSA_CONFIG_PATH=/dev/null"});
    EXPECT_TRUE(exited_with_zero(run.status)) << run.status << run.err;
    EXPECT_EQ(run.out, read_file(GOLDEN_TRANSCRIPT));
    EXPECT_EQ(run.err, "") << "libpulse spoke on standard error";
}

// ALSA's default device here writes each tone into a pipe to a command that reads none and
// ends 0.8 s after the device opens; the tone overfills the pipe, so the write waits for
// that end and keeps the sound thread busy past the next pause's start. Each device holds
// its pipe: once the last write is over, the waiting prompt holds none.
TEST(Tones, NoDeviceIsHeldAtThePrompt)
{
#if !LOWLEVEL_DEMO_HAVE_ALSA
    GTEST_SKIP() << "built without ALSA";
#endif
    char folder_template[] = "/tmp/lowlevel-demo-tones-XXXXXX";
    const std::filesystem::path folder = mkdtemp(folder_template);
    // Four channels of 32 bits: 384 KB a tone, far more than a pipe holds.
    std::ofstream(folder / "asound.conf") << "pcm.!default {\n"
                                             "    type plug\n"
                                             "    slave.format S32_LE\n"
                                             "    slave.channels 4\n"
                                             "    slave.pcm { type file slave.pcm { type null } "
                                             "file \"|exec sleep 0.8\" format raw }\n"
                                             "}\n";
    run_and_look_at_the_prompt(
        {"ALSA_CONFIG_PATH=" + (folder / "asound.conf").string(), "PULSE_SERVER=unix:/nowhere"},
        [](pid_t pid) {
            // Not those it shares with the test: its output, and what the runner left open.
            const auto devices = [&] {
                std::set<std::string> held = pipes_held_by(std::to_string(pid));
                for (const std::string& shared : pipes_held_by("self")) {
                    held.erase(shared);
                }
                return held.size();
            };
            // The last write may hold the sound thread until the device's command ends.
            for (int tries = 0; tries < 20 && devices() > 0; ++tries) {
                std::this_thread::sleep_for(100ms);
            }
            EXPECT_EQ(devices(), 0u) << "a device held while the prompt waits";
        });
    std::filesystem::remove_all(folder);
}
