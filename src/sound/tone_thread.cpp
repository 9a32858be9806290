// The sound thread, where the tone drivers run one job at a time, and the bounded waits
// for it (tone_player.h says why; docs/sound.md says how each time was found).
#include "sound/tone_player.h"

#include "platform/posix_signals.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include <pthread.h>

namespace {

// A tone to play now, or, without one, a pause to keep silent until `due`.
struct tone_job {
    tone_clock::time_point due; // the pause's end, or the tone's
    std::optional<int> frequency_hz;
    std::chrono::milliseconds duration{};
};

// What the program and the sound thread share, under the mutex. Never destroyed: a thread
// stuck in a library at exit must not find it gone if it comes back.
struct shared_state {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;            // a job is posted or under way
    bool posted = false;          // a job waits for the sound thread to take it
    bool ending = false;          // the program is exiting: put everything away
    bool closed = false;          // everything is put away, at exit
    bool kept_up = true;          // the last tone was heard to end in time
    bool on_time = false;         // the last job was done in time
    tone_clock::duration early{}; // how early the last pause ended, for the tone after it
    tone_job job;                 // the job posted or under way
};
shared_state& state = *new shared_state;

// The desktop's sound server first, which mixes our tone with what else plays, then ALSA.
const tone_driver* open_first([[maybe_unused]] tone_clock::time_point give_up_at)
{
#if LOWLEVEL_DEMO_HAVE_PULSE
    if (pulse_driver.open(give_up_at)) {
        return &pulse_driver;
    }
#endif
#if LOWLEVEL_DEMO_HAVE_ALSA
    if (alsa_driver.open(give_up_at)) {
        return &alsa_driver;
    }
#endif
    return nullptr;
}

// Silence (none if negative), then the job's tone and its trailer, made and given to the
// driver 10 ms at a time, so that the device takes the first before the rest are made.
bool write(const tone_driver& driver, std::int64_t silence, const tone_job& job,
           tone_clock::time_point give_up_at)
{
    const std::int64_t tone = frames_in(job.duration);
    silence = std::max<std::int64_t>(silence, 0);
    const std::int64_t end =
        silence + tone + (job.frequency_hz ? frames_in(tone_times::trailer) : 0);
    std::int16_t chunk[tone_sample_rate / 100];
    for (std::int64_t start = 0; start < end; start += std::ssize(chunk)) {
        const std::int64_t count = std::min<std::int64_t>(std::ssize(chunk), end - start);
        for (std::int64_t i = 0; i < count; ++i) {
            const auto frame = static_cast<long>(start + i - silence);
            chunk[i] = frame < 0 || frame >= tone ? std::int16_t{0}
                                                  : tone_sample(frame, static_cast<long>(tone),
                                                                job.frequency_hz.value_or(0));
        }
        if (!driver.write(chunk, count, give_up_at)) {
            return false;
        }
    }
    return true;
}

enum class outcome { failed, late, on_time };

// A pause: silence heard until a little before its end, written `ahead` of it. A tone:
// written at once after that silence, and waited for until it is heard to end, or its
// time: better a greeting a moment late than one shown over the end of its tone.
outcome play(const tone_driver& driver, const tone_job& job)
{
    if (!job.frequency_hz) {
        if (job.due <= tone_clock::now()) {
            return outcome::late; // a pause of no length: nothing to queue
        }
        const auto until = job.due - tone_times::onset / 2; // a driver waiting for room is done
        std::this_thread::sleep_until(job.due - driver.ahead);
        const auto heard = driver.heard_at(job.due);
        if (!heard || !write(driver, frames_in(until - *heard), job, job.due) ||
            !driver.heard_at(job.due)) {
            return outcome::failed;
        }
        return *heard <= until ? outcome::on_time : outcome::late;
    }
    const auto latest = job.due + tone_times::grace;
    const auto start = job.due - job.duration; // the rest of the pause's silence first
    const auto queued = driver.heard_at(latest);
    const auto heard = queued && write(driver, frames_in(start - *queued), job, job.due)
                           ? driver.heard_at(latest)
                           : std::nullopt;
    const auto end = heard ? *heard - tone_times::trailer + tone_times::margin : job.due;
    const bool in_time = heard && end <= latest;
    std::this_thread::sleep_until(in_time ? end : job.due);
    return in_time ? outcome::on_time : outcome::failed; // what is left would come too late
}

// Waits for a job, putting the device away if none comes within idle_close.
bool wait_for_job(std::unique_lock<std::mutex>& lock, const tone_driver*& driver)
{
    const auto ready = [] { return state.posted || state.ending; };
    const auto idle_until = state.job.due + tone_times::idle_close;
    if (driver != nullptr && !state.changed.wait_until(lock, idle_until, ready)) {
        lock.unlock();
        std::exchange(driver, nullptr)->close();
        lock.lock();
    }
    state.changed.wait(lock, ready);
    return !state.ending;
}

// A driver that fails a job is closed, dropping what it holds; the next job opens one.
void run_jobs()
{
    const tone_driver* driver = nullptr; // the one open, if any
    bool looked = false;                 // the drivers were tried and none opened
    std::unique_lock lock(state.mutex);
    while (wait_for_job(lock, driver)) {
        state.posted = false;
        const tone_job job = state.job;
        lock.unlock();
        if (driver == nullptr && !looked) {
            // Given time even if the first job has none (a pause of 0 ms).
            driver = open_first(std::max(job.due, tone_clock::now() + tone_times::open_time));
            looked = driver == nullptr;
            // So that the exit sees what the libraries set up, even if play blocks for good.
            const std::lock_guard seen(state.mutex);
        }
        const outcome done = driver != nullptr ? play(*driver, job) : outcome::failed;
        if (driver != nullptr && done == outcome::failed) {
            std::exchange(driver, nullptr)->close();
        }
        lock.lock();
        if (job.frequency_hz) {
            state.kept_up = tone_clock::now() <= job.due + tone_times::grace;
        }
        state.on_time = done == outcome::on_time;
        state.busy = false;
        state.changed.notify_all();
    }
    lock.unlock();
    if (driver != nullptr) {
        driver->close();
    }
    lock.lock();
    state.closed = true;
    state.changed.notify_all();
}

// The exit waits for the closing only until close_grace, and not at all if the thread is
// still busy: a thread stuck in a library is left there, and the kernel closes what it holds.
void end_sound_thread()
{
    std::unique_lock lock(state.mutex);
    state.ending = true;
    state.changed.notify_all();
    if (!state.busy) {
        state.changed.wait_for(lock, tone_times::close_grace, [] { return state.closed; });
    }
}

// Detached, with a stack of its own size, not the shell's `ulimit -s`, as are the threads
// the libraries start. Signals are the main thread's, which looks after the terminal: this
// thread takes only those a fault raises (blocked, they would kill at once), and handles
// them on a stack of its own, as a library may have used up the thread's.
bool start_thread()
{
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (const int fault : posix_signals::faults) {
        sigdelset(&blocked, fault);
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, tone_times::stack_bytes);
#ifdef __GLIBC__
    pthread_setattr_default_np(&attributes);
#endif
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    pthread_t thread{};
    const auto run = [](void*) -> void* {
        static char memory[64 * 1024]; // one sound thread, so one stack
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = sizeof memory;
        stack_t previous{};
        sigaltstack(&stack, &previous);
        run_jobs();
        sigaltstack(&previous, nullptr); // a sanitizer's runtime frees the one it had set
        return nullptr;
    };
    const bool started = pthread_create(&thread, &attributes, run, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}

// Hands the sound thread a job, starting it the first time; false, and no job, if it is
// still busy with the last one or cannot be started (silence, on time).
bool post(const tone_job& job)
{
    static const bool started = [] {
        // libpulse's errors go to the system log, not to the program's standard error; set
        // before any thread starts, as setenv must be.
        setenv("PULSE_LOG_SYSLOG", "1", 0);
        return start_thread() && std::atexit(end_sound_thread) == 0;
    }();
    if (!started || state.busy) {
        return false;
    }
    state.busy = state.posted = true;
    state.job = job;
    state.changed.notify_all();
    return true;
}

} // namespace

tone_clock::time_point wait_out_pause(tone_clock::time_point pause_end)
{
    std::unique_lock lock(state.mutex);
    pause_end += std::exchange(state.early, {}); // after a pause that ended early, as heard
    if (post({.due = pause_end, .frequency_hz = std::nullopt})) {
        state.changed.wait_until(lock, pause_end - tone_times::onset, [] { return !state.busy; });
        if (!state.busy && state.on_time) {
            state.early = tone_times::onset;
        }
    }
    return pause_end - state.early;
}

tone_clock::time_point play_tone(int frequency_hz, std::chrono::milliseconds duration,
                                 tone_clock::time_point end_by)
{
    std::unique_lock lock(state.mutex);
    end_by += std::exchange(state.early, {});
    // A job just begun, the device's opening for a first pause of a moment, may be done
    // while the tone can still be heard whole: waited for then, within the tone's time.
    const auto start = end_by - duration;
    state.changed.wait_until(lock, std::min(end_by, start + tone_times::grace / 2),
                             [] { return !state.busy; });
    // A sound system once late is not waited for past the tone's time until it keeps up.
    const auto wait_until = state.kept_up ? end_by + tone_times::grace : end_by;
    if (post({.due = end_by, .frequency_hz = frequency_hz, .duration = duration})) {
        state.changed.wait_until(lock, wait_until, [] { return !state.busy; });
    }
    return end_by;
}
