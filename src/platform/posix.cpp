// The platform layer for Linux and other POSIX systems. Pauses sleep on a steady clock;
// tones are played on the sound thread (sound/tone_player.h), never for longer than their
// time; the key is read from the controlling terminal, as a console program reads its
// console even when standard input is redirected, and the terminal is always handed back
// as it was found.
#include "platform.h"

#include "sound/tone_player.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Why standard output could not be written, once it could not; 0 while all is well. A
// reader that went away (EPIPE) is not counted: it took what it wanted, and the run goes on
// at its pace and ends as usual.
int write_error = 0;

void flush_output()
{
    if (std::fflush(stdout) != 0 && errno != EPIPE && write_error == 0) {
        write_error = errno;
    }
}

// The terminal state below is file-level because signal handlers must reach it. Each
// piece is set before any handler that reads it is installed.

// The controlling terminal while a console_session lives; -1 when there is none, and then
// the key is read from standard input instead.
int tty = -1;

// The terminal's settings as they were found, put back however the run ends.
termios original_settings{};

// While the greetings run: typed keys are neither echoed nor held back for a whole line,
// so they wait unseen; Ctrl+C and Ctrl+Z still act as usual.
termios quiet_settings{};

// While waiting for the key: every key is just a key, Ctrl+C, Ctrl+Z, Ctrl+S and Ctrl+V
// included.
termios key_settings{};

// Which of the two the program wants now, so that a run resumed after Ctrl+Z can put it
// back. Written by the main flow, read by a handler.
enum terminal_mode : int { quiet_mode, key_mode };
volatile std::sig_atomic_t wanted_mode = quiet_mode;

// Signals that end the run, and those that stop and resume it. Their dispositions from
// before the session, restored when it ends.
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previous_ending[std::size(ending_signals)]{};
struct sigaction previous_stop {};
struct sigaction previous_continue {};

// Async-signal-safe: called from the handlers below.
void apply(const termios& settings, int when)
{
    while (tcsetattr(tty, when, &settings) != 0 && errno == EINTR) {
    }
}

const termios& settings_for(std::sig_atomic_t mode)
{
    return mode == key_mode ? key_settings : quiet_settings;
}

// Leaving discards unread input, such as the rest of an arrow key's bytes or keys typed
// after the one that counted, so that none of it reaches the shell.
void restore_terminal()
{
    apply(original_settings, TCSAFLUSH);
}

void enter_mode(terminal_mode mode)
{
    wanted_mode = mode;
    apply(settings_for(mode), TCSANOW);
}

// A signal that ends the run: put the terminal back, then end as that signal would have
// (SA_RESETHAND has already restored its default action).
extern "C" void on_ending_signal(int signal_number)
{
    restore_terminal();
    std::raise(signal_number);
}

// Takes the terminal again after a stop, but only in the foreground: a job resumed in the
// background must leave the terminal to the shell.
void resume_terminal()
{
    if (tcgetpgrp(tty) == getpgrp()) {
        apply(settings_for(wanted_mode), TCSANOW);
    }
}

void install(int signal_number, void (*handler)(int), int flags, struct sigaction* previous)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, previous);
}

// Ctrl+Z: hand the terminal back as it was found, then stop as SIGTSTP would have.
extern "C" void on_stop(int /*signal_number*/)
{
    const int saved_errno = errno;
    restore_terminal();

    install(SIGTSTP, SIG_DFL, 0, nullptr);
    std::raise(SIGTSTP); // blocked while this handler runs: pending until unblocked
    sigset_t stop_only;
    sigemptyset(&stop_only);
    sigaddset(&stop_only, SIGTSTP);
    // This thread's mask, where raise left the signal pending: sigprocmask is undefined in
    // a process with more than one thread, and the sound thread makes two.
    pthread_sigmask(SIG_UNBLOCK, &stop_only, nullptr); // the process stops here

    // Resumed; or never stopped, as happens when no shell is there to resume it.
    install(SIGTSTP, on_stop, SA_RESTART, nullptr);
    resume_terminal();
    errno = saved_errno;
}

// Brought back to the foreground (fg after bg): take the terminal again.
extern "C" void on_continue(int /*signal_number*/)
{
    const int saved_errno = errno;
    resume_terminal();
    errno = saved_errno;
}

// Like install, but a signal that the caller chose to ignore (nohup, or a shell without
// job control) stays ignored.
void take_over(int signal_number, void (*handler)(int), int flags, struct sigaction* previous)
{
    sigaction(signal_number, nullptr, previous);
    if (previous->sa_handler != SIG_IGN) {
        install(signal_number, handler, flags, nullptr);
    }
}

void install_handlers()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        take_over(ending_signals[i], on_ending_signal, SA_RESETHAND, &previous_ending[i]);
    }
    take_over(SIGTSTP, on_stop, SA_RESTART, &previous_stop);
    install(SIGCONT, on_continue, SA_RESTART, &previous_continue);
}

void remove_handlers()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], &previous_ending[i], nullptr);
    }
    sigaction(SIGTSTP, &previous_stop, nullptr);
    sigaction(SIGCONT, &previous_continue, nullptr);
}

void make_settings()
{
    quiet_settings = original_settings;
    quiet_settings.c_lflag &= ~tcflag_t{ECHO | ECHONL | ICANON};
    quiet_settings.c_cc[VMIN] = 1; // a read returns as soon as one byte is there
    quiet_settings.c_cc[VTIME] = 0;

    key_settings = quiet_settings;
    key_settings.c_lflag &= ~tcflag_t{ISIG | IEXTEN}; // Ctrl+C, Ctrl+Z, Ctrl+V are bytes
    key_settings.c_iflag &= ~tcflag_t{IXON};          // and so are Ctrl+S and Ctrl+Q
}

ssize_t read_retrying(int fd, char* buffer, std::size_t size)
{
    ssize_t count = 0;
    do {
        count = read(fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

// Reads one key press. A key that sends several bytes (an arrow, a function key) usually
// arrives in one read; a lone Esc may be the first byte of such a key, so give the rest a
// moment to arrive, to be discarded with it.
void read_key_from_terminal()
{
    constexpr int rest_of_key_ms = 50;
    char bytes[64]; // more than any key sends at once
    const ssize_t count = read_retrying(tty, bytes, sizeof bytes);
    if (count == 1 && bytes[0] == '\x1b') {
        pollfd rest{.fd = tty, .events = POLLIN, .revents = 0};
        poll(&rest, 1, rest_of_key_ms);
    }
}

} // namespace

console_session::console_session()
{
    // A reader that goes away (a pipe into `head`, say) must not end the run early.
    std::signal(SIGPIPE, SIG_IGN);

    tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return;
    }
    if (tcgetattr(tty, &original_settings) != 0) {
        close(tty);
        tty = -1;
        return;
    }
    make_settings();
    install_handlers();
    enter_mode(quiet_mode);
}

console_session::~console_session()
{
    if (tty < 0) {
        return;
    }
    restore_terminal();
    remove_handlers();
    close(tty);
    tty = -1;
}

void pause_for(std::chrono::milliseconds duration)
{
    // The deadline is taken first, so the time spent flushing is part of the pause. The
    // sound device is readied meanwhile, so that the tone after the pause starts on time.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    flush_output();
    get_tones_ready(deadline);
    std::this_thread::sleep_until(deadline);
}

void sound_tone(int frequency_hz, std::chrono::milliseconds duration)
{
    // Whatever the sound system does (no device, a busy one, a sink that returns at once,
    // a server that hangs), the tone takes its full time, counted from the call, so the
    // run keeps its pace.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    flush_output();
    play_tone({.frequency_hz = frequency_hz, .duration = duration, .end_by = deadline});
    std::this_thread::sleep_until(deadline);
}

void wait_for_key()
{
    if (tty < 0) {
        // No terminal: one byte of standard input, and end of input ends the wait too.
        flush_output();
        char byte = 0;
        read_retrying(STDIN_FILENO, &byte, 1);
        return;
    }
    // Every key is just a key before the prompt can be seen: a Ctrl+C pressed the moment
    // it appears must end the wait, not the program.
    enter_mode(key_mode);
    flush_output();
    read_key_from_terminal();
    wanted_mode = quiet_mode;
    apply(quiet_settings, TCSAFLUSH);
}

int exit_status()
{
    flush_output();
    if (write_error == 0) {
        return 0;
    }
    std::fprintf(stderr, "lowlevel-demo: write error: %s\n", std::strerror(write_error));
    return 1;
}
