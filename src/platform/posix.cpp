// The platform layer for Linux and other POSIX systems. Pauses sleep on a steady clock;
// tones are played on the sound thread (sound/tone_player.h), never for longer than their
// time; the key is read from the controlling terminal, as a console program reads its
// console even when standard input is redirected. The terminal's modes are set only while
// the program is the foreground job, and are always handed back as they were found.
#include "platform.h"

#include "platform/posix_signals.h"
#include "sound/tone_player.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
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

// Sleeps until the deadline, however many signals come meanwhile. After each signal,
// std::this_thread::sleep_until sleeps again for what was left when it came, so each
// handler's time and the kernel's timer slack would be added to the pause, and a flood of
// signals would cost the run more than it lasted. (The steady clock is CLOCK_MONOTONIC.)
void sleep_until_deadline(std::chrono::steady_clock::time_point deadline)
{
    const auto since_epoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
    const timespec until{
        .tv_sec = seconds.count(),
        .tv_nsec = std::chrono::nanoseconds(since_epoch - seconds).count(),
    };
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// The terminal state below is file-level because signal handlers must reach it. The main
// flow changes it only with the handlers held off (handlers_held), and they hold off one
// another, so that none finds it half changed.

// The terminal the key is read from while a console_session lives; -1 when there is none,
// and then the key is read from standard input instead.
int tty = -1;

// Whether the terminal is in one of the program's modes, so that original_settings are
// what to put back. Set and cleared by the main flow and by handlers alike.
volatile std::sig_atomic_t holding = 0;

// The terminal's settings as they were when the program took it, put back however the run
// ends, and whenever it is suspended.
termios original_settings{};

// While the greetings run: typed keys are neither echoed nor held back for a whole line,
// so they wait unseen; Ctrl+C and Ctrl+Z still act as usual.
termios quiet_settings{};

// While waiting for the key: every key is just a key, Ctrl+C, Ctrl+Z, Ctrl+S and Ctrl+V
// included.
termios key_settings{};

// Which of the two the program wants now, so that a run brought to the foreground can take
// the terminal in it. Written by the main flow, read by handlers.
enum terminal_mode : int { quiet_mode, key_mode };
volatile std::sig_atomic_t wanted_mode = quiet_mode;

// On the signals that end the run, sent to it or of a fault (posix_signals.h), the handlers
// put the terminal back, then the run ends as that signal would have ended it.
using posix_signals::ending;
using posix_signals::faults;

// Dispositions from before the session, by signal number, restored when it ends.
struct sigaction previous_actions[NSIG] {};

// Where the handlers run: a stack overflow leaves no room on the program's own stack.
alignas(16) char signal_stack[64 * 1024];
stack_t previous_signal_stack{};

// What the handlers hold off while one of them runs, and the main flow while it changes
// the terminal: the signals sent to the run, and those of job control.
sigset_t held_signals()
{
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : ending) {
        sigaddset(&held, signal_number);
    }
    sigaddset(&held, SIGTSTP);
    sigaddset(&held, SIGCONT);
    return held;
}

// While it lives, the main flow's change to the terminal is not interrupted by a handler
// that would find it half made.
struct handlers_held {
    sigset_t previous{};
    handlers_held()
    {
        const sigset_t held = held_signals();
        pthread_sigmask(SIG_BLOCK, &held, &previous);
    }
    ~handlers_held()
    {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    handlers_held(const handlers_held&) = delete;
    handlers_held& operator=(const handlers_held&) = delete;
};

// The functions from here to install are async-signal-safe: handlers call them.

void apply(const termios& settings, int when)
{
    while (tcsetattr(tty, when, &settings) != 0 && errno == EINTR) {
    }
}

// Whether the program may set the terminal's modes now: it is the foreground job (a
// background job that tried would be stopped, SIGTTOU), or the terminal is standard input
// and not its controlling terminal, where there are no jobs.
bool may_set_modes()
{
    const pid_t foreground = tcgetpgrp(tty);
    return foreground == getpgrp() || (foreground == -1 && errno == ENOTTY);
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

// Puts the terminal in the wanted mode, first noting its settings if the program does not
// hold it yet; where it may not, leaves it to the foreground job until the run is brought
// to the foreground (on_continue).
void take_terminal()
{
    if (!may_set_modes()) {
        return;
    }
    if (!holding) {
        if (tcgetattr(tty, &original_settings) != 0) {
            return;
        }
        make_settings();
        holding = 1;
    }
    apply(wanted_mode == key_mode ? key_settings : quiet_settings, TCSANOW);
}

// Whether the terminal is still in the given mode: nobody changed it since.
bool still_in_mode(const termios& mode)
{
    termios now{};
    return tcgetattr(tty, &now) == 0 && now.c_lflag == mode.c_lflag &&
           now.c_iflag == mode.c_iflag && now.c_oflag == mode.c_oflag &&
           now.c_cflag == mode.c_cflag;
}

// From the background, with SIGTTOU held off so that the kernel lets the change through
// instead of stopping the run.
void apply_from_background(const termios& settings)
{
    sigset_t stop_for_output;
    sigemptyset(&stop_for_output);
    sigaddset(&stop_for_output, SIGTTOU);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stop_for_output, &previous);
    apply(settings, TCSANOW);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Puts back the settings found. Leaving discards unread input, such as keys typed after
// the one that counted, so that none of it reaches the shell. A run can also find itself
// in the background without being stopped: its shell (`sh -c 'lowlevel-demo &'`) ended
// and the user's shell took the terminal back. It still puts the settings back, if they
// are still its own (a program that set its own since owns the terminal now), and keeps
// the input, which is the foreground's.
void hand_back_terminal()
{
    if (holding && may_set_modes()) {
        apply(original_settings, TCSAFLUSH);
    } else if (holding && (still_in_mode(quiet_settings) || still_in_mode(key_settings))) {
        apply_from_background(original_settings);
    }
    holding = 0;
}

void install(int signal_number, void (*handler)(int), int flags, struct sigaction* previous)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags | SA_ONSTACK;
    action.sa_mask = held_signals();
    sigaction(signal_number, &action, previous);
}

// A signal that ends the run: put the terminal back, then end as that signal would have.
// The signal raised here is blocked until the handler returns; a fault's, after it, comes
// again from the instruction that caused it. Either way it finds its default action.
extern "C" void on_ending_signal(int signal_number)
{
    hand_back_terminal();
    install(signal_number, SIG_DFL, 0, nullptr);
    std::raise(signal_number);
}

// Ctrl+Z: hand the terminal back as it was found, then stop as SIGTSTP would have.
extern "C" void on_stop(int /*signal_number*/)
{
    const int saved_errno = errno;
    hand_back_terminal();

    install(SIGTSTP, SIG_DFL, 0, nullptr);
    std::raise(SIGTSTP); // blocked while this handler runs: pending until unblocked
    sigset_t stop_only;
    sigemptyset(&stop_only);
    sigaddset(&stop_only, SIGTSTP);
    // This thread's mask, where raise left the signal pending: sigprocmask is undefined in
    // a process with more than one thread, and the sound thread makes two.
    pthread_sigmask(SIG_UNBLOCK, &stop_only, nullptr); // the process stops here
    // Resumed; or never stopped, as where no shell has job control (setsid): the kernel
    // drops the stop. Blocked again before the handler is back, so that the next SIGTSTP
    // of a flood waits for this handler to return instead of running inside it.
    pthread_sigmask(SIG_BLOCK, &stop_only, nullptr);
    install(SIGTSTP, on_stop, SA_RESTART, nullptr);
    take_terminal();
    errno = saved_errno;
}

// Resumed, or brought to the foreground (fg): take the terminal if it is now the run's and
// not already in the mode wanted. Only looking costs a flood of SIGCONT little.
extern "C" void on_continue(int /*signal_number*/)
{
    const int saved_errno = errno;
    if (!holding || !still_in_mode(wanted_mode == key_mode ? key_settings : quiet_settings)) {
        take_terminal();
    }
    errno = saved_errno;
}

// Like install, but a signal that the caller chose to ignore (nohup, or a shell without
// job control) stays ignored.
void take_over(int signal_number, void (*handler)(int), int flags)
{
    sigaction(signal_number, nullptr, &previous_actions[signal_number]);
    if (previous_actions[signal_number].sa_handler != SIG_IGN) {
        install(signal_number, handler, flags, nullptr);
    }
}

void install_handlers()
{
    stack_t stack{};
    stack.ss_sp = signal_stack;
    stack.ss_size = sizeof signal_stack;
    sigaltstack(&stack, &previous_signal_stack);
    for (const int signal_number : ending) {
        take_over(signal_number, on_ending_signal, 0);
    }
    for (const int signal_number : faults) {
        take_over(signal_number, on_ending_signal, 0);
    }
    take_over(SIGTSTP, on_stop, SA_RESTART);
    install(SIGCONT, on_continue, SA_RESTART, &previous_actions[SIGCONT]);
}

void remove_handlers()
{
    for (const int signal_number : ending) {
        sigaction(signal_number, &previous_actions[signal_number], nullptr);
    }
    for (const int signal_number : faults) {
        sigaction(signal_number, &previous_actions[signal_number], nullptr);
    }
    sigaction(SIGTSTP, &previous_actions[SIGTSTP], nullptr);
    sigaction(SIGCONT, &previous_actions[SIGCONT], nullptr);
    sigaltstack(&previous_signal_stack, nullptr);
}

void set_mode(terminal_mode mode)
{
    const handlers_held held;
    wanted_mode = mode;
    take_terminal();
}

// The controlling terminal; where there is none (a program started by setsid has none of
// its own), standard input if it is a terminal; else -1. Above the standard streams: with
// standard output closed, the terminal must not take its place.
int open_terminal()
{
    const int opened = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int terminal = opened >= 0 ? opened : (isatty(STDIN_FILENO) != 0 ? STDIN_FILENO : -1);
    const int above = terminal < 0 ? -1 : fcntl(terminal, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (opened >= 0) {
        close(opened);
    }
    return above;
}

ssize_t read_retrying(int fd, char* buffer, std::size_t size)
{
    ssize_t count = 0;
    do {
        count = read(fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

// Waits for input and reads it; 0 at the end of input. Standard input may have been left
// non-blocking by another program that shares it, and then answers EAGAIN while there is
// nothing to read yet, which is not the end: poll waits for input, a second at a time.
ssize_t read_waiting(int fd, char* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t count = read_retrying(fd, buffer, size);
        if (count >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return count;
        }
        pollfd input{.fd = fd, .events = POLLIN, .revents = 0};
        poll(&input, 1, 1000);
    }
}

// Reads one key press, then discards what follows it until the terminal has been quiet
// for a moment: the rest of an arrow key's bytes, of a paste, of keys typed ahead or of a
// key held down, which the shell would otherwise read. Bounded, so that a stream of input
// cannot keep the program.
void read_key_from_terminal()
{
    using std::chrono::steady_clock;
    // Longer than the gaps in a paste or in a held key's repeat.
    constexpr auto quiet = std::chrono::milliseconds(50);
    constexpr auto longest_discard = std::chrono::seconds(1);
    char bytes[256];
    if (read_waiting(tty, bytes, sizeof bytes) <= 0) {
        return;
    }
    const auto give_up_at = steady_clock::now() + longest_discard;
    auto quiet_at = steady_clock::now() + quiet;
    pollfd more{.fd = tty, .events = POLLIN, .revents = 0};
    for (auto end = quiet_at; steady_clock::now() < end; end = std::min(quiet_at, give_up_at)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - steady_clock::now());
        const int ready = poll(&more, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue; // a signal (kill -CONT, say) is not input: the wait keeps its end
        }
        if (ready <= 0 || read_retrying(tty, bytes, sizeof bytes) <= 0) {
            return; // quiet, or the terminal is gone
        }
        quiet_at = steady_clock::now() + quiet;
    }
}

// A standard stream the caller closed (`>&-`) stays unusable: /dev/null is opened in its
// place the other way round, so that writing to it fails with EBADF as before, and reading
// too. Left closed, the first file a sound library opens would take its number, and the
// transcript or the error line would go into that file or socket. Taken in order, each
// closed stream is the lowest free number, which open takes.
void keep_closed_streams_closed()
{
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(stream, F_GETFD) < 0 && errno == EBADF) {
            open("/dev/null", stream == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        }
    }
}

} // namespace

console_session::console_session()
{
    keep_closed_streams_closed();
    // A reader that goes away (a pipe into `head`, say) must not end the run early.
    std::signal(SIGPIPE, SIG_IGN);

    tty = open_terminal();
    if (tty < 0) {
        return;
    }
    install_handlers();
    set_mode(quiet_mode);
}

console_session::~console_session()
{
    if (tty < 0) {
        return;
    }
    {
        // The handlers go first: one that ran after the hand-back (a SIGCONT) would take the
        // terminal again. A signal that comes meanwhile finds its old action after it.
        const handlers_held held;
        remove_handlers();
        hand_back_terminal();
    }
    close(tty);
    tty = -1;
}

void pause_for(std::chrono::milliseconds duration)
{
    // The deadline is taken first, so the time spent flushing is part of the pause. The
    // sound device is readied meanwhile, so that a tone asked for next is heard as the
    // pause ends.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    flush_output();
    // The sound thread takes no signal but a fault's (posix_signals.h): handlers run here.
    sleep_until_deadline(wait_out_pause(deadline));
}

void sound_tone(int frequency_hz, std::chrono::milliseconds duration)
{
    // Whatever the sound system does (no device, a busy one, a sink that returns at once,
    // a server that hangs), the tone takes its full time, counted from the call, so the
    // run keeps its pace.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    flush_output();
    sleep_until_deadline(play_tone(frequency_hz, duration, deadline));
}

void wait_for_key()
{
    if (tty < 0) {
        // No terminal: one byte of standard input, and end of input ends the wait too.
        flush_output();
        char byte = 0;
        read_waiting(STDIN_FILENO, &byte, 1);
        return;
    }
    // Every key is just a key before the prompt can be seen: a Ctrl+C pressed the moment
    // it appears must end the wait, not the program.
    set_mode(key_mode);
    flush_output();
    if (!may_set_modes()) {
        // A background job needs the foreground to read the key: it stops here, as its read
        // would stop it (SIGTTIN), and takes the terminal once brought back.
        std::raise(SIGTTIN);
        set_mode(key_mode);
    }
    read_key_from_terminal();
    set_mode(quiet_mode);
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
