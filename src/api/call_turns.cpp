// CallTurns: the count of turns held and the queue of calls waiting for one (see the header).
#include "api/call_turns.hpp"

#include "api/curl_errors.hpp"

#include <stdexcept>

namespace tarn::detail {

CallTurns::CallTurns(std::size_t limit) : state_(std::make_shared<State>(limit)) {
    if (limit < 1) throw std::invalid_argument("the number of calls in flight must be at least 1");
}

CallTurns::Turn CallTurns::tryTake() {
    std::lock_guard lock(state_->mutex);
    if (state_->holding >= state_->limit || !state_->waiting.empty()) return Turn();
    ++state_->holding;
    return Turn(state_.get());
}

std::uint64_t CallTurns::State::number() {
    std::lock_guard lock(mutex);
    return nextID++;
}

void CallTurns::State::enqueue(std::uint64_t id, std::unique_ptr<Waiter> waiter) {
    {
        std::lock_guard lock(mutex);
        if (holding >= limit || !waiting.empty()) {
            waiting.emplace(id, std::move(waiter));
            return;
        }
        ++holding;
    }
    waiter->complete(nullptr, Turn(this));
}

void CallTurns::State::cancel(std::uint64_t id) {
    std::unique_ptr<Waiter> waiter;
    {
        std::lock_guard lock(mutex);
        auto it = waiting.find(id);
        if (it == waiting.end()) return;  // it has its turn already, or was cancelled before
        waiter = std::move(it->second);
        waiting.erase(it);
    }
    waiter->complete(cancelledError(), Turn());
}

void CallTurns::State::giveBack() {
    std::unique_ptr<Waiter> next;
    {
        std::lock_guard lock(mutex);
        if (waiting.empty()) {
            --holding;
            return;
        }
        // The turn passes straight on: `holding` stays as it is.
        auto first = waiting.begin();
        next = std::move(first->second);
        waiting.erase(first);
    }
    next->complete(nullptr, Turn(this));
}

void CallTurns::Turn::release() noexcept {
    if (state_) std::exchange(state_, nullptr)->giveBack();
}

}  // namespace tarn::detail
