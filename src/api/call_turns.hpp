// CallTurns: how many of a client's calls are past the start at once. The rest wait for a turn in
// the order they came, holding only their arguments: no request built, no store read, no frame of
// the layers below, which together weigh several kilobytes per call. A burst of thousands of calls
// then costs little more than the calls themselves, and the session below never holds more than
// it can send. The token refresh never waits here (the calls that hold the turns wait for it).
#pragma once

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/post.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace tarn::detail {

class CallTurns {
    struct State;

public:
    /// A call's permission to go on; handing it back (destroying it) gives the turn to the call
    /// that has waited longest. An empty Turn holds nothing.
    class Turn {
    public:
        Turn() = default;
        Turn(Turn&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
        Turn& operator=(Turn&& other) noexcept {
            if (this != &other) {
                release();
                state_ = std::exchange(other.state_, nullptr);
            }
            return *this;
        }
        ~Turn() { release(); }
        explicit operator bool() const noexcept { return state_ != nullptr; }

    private:
        friend class CallTurns;
        explicit Turn(State* state) : state_(state) {}
        void release() noexcept;
        // Raw: a turn lives inside the call, which keeps its client, and so these turns, alive.
        State* state_ = nullptr;
    };

    /// `limit` turns; at least 1.
    explicit CallTurns(std::size_t limit);

    /// A turn at once when one is free and nobody waits; otherwise an empty Turn.
    Turn tryTake();

    /// Completes with a turn, in arrival order, as earlier calls hand theirs back; with the
    /// request's cancellation error when the caller is cancelled while it waits. The completion
    /// runs on the caller's executor, possibly before this returns.
    template <class Token>
    auto asyncTake(Token&& token) {
        return asio::async_initiate<Token, void(std::exception_ptr, Turn)>(
            [](auto handler, std::shared_ptr<State> state) { wait(std::move(state), std::move(handler)); }, token,
            state_);
    }

private:
    struct Waiter {
        virtual ~Waiter() = default;
        virtual void complete(std::exception_ptr failure, Turn turn) = 0;
    };

    template <class Handler>
    struct HandlerWaiter final : Waiter {
        explicit HandlerWaiter(Handler h) : handler(std::move(h)) {}
        // Posted, never run inline: the turn is handed back while the giver's frame unwinds,
        // possibly on another thread.
        void complete(std::exception_ptr failure, Turn turn) override {
            auto executor = asio::get_associated_executor(handler);
            asio::post(executor, Completion<Handler>{std::move(handler), failure, std::move(turn)});
        }
        Handler handler;
    };

    // A struct rather than a lambda for the order its members go in: a completion destroyed
    // unrun hands its turn back before the handler lets go of the call (and with it, perhaps,
    // of the last reference to these turns).
    template <class Handler>
    struct Completion {
        Handler handler;
        std::exception_ptr failure;
        Turn turn;
        void operator()() { std::move(handler)(failure, std::move(turn)); }
    };

    struct State {
        explicit State(std::size_t l) : limit(l) {}
        const std::size_t limit;
        mutable std::mutex mutex;
        std::size_t holding = 0;
        std::uint64_t nextID = 0;
        std::map<std::uint64_t, std::unique_ptr<Waiter>> waiting;  // by arrival

        std::uint64_t number();
        /// Queues `waiter` as `id`, or completes it at once when a turn is free.
        void enqueue(std::uint64_t id, std::unique_ptr<Waiter> waiter);
        void cancel(std::uint64_t id);
        void giveBack();
    };

    // Installed in the caller's cancellation slot; runs on whatever thread cancels, possibly long
    // after the wait ended, so it finds the waiter by number and only if it is still queued.
    struct CancelWait {
        std::weak_ptr<State> state;
        std::uint64_t id;
        void operator()(asio::cancellation_type type) const {
            if ((type & (asio::cancellation_type::terminal | asio::cancellation_type::partial |
                         asio::cancellation_type::total)) == asio::cancellation_type::none) {
                return;
            }
            if (auto s = state.lock()) s->cancel(id);
        }
    };

    template <class Handler>
    static void wait(std::shared_ptr<State> state, Handler handler) {
        // The canceller goes in first: once queued, the waiter may complete and its caller move on
        // (on another thread) to an operation that fills the slot with its own.
        const std::uint64_t id = state->number();
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.template emplace<CancelWait>(CancelWait{state, id});
        state->enqueue(id, std::make_unique<HandlerWaiter<Handler>>(std::move(handler)));
    }

    std::shared_ptr<State> state_;
};

}  // namespace tarn::detail
