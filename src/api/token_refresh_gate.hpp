// TokenRefreshGate: makes concurrent 401s share one token refresh. The refresh runs as a task of
// its own, so a waiter that is cancelled stops waiting without stopping the refresh for the others,
// and the gate returns to idle when the task ends, whether the starter is still waiting or not.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace tarn::detail {

class TokenRefreshGate {
public:
    using Operation = std::function<asio::awaitable<void>()>;

    TokenRefreshGate();

    /// Joins the refresh in flight, or starts `operation` as a new independent task on the
    /// caller's executor and waits for it. Ends as the task ended: returns, or rethrows its error.
    /// Throws TransportError(cancelled) when the waiting caller is cancelled.
    asio::awaitable<void> run(Operation operation);

    /// True while a refresh task is in flight.
    bool isRefreshing() const;

private:
    struct Task;
    struct State {
        mutable std::mutex mutex;
        std::shared_ptr<Task> task;
    };
    std::shared_ptr<State> state_;
};

}  // namespace tarn::detail
