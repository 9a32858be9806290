// The whole program, run as a user runs it: its complete transcript, its waits, its exit
// status, and what it leaves of the terminal it ran at.
#include "platform/posix_signals.h"
#include "process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string transcript = read_file(GOLDEN_TRANSCRIPT);
const std::string prompt = "Press any key to exit...\n";
// More than the terminal holds at once, so that the terminal emulator writes the rest as
// the program reads, and ending in a command that the shell must not run.
const std::string paste = std::string(20000, 'x') + "\recho pasted\r";

// Arguments change nothing, however many and whatever bytes they hold.
const std::vector<std::string> odd_arguments = {"--help", "", "\xff\xfe\x01", "-x", "two words"};

std::vector<std::string> command(const char* program)
{
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), odd_arguments.begin(), odd_arguments.end());
    return argv;
}

bool exited_with_zero(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void expect_same_settings(const termios& now, const termios& before)
{
    EXPECT_EQ(now.c_iflag, before.c_iflag);
    EXPECT_EQ(now.c_oflag, before.c_oflag);
    EXPECT_EQ(now.c_cflag, before.c_cflag);
    EXPECT_EQ(now.c_lflag, before.c_lflag);
    EXPECT_EQ(std::string(std::begin(now.c_cc), std::end(now.c_cc)),
              std::string(std::begin(before.c_cc), std::end(before.c_cc)));
}

// The offset in the transcript at which each greeting's pause and tone must happen: just
// before its line, when everything before it is already written.
std::vector<std::size_t> greeting_offsets()
{
    std::vector<std::size_t> offsets;
    for (const char* greeting : {"Hello", "Bonjour", "Ni hao", "Guten tag", "Privet"}) {
        offsets.push_back(transcript.find(std::string("\n\n\t") + greeting));
    }
    return offsets;
}

// As /proc shows it: R running, S asleep, T stopped, Z ended.
char process_state(pid_t pid)
{
    char stat[512] = {};
    const int file = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY);
    const ssize_t count = file < 0 ? 0 : read(file, stat, sizeof stat - 1);
    close(file);
    const char* const end = count > 0 ? std::strrchr(stat, ')') : nullptr;
    return end == nullptr ? '?' : end[2];
}

} // namespace

// The program on the fake platform: every byte, and every wait in its place, at once.
TEST(Transcript, EveryTextInOrderWithEachWaitBetween)
{
    ASSERT_FALSE(transcript.empty()) << GOLDEN_TRANSCRIPT;
    const program_result run = run_detached(command(FAKE_PLATFORM_PROGRAM));
    EXPECT_TRUE(exited_with_zero(run.status)) << run.status;
    EXPECT_EQ(run.out, transcript);

    std::string expected_events;
    for (const std::size_t offset : greeting_offsets()) {
        expected_events += "pause 0 Hz 500 ms at byte " + std::to_string(offset) + "\n";
        expected_events += "tone 440 Hz 500 ms at byte " + std::to_string(offset) + "\n";
    }
    expected_events += "key 0 Hz 0 ms at byte " + std::to_string(transcript.size()) + "\n";
    EXPECT_EQ(run.err, expected_events);
}

// The companion's whole output, or one line and status 1 where it cannot be written; and
// the union in C's: the four union lines of the transcript.
TEST(Companions, PrintTheirGoldenOutputOrSayItCouldNotBeWritten)
{
    // The companion takes arguments: run without, it shows the lesson's values.
    const std::vector<std::string> companion = {BYTES_PROGRAM};
    const program_result bytes = run_detached(companion);
    EXPECT_TRUE(exited_with_zero(bytes.status)) << bytes.status;
    EXPECT_EQ(bytes.out, read_file(GOLDEN_BYTES));
    EXPECT_EQ(bytes.err, "");
    const program_result full = run_detached(companion, {}, output_to::full_device);
    EXPECT_TRUE(WIFEXITED(full.status) && WEXITSTATUS(full.status) == 1) << full.status;
    EXPECT_EQ(full.err, "lowlevel-bytes: write error: No space left on device\n");
    // As in the demonstration, a reader that went away took what it wanted.
    const program_result gone = run_detached(companion, {}, output_to::gone_reader);
    EXPECT_TRUE(exited_with_zero(gone.status)) << gone.status;
    EXPECT_EQ(gone.err, "");

    const std::size_t first = transcript.find("Shared ");
    const program_result in_c = run_detached(command(UNION_IN_C_PROGRAM));
    EXPECT_EQ(in_c.out, transcript.substr(first, transcript.find("\n\n", first) + 1 - first));
}

// The real program from here on: each run takes its full five seconds.

TEST(RealProgram, WithoutATerminalEndsAfterThePromptWhenInputEnds)
{
    const program_result run = run_detached(command(PROGRAM));
    EXPECT_TRUE(exited_with_zero(run.status)) << run.status;
    EXPECT_EQ(run.out, transcript);
    EXPECT_EQ(run.err, "");
}

// Reported as cat reports it, in one line and status 1; but a reader that went away took
// what it wanted.
TEST(RealProgram, ReportsUnwritableOutputUnlessItsReaderWentAway)
{
    const std::pair<output_to, std::string> outputs[] = {
        {output_to::gone_reader, ""},
        {output_to::full_device, "lowlevel-demo: write error: No space left on device\n"},
        {output_to::nowhere, "lowlevel-demo: write error: Bad file descriptor\n"}};
    for (const auto& [output, error] : outputs) {
        const program_result run = run_detached(command(PROGRAM), {}, output);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == (error.empty() ? 0 : 1))
            << run.status;
        EXPECT_EQ(run.err, error);
    }
}

TEST(RealProgram, EachTextIsVisibleBeforeTheWaitThatFollowsIt)
{
    // Output to a pipe is not line-buffered: only a flush before each wait shows it. The
    // title must show before the first 500 ms pause ends, A's line before B's pause ends:
    // without the flush they would wait for the next one, half a second later.
    const auto started = std::chrono::steady_clock::now();
    terminal_run run(command(PROGRAM), false);
    const std::size_t title_end = greeting_offsets().front();
    ASSERT_TRUE(run.read_until_output_has(transcript.substr(0, title_end), 400ms)) << run.out;
    EXPECT_EQ(run.out, transcript.substr(0, title_end)) << "the title, alone, during A's wait";

    const std::size_t a_end = greeting_offsets()[1];
    const auto b_pause_ends = started + 1400ms - std::chrono::steady_clock::now();
    ASSERT_TRUE(run.read_until_output_has(
        transcript.substr(0, a_end),
        std::chrono::duration_cast<std::chrono::milliseconds>(b_pause_ends)))
        << run.out;
    EXPECT_EQ(run.out, transcript.substr(0, a_end)) << "A's whole line, alone, during B's wait";

    ASSERT_TRUE(run.read_until_output_has(prompt, 20s)) << run.out;
    EXPECT_EQ(run.out, transcript) << "the whole prompt before the key";
    run.type("q");
    EXPECT_TRUE(exited_with_zero(run.wait_for_exit(5s))) << run.status;
}

class AnyKey : public testing::TestWithParam<std::string> {};

TEST_P(AnyKey, EndsTheRunLeavingNoTrace)
{
    terminal_run run(command(PROGRAM), false);
    ASSERT_TRUE(run.read_until_output_has(prompt, 20s)) << run.out;
    run.type(GetParam());

    EXPECT_TRUE(exited_with_zero(run.wait_for_exit(5s))) << run.status;
    EXPECT_EQ(run.out, transcript);
    EXPECT_EQ(run.screen, "") << "the key was echoed";
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.unread_input(), 0) << "part of the key is left for the shell";
    expect_same_settings(run.settings(), run.settings_at_start);
}

std::string key_name(const testing::TestParamInfo<std::string>& key)
{
    const char* names[] = {"Letter", "ArrowUp", "CtrlC", "CtrlZ", "Paste"};
    return names[key.index];
}

INSTANTIATE_TEST_SUITE_P(Keys, AnyKey, testing::Values("q", "\x1b[A", "\x03", "\x1a", paste),
                         key_name);

// Standard input is the terminal either way; without a controlling terminal (setsid), it
// is the terminal the key is read from.
class KeysTypedEarly : public testing::TestWithParam<bool> {};

TEST_P(KeysTypedEarly, EndTheWaitUnseen)
{
    terminal_run run(command(PROGRAM), true, {}, GetParam());
    ASSERT_TRUE(run.read_until_output_has("Hello from function A!", 10s)) << run.screen;
    // More than any single key sends: whatever the wait does not read must not reach the shell.
    run.type("ab\x1b[A\r" + paste);

    // No further key: the early ones are already waiting when the prompt appears.
    EXPECT_TRUE(exited_with_zero(run.wait_for_exit(20s))) << run.status;
    EXPECT_EQ(run.screen, as_on_terminal(transcript));
    EXPECT_EQ(run.unread_input(), 0);
    expect_same_settings(run.settings(), run.settings_at_start);
}

INSTANTIATE_TEST_SUITE_P(Terminals, KeysTypedEarly, testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Controlling" : "OnlyStandardInput");
});

class EndingSignal : public testing::TestWithParam<int> {};

TEST_P(EndingSignal, MidRunLeavesTheTerminalAsItWas)
{
    terminal_run run(command(PROGRAM), false);
    ASSERT_TRUE(run.read_until_output_has("Hello from function A!", 10s)) << run.out;
    EXPECT_NE(run.settings().c_lflag, run.settings_at_start.c_lflag) << "echo was never turned off";
    kill(run.pid, GetParam());

    const int status = run.wait_for_exit(5s);
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), GetParam());
    expect_same_settings(run.settings(), run.settings_at_start);
}

// Sent to the run, and those of a crash, which the program may also raise itself.
std::vector<int> handled_signals()
{
    std::vector<int> all(std::begin(posix_signals::ending), std::end(posix_signals::ending));
    all.insert(all.end(), std::begin(posix_signals::faults), std::end(posix_signals::faults));
    return all;
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, testing::ValuesIn(handled_signals()),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(RealProgram, SignalsTheCallerIgnoresStayIgnored)
{
    terminal_run run(command(PROGRAM), false, {SIGHUP, SIGINT, SIGTSTP});
    ASSERT_TRUE(run.read_until_output_has("Hello from function A!", 10s)) << run.out;
    for (const int signal_number : {SIGHUP, SIGINT, SIGTSTP}) {
        kill(run.pid, signal_number);
    }
    ASSERT_TRUE(run.read_until_output_has(prompt, 20s)) << run.out;
    run.type("q");

    EXPECT_TRUE(exited_with_zero(run.wait_for_exit(5s))) << run.status;
    EXPECT_EQ(run.out, transcript);
    expect_same_settings(run.settings(), run.settings_at_start);
}

TEST(RealProgram, SignalDuringTheKeyWaitLeavesTheTerminalAsItWas)
{
    terminal_run run(command(PROGRAM), false);
    ASSERT_TRUE(run.read_until_output_has(prompt, 20s)) << run.out;
    kill(run.pid, SIGTERM);

    const int status = run.wait_for_exit(5s);
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    expect_same_settings(run.settings(), run.settings_at_start);
}

// Where no shell has job control (setsid -w lowlevel-demo): a flood of SIGTSTP, which
// cannot stop the run, during the greetings, and standard input left non-blocking, which
// must not end the wait for the key.
TEST(RealProgram, WithoutJobControlGoesOnThroughAFloodOfStops)
{
    terminal_run run(command(PROGRAM), false, {}, false);
    run.make_input_non_blocking();
    ASSERT_TRUE(run.read_until_output_has("Hello from function A!", 10s)) << run.out;
    for (const auto until = std::chrono::steady_clock::now() + 1s;
         std::chrono::steady_clock::now() < until;) {
        kill(run.pid, SIGTSTP);
    }
    ASSERT_TRUE(run.read_until_output_has(prompt, 20s)) << run.out;
    const auto ended = [&] { return waitpid(run.pid, &run.status, WNOHANG) == run.pid; };
    EXPECT_FALSE(run.read_until(ended, 300ms)) << "ended without a key";
    run.type("q");

    EXPECT_TRUE(exited_with_zero(run.wait_for_exit(5s))) << run.status;
    EXPECT_EQ(run.out, transcript);
    expect_same_settings(run.settings(), run.settings_at_start);
}

// A real crash, not a signal sent: a stack overflow, at the terminal, after a key.
TEST(RealPlatform, StackOverflowLeavesTheTerminalAsItWas)
{
    terminal_run run({STACK_OVERFLOW_PROGRAM}, false);
    ASSERT_TRUE(run.read_until_output_has("Press a key to overflow the stack.\n", 10s)) << run.out;
    EXPECT_NE(run.settings().c_lflag, run.settings_at_start.c_lflag) << "echo was never turned off";
    run.type("q");

    const int status = run.wait_for_exit(10s);
    ASSERT_TRUE(status != -1 && WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    expect_same_settings(run.settings(), run.settings_at_start);
}

// The moment a run ends, hit by job control again and again, over many runs: kill -CONT,
// or Ctrl+Z with dash bringing the run back (fg) each time (bash gives up a loop of fg once
// the job stops again), from the key on. The run is the real platform's alone, which ends
// at once after its key.
class EndOfARun : public testing::TestWithParam<int> {};

TEST_P(EndOfARun, LeavesTheTerminalAsItWas)
{
    if (LOWLEVEL_DEMO_SANITIZED) {
        GTEST_SKIP() << "the leak check at exit stops the run with SIGSTOP, which a SIGCONT, or "
                        "a stop and fg, can cancel: it then waits for the stop for ever";
    }
    const char* const script =
        R"("$1" end; s=$?; while [ $s = 148 ]; do fg >/dev/null; s=$?; done; exit $s)";
    for (int count = 0; count < 20; ++count) {
        terminal_run run(GetParam() == SIGCONT
                             ? std::vector<std::string>{STACK_OVERFLOW_PROGRAM, "end"}
                             : std::vector<std::string>{"/bin/dash", "-i", "-c", script, "dash",
                                                        STACK_OVERFLOW_PROGRAM},
                         false);
        ASSERT_TRUE(run.read_until_output_has("Press a key to end.\n", 10s)) << run.out;
        const pid_t program = run.foreground();
        // Read before the first stop, which would throw it away; the terminal takes a moment
        // to pass it on.
        run.type("q");
        run.read_until([&] { return run.unread_input() > 0; }, 20ms);
        ASSERT_TRUE(run.read_until([&] { return run.unread_input() == 0; }, 5s));
        // As fast as it comes, for a fifth of a second (a run that sanitizers slow down may
        // not get through a flood): a Ctrl+Z each time dash has brought the run back.
        const auto until = std::chrono::steady_clock::now() + 200ms;
        const auto going_on = [&] {
            return waitpid(run.pid, &run.status, WNOHANG) == 0 &&
                   std::chrono::steady_clock::now() < until;
        };
        while (going_on()) {
            kill(program, GetParam());
            while (GetParam() == SIGTSTP && process_state(program) != 'T' && going_on()) {
            }
            while (process_state(program) == 'T' && going_on()) {
            }
        }
        if (run.status == -1) {
            run.wait_for_exit(10s);
        }
        ASSERT_TRUE(exited_with_zero(run.status)) << run.status;
        expect_same_settings(run.settings(), run.settings_at_start);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, EndOfARun, testing::Values(SIGCONT, SIGTSTP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// The program as a job of a shell with job control (bash at the terminal, its own process
// group in the foreground): run in the background, stopped, ended and brought back as a
// user does. $1 is the program; bash reports what became of the job on standard output.
struct shell_case {
    const char* name;
    const char* script;
    bool key_at_the_prompt; // typed once the program has the terminal in its key mode
    std::string out;
};

class AsAJob : public testing::TestWithParam<shell_case> {};

TEST_P(AsAJob, KeepsItsPaceTillTheKey)
{
    terminal_run run({"/bin/bash", "--norc", "-i", "-c", GetParam().script, "bash", PROGRAM},
                     false);
    if (GetParam().key_at_the_prompt) {
        const auto key_mode = [&] { return (run.settings().c_lflag & (ICANON | ISIG)) == 0; };
        ASSERT_TRUE(run.read_until(key_mode, 20s)) << run.out << run.err;
        run.type("q");
    }
    EXPECT_TRUE(exited_with_zero(run.wait_for_exit(20s))) << run.status;
    EXPECT_EQ(run.out, GetParam().out) << run.err;
    expect_same_settings(run.settings(), run.settings_at_start);
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, AsAJob,
    testing::Values(
        shell_case{"InTheBackground", R"("$1" & wait %1; echo stopped $?; fg >/dev/null; echo $?)",
                   true, transcript + "stopped 149\n0\n"},
        shell_case{
            "EndedBySignals",
            R"(for s in TERM HUP; do "$1" >/dev/null & sleep 1; kill -$s %1; wait %1; echo $?; done)",
            false, "143\n129\n"},
        shell_case{
            "Suspended",
            R"("$1" >/dev/null & sleep 1; kill -TSTP %1; wait %1; echo stopped $?; fg >/dev/null; echo $?)",
            true, "stopped 148\n0\n"},
        shell_case{"OutputClosed", R"("$1" >&-; echo $?)", true, "1\n"},
        // Its shell ends and the user's takes the terminal back: the run, in the background
        // now and not stopped, must still put the modes back when it ends.
        shell_case{"LeftByItsShell", R"(sh -c '"$1" >/dev/null & sleep 1' sh "$1"; sleep 7)", false,
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });
