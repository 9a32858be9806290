// The program against real sound servers, each private to its test: PulseAudio and
// PipeWire, reached directly or through ALSA's default device, healthy and at fault.
// Whatever the server does, the run keeps its transcript, its silence on standard error,
// its exit status and its pace; a healthy server plays the five tones, as recorded from
// its speaker's monitor. And a test killed mid-run leaves no server behind.
#include "process.h"
#include "tone_measure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string transcript = read_file(GOLDEN_TRANSCRIPT);

bool sh(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

bool installed(const std::string& programs)
{
    return sh("for p in " + programs + "; do command -v $p || exit 1; done >/dev/null");
}

// server: "pulseaudio" or "pipewire"; route: "direct", through the server's own protocol
// with ALSA given no route to it (as under WSLg), or "alsa", with the server's own protocol
// pointed at nothing so that the tones go through ALSA's plugin for it.
class SoundServer : public testing::TestWithParam<std::tuple<std::string, std::string>> {
protected:
    void SetUp() override
    {
        const auto& [server, route] = GetParam();
        if (!(route == "direct" ? LOWLEVEL_DEMO_HAVE_PULSE : LOWLEVEL_DEMO_HAVE_ALSA)) {
            GTEST_SKIP() << "built without " << (route == "direct" ? "libpulse" : "ALSA");
        }
        if (!installed(server + " pactl parec")) {
            GTEST_SKIP() << server << ", pactl or parec is missing (scripts/install-deps servers)";
        }
        char folder_template[] = "/tmp/lowlevel-demo-server-XXXXXX";
        folder = mkdtemp(folder_template);
        ASSERT_TRUE(sh(control("start") + " " + server + " " + std::to_string(getpid())))
            << "the server did not start";
        environment = {"XDG_RUNTIME_DIR=" + (folder / "run").string()};
        if (route == "direct") {
            environment.push_back("PULSE_SERVER=unix:" + (folder / "run/pulse/native").string());
            environment.push_back("ALSA_CONFIG_PATH=" + (folder / "no-alsa-route.conf").string());
        } else {
            environment.push_back("PULSE_SERVER=unix:/nowhere");
            environment.push_back("ALSA_CONFIG_PATH=" + (folder / "alsa-route.conf").string());
            // PipeWire's ALSA plugin leaks some 17 KB at each open, and libasound unloads it
            // at each close, so that LeakSanitizer cannot even name it to suppress it.
            if (server == "pipewire") {
                environment.push_back("ASAN_OPTIONS=detect_leaks=0");
            }
        }
    }

    void TearDown() override
    {
        if (!folder.empty()) {
            sh(control("end"));
            std::filesystem::remove_all(folder);
        }
    }

    std::string control(const std::string& command) const
    {
        return std::string(SOUND_SERVER) + " " + command + " " + folder.string();
    }

    // Runs the program with no terminal, so that it ends after the prompt at the end of its
    // input; checks what every run must do, whatever the server does, and that it ended by
    // `limit`.
    void run_and_expect_a_whole_run_on_time(std::chrono::milliseconds limit = 6500ms,
                                            const std::vector<std::string>& argv = {PROGRAM})
    {
        const auto started = std::chrono::steady_clock::now();
        const program_result run = run_detached(argv, environment);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_TRUE(run.status != -1 && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
            << run.status;
        EXPECT_EQ(run.out, transcript);
        EXPECT_EQ(run.err, "");
        // A sanitizer's build runs slower, and ThreadSanitizer waits a second at exit while
        // another thread lives (the sound thread, stuck in a stopped server): there the run
        // must end, and the release build must end on time.
        const auto slack = LOWLEVEL_DEMO_SANITIZED ? 2000ms : 0ms;
        EXPECT_LT(took, limit + slack) << "the run was held up";
    }

    // What the speaker played while `record` ran, once the recorder is stopped.
    std::vector<std::int16_t> stop_recording() const
    {
        sh("sleep 0.2; kill $(cat " + (folder / "parec.pid").string() + ")");
        const std::string bytes = read_file((folder / "recording.raw").string());
        std::vector<std::int16_t> recording(bytes.size() / 2);
        std::memcpy(recording.data(), bytes.data(), recording.size() * 2);
        return recording;
    }

    std::filesystem::path folder;
    std::vector<std::string> environment;
};

std::string case_name(const testing::TestParamInfo<SoundServer::ParamType>& info)
{
    return std::get<0>(info.param) + "_" + std::get<1>(info.param);
}

// What is wrong with the tones in a recording, a line to each faulty tone; empty if there are
// five of 440 Hz, 500 ms long, faded in and out, 1000 ms apart. `exact`: reached through the
// server's own protocol. ALSA's plugins open a device for each tone, at their own latency,
// and the server re-renders under them, so the monitor may miss some milliseconds: through
// them only the tone itself is ours to hold.
std::string faults_in(const std::vector<tone_span>& tones, bool exact)
{
    const auto ms = [](double samples) { return samples / 48.0; };
    std::ostringstream faults;
    if (tones.size() != 5) {
        faults << tones.size() << " tones heard\n";
    }
    for (std::size_t i = 0; i < tones.size(); ++i) {
        const std::vector<std::int16_t>& tone = tones[i].samples;
        const double length = ms(tone.size());
        const double frequency = frequency_of(tone, 48'000);
        const bool cut = std::abs(int{tone.front()}) >= 300 || std::abs(int{tone.back()}) >= 300;
        // Loosely: the exact spacing is the benchmark's to measure.
        const double apart = i > 0 ? ms(tones[i].start - tones[i - 1].start) : 1000.0;
        if (tones.size() != 5 || std::abs(length - 500.0) > (exact ? 5.0 : 10.0) ||
            std::abs(frequency - 440.0) > (exact ? 2.0 : 5.0) ||
            (exact && (cut || std::abs(apart - 1000.0) > 15.0))) {
            faults << "tone " << i + 1 << " at " << ms(tones[i].start) << " ms: " << length
                   << " ms long, " << frequency << " Hz" << (cut ? ", cut" : "") << "\n";
        }
    }
    return faults.str();
}

TEST_P(SoundServer, PlaysTheFiveTones)
{
    const auto& [server, route] = GetParam();
    ASSERT_TRUE(sh(control("record")));
    run_and_expect_a_whole_run_on_time();
    const std::vector<std::int16_t> recording = stop_recording();
    if (LOWLEVEL_DEMO_SANITIZED) {
        // Its run was still checked above, and a sanitizer would have reported what it ran.
        GTEST_SKIP() << "a sanitizer's build writes too slowly to be sure of whole tones";
    }
    const std::vector<tone_span> tones = find_tones(recording, 48'000);
    if (server == "pipewire") {
        // Only the tones' number (docs/checks.md says why): a hole in one does not make two.
        EXPECT_EQ(find_tones(recording, 48'000, 100).size(), 5U) << faults_in(tones, false);
        return;
    }
    EXPECT_EQ(faults_in(tones, route == "direct"), "");
}

// A lesson with other tones and an extra pause plays just what it asks, in order, each tone
// as long as asked and after the silence asked for: none guessed, none in a pause. A tone
// straight after a tone follows the first one's short trailer of silence.
TEST_P(SoundServer, PlaysAChangedLesson)
{
    if (std::get<0>(GetParam()) != "pulseaudio" || LOWLEVEL_DEMO_SANITIZED) {
        GTEST_SKIP() << "recorded through PulseAudio, in a release build (docs/checks.md)";
    }
    ASSERT_TRUE(sh(control("record")));
    const program_result run = run_detached({CHANGED_LESSON}, environment);
    const std::vector<tone_span> tones = find_tones(stop_recording(), 48'000);
    EXPECT_TRUE(run.status != -1 && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
    EXPECT_EQ(run.err, "");
    struct asked {
        double hz, ms, silence_ms; // the silence before the first is the recorder's own
    };
    const asked lesson[] = {
        {550, 500, 0}, {660, 200, 500}, {440, 800, 700}, {880, 300, 0}, {330, 300, 0}};
    std::ostringstream heard;
    for (std::size_t i = 0; i < tones.size(); ++i) {
        const double end =
            i > 0 ? static_cast<double>(tones[i - 1].start + tones[i - 1].samples.size()) : 0.0;
        heard << frequency_of(tones[i].samples, 48'000) << " Hz, "
              << static_cast<double>(tones[i].samples.size()) / 48 << " ms, after "
              << (static_cast<double>(tones[i].start) - end) / 48 << " ms\n";
    }
    ASSERT_EQ(tones.size(), std::size(lesson)) << heard.str();
    for (std::size_t i = 0; i < tones.size(); ++i) {
        const double silence = i > 0 ? static_cast<double>(tones[i].start - tones[i - 1].start -
                                                           tones[i - 1].samples.size()) /
                                           48
                                     : lesson[0].silence_ms;
        EXPECT_NEAR(frequency_of(tones[i].samples, 48'000), lesson[i].hz, lesson[i].hz / 100);
        EXPECT_NEAR(static_cast<double>(tones[i].samples.size()) / 48, lesson[i].ms, 10);
        const double slack = i > 0 && lesson[i].silence_ms == 0 ? 25 : 10;
        EXPECT_NEAR(silence, lesson[i].silence_ms, slack) << heard.str();
    }
}

// With no recorder, nobody asks the server for a low latency: it runs at its default, up to
// two seconds.
TEST_P(SoundServer, StoppedBeforeTheRun)
{
    ASSERT_TRUE(sh(control("fault") + " stop"));
    run_and_expect_a_whole_run_on_time();
}

TEST_P(SoundServer, StallsForThreeSeconds)
{
    ASSERT_TRUE(sh(control("fault") + " stall"));
    run_and_expect_a_whole_run_on_time();
}

TEST_P(SoundServer, KilledDuringATone)
{
    ASSERT_TRUE(sh(control("fault") + " kill"));
    run_and_expect_a_whole_run_on_time();
}

// At exit too: with the server stopped during the last tone and no input to wait for, or
// stopped at the prompt, a moment before the key (and healthy until then).
TEST_P(SoundServer, StoppedInTheLastTone)
{
    ASSERT_TRUE(sh(control("fault") + " stop 4.75"));
    run_and_expect_a_whole_run_on_time(5100ms);
}

TEST_P(SoundServer, StoppedAtThePrompt)
{
    ASSERT_TRUE(sh(control("fault") + " stop 5.3"));
    run_and_expect_a_whole_run_on_time(5600ms, {"/bin/sh", "-c", "sleep 5.5 | exec " PROGRAM});
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServer,
                         testing::Combine(testing::Values("pulseaudio", "pipewire"),
                                          testing::Values("direct", "alsa")),
                         case_name);

// ctest ends a test past its time with SIGKILL, and then nothing in the test runs: its
// server, recorder and fault timers must end all the same, not live on under init.
TEST(SoundServerRig, EndsWithItsTestKilledMidRun)
{
    if (!LOWLEVEL_DEMO_HAVE_PULSE || !installed("pipewire")) {
        GTEST_SKIP() << "needs libpulse and PipeWire";
    }
    // Its terminal's hang-up, which ctest's tests do not have, is ignored.
    terminal_run test({"/proc/self/exe", "--gtest_filter=*StallsForThreeSeconds/pipewire_direct"},
                      false, {SIGHUP});
    const pid_t session = test.pid;
    const std::string live =
        "ps -o stat=,pid=,args= -s " + std::to_string(session) + " | grep -v ^Z";
    ASSERT_TRUE(test.read_until([&] { return sh(live + " | grep -q 'sleep 0.7'"); }, 20s))
        << test.out;
    kill(session, SIGKILL);
    test.wait_for_exit(5s);
    EXPECT_TRUE(test.read_until([&] { return !sh(live + " >/dev/null"); }, 2s)) << "left running:";
    sh(live + " >&2");
    kill(-session, SIGKILL);
}

} // namespace
