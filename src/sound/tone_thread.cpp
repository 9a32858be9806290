// The sound thread: the tone drivers run here, one job at a time, while the program waits
// for each tone only until a little after it is due to end. Whatever a sound library
// does, even block for good, the program keeps its pace and can exit.
#include "sound/tone_player.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace {

// Plays nothing: what the sound thread uses when no driver opens, so that a machine with
// no sound at all stops looking.
const tone_driver silent_driver{
    .open = [](tone_clock::time_point) { return true; },
    .lead_in = [](tone_clock::time_point) {},
    .play = [](const tone_request&) { return true; },
    .close = [] {},
};

// A job for the sound thread: a tone to play, or none to get ready for the next one.
struct job {
    std::optional<tone_request> tone;
    tone_clock::time_point give_up_at; // for a tone, its end; else when the next is due
};

// What the program and the sound thread share, under the mutex.
struct shared_state {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;   // the sound thread, once started
    bool started = false; // the sound thread is running
    bool ending = false;  // the program is exiting: so should the sound thread
    bool busy = false;    // a job is posted or under way
    bool posted = false;  // a job is waiting for the sound thread to take it
    bool kept_up = true;  // the last tone was heard to end in time
    job next;             // the job posted
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

// Does the job with the driver, opening one first if there is none. Returns the driver for
// the next job: none if this one failed, so that the next looks again.
const tone_driver* do_job(const job& job, const tone_driver* driver)
{
    if (driver == nullptr) {
        driver = open_first(job.give_up_at);
        // Through the mutex before anything that may block for good, so that what the
        // libraries set up as they loaded is seen by the main thread: its exit undoes it,
        // even if this thread is stuck by then.
        const std::lock_guard handed_over(shared().mutex);
    }
    if (!job.tone) {
        driver->lead_in(job.give_up_at);
    } else if (!driver->play(*job.tone)) {
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
        state.changed.wait(lock, [&] { return state.posted || state.ending; });
        if (state.ending) {
            break;
        }
        state.posted = false;
        const job taken = state.next;
        lock.unlock();
        driver = do_job(taken, driver);
        lock.lock();
        if (taken.tone) {
            state.kept_up = tone_clock::now() <= taken.tone->end_by + tone_grace;
        }
        state.busy = false;
        state.changed.notify_all();
    }
    lock.unlock();
    if (driver != nullptr) {
        driver->close();
    }
}

// At exit: an idle sound thread (or one about to be) closes its device and ends, so that
// nothing is left behind. One still stuck inside a sound library is left where it is:
// exit must not wait for it, and finds nothing of ours gone when it comes back.
void end_sound_thread()
{
    shared_state& state = shared();
    std::unique_lock lock(state.mutex);
    if (!state.changed.wait_for(lock, tone_grace, [&] { return !state.busy; })) {
        return;
    }
    state.ending = true;
    state.changed.notify_all();
    lock.unlock();
    state.thread.join();
}

// Hands the sound thread a job, starting the thread the first time; false, and no job,
// if it is still busy with the last one or cannot be started.
bool post(shared_state& state, const job& job)
{
    if (state.busy) {
        return false;
    }
    if (!state.started) {
        try {
            state.thread = std::thread(run_jobs);
        } catch (const std::system_error&) {
            return false; // no thread to be had: silence, on time
        }
        state.started = true;
        std::atexit(end_sound_thread);
    }
    state.busy = true;
    state.posted = true;
    state.next = job;
    state.changed.notify_all();
    return true;
}

} // namespace

void get_tones_ready(tone_clock::time_point tone_due)
{
    shared_state& state = shared();
    const std::lock_guard lock(state.mutex);
    post(state, {.tone = std::nullopt, .give_up_at = tone_due});
}

void play_tone(const tone_request& tone)
{
    shared_state& state = shared();
    std::unique_lock lock(state.mutex);
    // A sound system that has once been too late (a stalled server, or one that
    // plays far behind) is not waited for beyond the tone's own time, until it keeps up
    // again.
    const auto wait_until = state.kept_up ? tone.end_by + tone_grace : tone.end_by;
    if (post(state, {.tone = tone, .give_up_at = tone.end_by})) {
        state.changed.wait_until(lock, wait_until, [&] { return !state.busy; });
    }
}
