// The platform layer for Windows: pauses on a steady clock (std::this_thread::sleep_until,
// which MinGW's C++ library does with Sleep), the kernel's Beep, and the C runtime's _getch,
// which reads the console even when standard input is redirected.
#include "platform.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <conio.h>
#include <windows.h>

namespace {

// Why standard output could not be written, once it could not; 0 while all is well. A
// reader that went away is not counted: it took what it wanted. A write to a pipe fails
// only for that.
int write_error = 0;

void flush_output()
{
    std::fflush(stdout); // a failed write may show in ferror alone
    const bool to_pipe = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE;
    if (std::ferror(stdout) != 0 && !to_pipe && write_error == 0) {
        write_error = errno != 0 ? errno : EIO;
    }
}

// Throws away what reaches the console's input buffer until it has been quiet for a
// moment, which the shell would otherwise read once the program has ended: keys typed
// after the one that counted, the rest of a paste, a key held down. Bounded, so that a
// stream of input cannot keep the program. With no console there is nothing to throw away.
void discard_console_input()
{
    const HANDLE console =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) {
        return;
    }
    constexpr auto quiet = std::chrono::milliseconds(50); // longer than a held key's repeat
    const auto give_up_at = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    DWORD arrived = 0;
    do {
        FlushConsoleInputBuffer(console);
        std::this_thread::sleep_for(quiet);
    } while (GetNumberOfConsoleInputEvents(console, &arrived) != 0 && arrived > 0 &&
             std::chrono::steady_clock::now() < give_up_at);
    FlushConsoleInputBuffer(console);
    CloseHandle(console);
}

} // namespace

// The console needs no preparing: a key pressed before _getch waits unseen in its input
// buffer, and nothing changes a console mode that could outlive the run.
console_session::console_session() = default;
console_session::~console_session() = default;

void pause_for(std::chrono::milliseconds duration)
{
    // The deadline is taken first, so the time spent flushing is part of the pause.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    flush_output();
    std::this_thread::sleep_until(deadline);
}

void sound_tone(int frequency_hz, std::chrono::milliseconds duration)
{
    // Beep fails at once where there is no sound device; the tone still takes its time,
    // so the run keeps its pace.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    flush_output();
    Beep(static_cast<DWORD>(frequency_hz), static_cast<DWORD>(duration.count()));
    std::this_thread::sleep_until(deadline);
}

void wait_for_key()
{
    flush_output();
    // A function or arrow key comes as two codes, 0 or 0xE0 and then the key's own; the
    // second waits in the C runtime's buffer, which ends with the program. What is left in
    // the console's buffer would not: keys typed during the greetings, say.
    _getch();
    discard_console_input();
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
