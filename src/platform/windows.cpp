// The platform layer for Windows: the kernel's Sleep and Beep, and the C runtime's _getch,
// which reads the console even when standard input is redirected.
#include "platform.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include <conio.h>
#include <windows.h>

// The console needs no preparing: a key pressed before _getch waits unseen in its input
// buffer, and nothing changes a console mode that could outlive the run.
console_session::console_session() = default;
console_session::~console_session() = default;

void pause_for(std::chrono::milliseconds duration)
{
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(duration.count()));
}

void sound_tone(int frequency_hz, std::chrono::milliseconds duration)
{
    // Beep fails at once where there is no sound device; the tone still takes its time,
    // so the run keeps its pace.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    std::fflush(stdout);
    Beep(static_cast<DWORD>(frequency_hz), static_cast<DWORD>(duration.count()));
    std::this_thread::sleep_until(deadline);
}

void wait_for_key()
{
    std::fflush(stdout);
    // A function or arrow key comes as two codes, 0 or 0xE0 and then the key's own: read
    // the second too, so that it is not left in the console for the next program.
    const int key = _getch();
    if (key == 0 || key == 0xE0) {
        _getch();
    }
}
