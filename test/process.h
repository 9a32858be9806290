// Runs the built program the way a user would: detached from any terminal, or at a
// pseudo-terminal of its own that the test types into and reads from.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>
#include <termios.h>

struct program_result {
    int status = -1; // as waitpid reports it; -1 if it had to be killed for running too long
    std::string out;
    std::string err;
};

// Where a detached run's standard output goes: a file, read into `out`; /dev/full (ENOSPC);
// nowhere (closed, EBADF); a pipe whose reader has gone before the program writes (EPIPE).
enum class output_to { file, full_device, nowhere, gone_reader };

// Runs argv in a session of its own, so it has no controlling terminal, with standard
// input from /dev/null and standard error sent to a regular file. `environment` adds
// NAME=value entries to the test's own.
program_result run_detached(const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment = {},
                            output_to output = output_to::file);

// A program running at a fresh pseudo-terminal: its standard input, and its controlling
// terminal unless `controlling` is false (as under setsid, which leaves the program none).
// Its standard output goes either to the terminal or to a pipe of its own. It starts with
// `ignored_signals` ignored, as under nohup.
struct terminal_run {
    terminal_run(const std::vector<std::string>& argv, bool output_to_terminal,
                 const std::vector<int>& ignored_signals = {}, bool controlling = true);
    ~terminal_run();
    terminal_run(const terminal_run&) = delete;
    terminal_run& operator=(const terminal_run&) = delete;

    // Reads what arrives until `done` holds; false if it did not within the limit.
    bool read_until(const std::function<bool()>& done, std::chrono::milliseconds limit);
    bool read_until_output_has(std::string_view text, std::chrono::milliseconds limit);
    // Types the keys at once, or as the terminal takes them, as a terminal emulator pastes;
    // the rest goes on while the test reads.
    void type(std::string_view keys);
    // Waits for the program to end, reading all it writes; kills it past the limit.
    int wait_for_exit(std::chrono::milliseconds limit);

    termios settings() const;
    int unread_input() const; // bytes typed at the terminal that nobody has read
    pid_t foreground() const; // the terminal's foreground process group
    // As another program that shares the terminal can leave it: reads from it do not wait.
    void make_input_non_blocking();

    pid_t pid = -1;
    int status = -1;
    std::string screen; // what the terminal shows: the program's output, if sent there, and echoes
    std::string out;    // the program's output, when it goes to a pipe
    std::string err;
    termios settings_at_start{};

private:
    int master_ = -1;
    int slave_ = -1; // kept open here, so the terminal outlives the program
    int out_ = -1;
    int err_ = -1;
    std::string typed_; // typed keys the terminal has not taken yet

    void type_what_fits();
};

// The transcript as it appears at a terminal, which turns each line feed into CR LF.
std::string as_on_terminal(std::string_view text);

std::string read_file(const std::string& path);
