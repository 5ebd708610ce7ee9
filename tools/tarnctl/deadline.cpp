#include "deadline.hpp"

#include "errors.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tarnctl {

namespace {

using Clock = std::chrono::steady_clock;

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    Clock::duration left{};
    Clock::time_point resumedAt{};  // when the clock last started running
    int userWaits = 0;
    std::string step = "starting";
    int exitCode = exitLocal;
    CommandDeadline::Expiry onExpiry;
};

State& state() {
    // Never destroyed: the watchdog may still be waiting while static objects go away at exit.
    static State* s = new State;
    return *s;
}

void watch() {
    State& s = state();
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.userWaits > 0) {
            s.changed.wait(lock);
            continue;
        }
        const Clock::time_point end = s.resumedAt + s.left;
        if (Clock::now() < end) {
            s.changed.wait_until(lock, end);
            continue;
        }
        // Copies: the handler ends the process and must not race the command changing them.
        const std::string step = s.step;
        const int code = s.exitCode;
        lock.unlock();
        s.onExpiry(step, code);
        return;
    }
}

}  // namespace

void CommandDeadline::start(std::chrono::milliseconds limit, Expiry onExpiry) {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.running) return;
        s.running = true;
        s.left = limit;
        s.resumedAt = Clock::now();
        s.onExpiry = std::move(onExpiry);
    }
    std::thread(watch).detach();
}

void CommandDeadline::setBaseStep(std::string description, int exitCode) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.step = std::move(description);
    s.exitCode = exitCode;
}

CommandDeadline::Step::Step(std::string description, int exitCode) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    previous_ = std::exchange(s.step, std::move(description));
    previousExitCode_ = std::exchange(s.exitCode, exitCode);
}

CommandDeadline::Step::~Step() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.step = std::move(previous_);
    s.exitCode = previousExitCode_;
}

CommandDeadline::UserWait::UserWait() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.userWaits++ == 0) s.left -= Clock::now() - s.resumedAt;
}

CommandDeadline::UserWait::~UserWait() {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (--s.userWaits == 0) s.resumedAt = Clock::now();
    }
    s.changed.notify_all();
}

}  // namespace tarnctl
