#include "api/token_refresh_gate.hpp"

#include "tarn/api/http.hpp"

#include <asio/co_spawn.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <system_error>
#include <vector>

namespace tarn::detail {

namespace {
// The bool is only there to keep the signature apart from asio's single-argument traits.
using Channel = asio::experimental::concurrent_channel<void(std::error_code, bool)>;
}

// The shared outcome of one refresh. Each waiter gets a one-slot channel of its own, bound to its
// own executor: finishing sends into every channel, so each waiter resumes where it waits, and a
// cancelled waiter simply stops receiving.
struct TokenRefreshGate::Task {
    std::mutex mutex;
    bool finished = false;
    std::exception_ptr error;
    std::vector<std::shared_ptr<Channel>> waiters;

    void finish(std::exception_ptr e) {
        std::vector<std::shared_ptr<Channel>> toWake;
        {
            std::lock_guard lock(mutex);
            finished = true;
            error = e;
            toWake.swap(waiters);
        }
        for (auto& channel : toWake) channel->try_send(std::error_code{}, true);
    }
};

TokenRefreshGate::TokenRefreshGate() : state_(std::make_shared<State>()) {}

bool TokenRefreshGate::isRefreshing() const {
    std::lock_guard lock(state_->mutex);
    return state_->task != nullptr;
}

asio::awaitable<void> TokenRefreshGate::run(Operation operation) {
    auto executor = co_await asio::this_coro::executor;
    std::shared_ptr<Task> task;
    bool starter = false;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->task) {
            task = state_->task;
        } else {
            task = std::make_shared<Task>();
            state_->task = task;
            starter = true;
        }
    }

    auto channel = std::make_shared<Channel>(executor, 1);
    bool alreadyFinished = false;
    {
        std::lock_guard lock(task->mutex);
        if (task->finished) {
            alreadyFinished = true;
        } else {
            task->waiters.push_back(channel);
        }
    }

    if (starter) {
        // The task owns what it needs (operation, state); the gate goes idle as soon as it ends,
        // before the waiters are woken, so the next 401 starts a fresh refresh.
        asio::co_spawn(executor, [op = std::move(operation)]() -> asio::awaitable<void> { co_await op(); },
                       [state = state_, task](std::exception_ptr e) {
                           {
                               std::lock_guard lock(state->mutex);
                               if (state->task == task) state->task.reset();
                           }
                           task->finish(e);
                       });
    }

    if (!alreadyFinished) {
        std::error_code ec;
        co_await channel->async_receive(asio::redirect_error(asio::use_awaitable, ec));
        // Only this caller stops waiting; the refresh goes on for the others.
        if (ec) throw TransportError(TransportError::Code::cancelled, "cancelled while waiting for the token refresh");
    }

    std::exception_ptr error;
    {
        std::lock_guard lock(task->mutex);
        error = task->error;
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace tarn::detail
