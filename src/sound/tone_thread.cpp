// The sound thread: the tone drivers run here, one job at a time, while the program waits
// for each job only until a deadline, at exit too. Whatever a sound library does, even
// block for good, the program keeps its pace and exits on time.
#include "sound/tone_player.h"

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include <pthread.h>

namespace {

// Plays nothing: what the sound thread uses when no driver opens, so that a machine with
// no sound stops looking.
const tone_driver silent_driver{
    .open = [](tone_clock::time_point) { return true; },
    .play = [](const tone_job&) { return true; },
    .close = [] {},
};

// What the program and the sound thread share, under the mutex.
struct shared_state {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false; // the sound thread is running
    bool busy = false;    // a job is posted or under way
    bool posted = false;  // a job is waiting for the sound thread to take it
    bool ending = false;  // the program is exiting: put everything away
    bool closed = false;  // everything is put away, at exit
    bool kept_up = true;  // the last tone was heard to end in time
    tone_job job;         // the job posted or under way
    std::optional<tone_request> last; // the tone asked for last
};

// Never destroyed: the sound thread may still be inside a library when the program
// exits, and must not find the mutex gone when it comes back.
shared_state& shared()
{
    static shared_state* const state = new shared_state;
    return *state;
}

// The drivers this build has, in the order they are tried: the desktop's sound server,
// which mixes our tone with everything else it plays, then ALSA, then silence.
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
    return &silent_driver;
}

// Does the job, opening a driver first if there is none. Returns the driver for the next
// job: none if this one failed, so that the next looks again.
const tone_driver* do_job(const tone_job& job, const tone_driver* driver)
{
    if (driver == nullptr) {
        driver = open_first(job.tone ? job.tone->end_by : job.due);
        // Through the mutex before anything that may block for good, so that what the
        // libraries set up as they loaded is seen by the main thread as it exits.
        const std::lock_guard handed_over(shared().mutex);
    }
    if (!driver->play(job)) {
        driver->close();
        return nullptr;
    }
    return driver;
}

void run_jobs()
{
    shared_state& state = shared();
    const tone_driver* driver = nullptr; // the one that opened; none before the first job
    std::unique_lock lock(state.mutex);
    for (;;) {
        const bool holds = driver != nullptr && driver != &silent_driver;
        const auto patience = holds ? tone_clock::duration(idle_close) : std::chrono::hours(24);
        if (!state.changed.wait_for(lock, patience, [&] { return state.posted || state.ending; })) {
            lock.unlock(); // no tone coming: the device and connection are put away
            std::exchange(driver, nullptr)->close();
            lock.lock();
            continue;
        }
        if (state.ending) {
            break;
        }
        state.posted = false;
        const tone_job job = state.job;
        lock.unlock();
        driver = do_job(job, driver);
        lock.lock();
        if (job.tone) {
            state.kept_up = tone_clock::now() <= job.tone->end_by + tone_grace;
        }
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

extern "C" void* sound_thread(void* /*unused*/)
{
    run_jobs();
    return nullptr;
}

// Closing is a job like any other: waited for only until the grace, and not at all if
// the thread is still busy with a tone past its time. A thread stuck in a library is left
// there; the kernel closes what it holds when the process ends.
void end_sound_thread()
{
    shared_state& state = shared();
    std::unique_lock lock(state.mutex);
    state.ending = true;
    state.changed.notify_all();
    if (!state.busy) {
        state.changed.wait_for(lock, close_grace, [&] { return state.closed; });
    }
}

// Detached, with a stack of its own size, not the shell's `ulimit -s`, as are the threads
// the libraries start. Signals are the
// main thread's, whose handlers look after the terminal: the sound thread, and the threads
// the libraries start from it, take none but those a fault raises, which the kernel would
// turn into their default action if they were blocked.
bool start_thread()
{
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) {
        sigdelset(&blocked, fault);
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, sound_stack_bytes);
#ifdef __GLIBC__
    pthread_setattr_default_np(&attributes); // and the threads the libraries start
#endif
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    pthread_t thread{};
    const bool started = pthread_create(&thread, &attributes, sound_thread, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}

// Hands the sound thread a job, starting the thread the first time; false, and no job,
// if it is still busy with the last one or cannot be started.
bool post(shared_state& state, const tone_job& job)
{
    if (state.busy) {
        return false;
    }
    if (!state.started) {
        if (!start_thread()) {
            return false; // no thread to be had: silence, on time
        }
        state.started = true;
        std::atexit(end_sound_thread);
    }
    state.busy = true;
    state.posted = true;
    state.job = job;
    state.changed.notify_all();
    return true;
}

} // namespace

bool sleep_until_heard(const tone_request& tone, std::optional<tone_clock::time_point> heard)
{
    // A reckoning may be a fraction of a millisecond early: a greeting shown a moment late
    // is better than one shown over the end of its tone.
    constexpr auto margin = std::chrono::microseconds(500);
    if (heard && *heard + margin <= tone.end_by + tone_grace) {
        std::this_thread::sleep_until(*heard + margin);
        return true;
    }
    std::this_thread::sleep_until(tone.end_by);
    return false;
}

// A pause is taken to lead to a tone like the last one: it is queued with the silence
// before it, so that a late wake-up of the program cannot cut its start.
void get_tones_ready(tone_clock::time_point tone_due)
{
    shared_state& state = shared();
    const std::lock_guard lock(state.mutex);
    tone_job job{.due = tone_due, .tone = state.last};
    if (job.tone) {
        job.tone->end_by = tone_due + job.tone->duration;
    }
    post(state, job);
}

void play_tone(const tone_request& tone)
{
    shared_state& state = shared();
    std::unique_lock lock(state.mutex);
    const auto now = tone_clock::now();
    const bool queued = state.job.tone && state.job.due <= now &&
                        now - state.job.due < tone_lead &&
                        state.job.tone->frequency_hz == tone.frequency_hz &&
                        state.job.tone->duration == tone.duration;
    state.last = tone;
    // A sound system that has once been too late is not waited for beyond the tone's own
    // time, until it keeps up again.
    const auto wait_until = state.kept_up ? tone.end_by + tone_grace : tone.end_by;
    if (queued || post(state, {.due = now, .tone = tone})) {
        state.changed.wait_until(lock, wait_until, [&] { return !state.busy; });
    }
}
