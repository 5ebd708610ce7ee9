#include "api/session_lock_wait.hpp"

#include "tarn/api/http.hpp"

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <string>

namespace tarn::detail {

namespace {

std::string describe(std::chrono::milliseconds span) {
    if (span.count() % 1000 != 0) return std::to_string(span.count()) + " ms";
    return std::to_string(span.count() / 1000) + " s";
}

}  // namespace

asio::awaitable<std::unique_ptr<SessionLock>> lockSession(TokenStoreWorker& worker, std::chrono::milliseconds bound) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    // Short first pauses: a refresh on a local network ends within milliseconds. The cap keeps
    // a long wait from costing more than a few dozen tries a second.
    std::chrono::milliseconds pause = 1ms;
    for (;;) {
        auto trying = worker.tryLock();
        if (auto lock = co_await std::move(trying)) co_return lock;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            throw SessionLockTimeout("the token store is busy: its session lock was held elsewhere for more than " +
                                     describe(bound));
        }
        timer.expires_at(std::min(now + pause, deadline));
        std::error_code ec;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) throw TransportError(TransportError::Code::cancelled, "cancelled while waiting for the token store");
        pause = std::min(pause * 2, std::chrono::milliseconds(25));
    }
}

}  // namespace tarn::detail
