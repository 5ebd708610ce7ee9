// Many concurrent calls that meet a 401 share one refresh; cancelling a waiter does not stop it;
// the client can go away while a refresh is in flight. Runs on a multi-threaded pool, so the
// ThreadSanitizer build checks the gate for real.
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "api/token_refresh_gate.hpp"
#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

namespace tarn {
namespace {

using testing::MemoryTokenStore;
using testing::respond;
using testing::ScriptedSession;
using testing::sleepFor;

// Holds the refresh answer until every caller has received its 401 and gone back to the client:
// each 401 is counted by a handler posted to the caller's own strand, which can only run once the
// caller has suspended again (inside the gate).
struct HeldBackend {
    std::size_t callers;
    HttpResponse refreshAnswer;
    std::atomic<std::size_t> delivered{0};
    std::atomic<bool> refreshStarted{false};

    asio::awaitable<HttpResponse> operator()(const HttpRequest& r) {
        if (r.url.ends_with("/auth/refresh")) {
            refreshStarted = true;
            while (delivered.load() < callers) co_await sleepFor(std::chrono::milliseconds(1));
            co_return refreshAnswer;
        }
        if (r.header("Authorization") == "Bearer new-access") co_return respond(200, testing::kUserJSON);
        asio::post(co_await asio::this_coro::executor, [this] { ++delivered; });
        co_return respond(401);
    }
};

struct Outcome {
    std::atomic<int> ok{0};
    std::atomic<int> unauthorized{0};
    std::atomic<int> other{0};
};

void spawnCalls(asio::thread_pool& pool, const APIClient& client, std::size_t n, Outcome& outcome) {
    for (std::size_t i = 0; i < n; ++i) {
        asio::co_spawn(asio::make_strand(pool), client.me(), [&outcome](std::exception_ptr e, CRMUser) {
            if (!e) {
                ++outcome.ok;
                return;
            }
            try {
                std::rethrow_exception(e);
            } catch (const APIError& err) {
                (err == APIError::unauthorized() ? outcome.unauthorized : outcome.other)++;
            } catch (...) {
                ++outcome.other;
            }
        });
    }
}

// All calls wait for one refresh; a renewed pair lets each repeat once, a refused one reaches
// every waiter and is cleared.
TEST(RefreshConcurrency, ConcurrentCallsShareOneRefreshAndItsOutcome) {
    for (const bool accepted : {true, false}) {
        SCOPED_TRACE(accepted ? "renewed" : "refused");
        const std::size_t n = accepted ? 1000 : 200;
        auto backend = std::make_shared<HeldBackend>();
        backend->callers = n;
        backend->refreshAnswer = accepted ? respond(200, testing::authJSON("new-access", "new-refresh")) : respond(401);
        auto session = std::make_shared<ScriptedSession>([backend](const HttpRequest& r) { return (*backend)(r); });
        auto store = std::make_shared<MemoryTokenStore>(AuthTokens{"old-access", "old-refresh"});
        // Every call in flight at once: the backend holds the refresh until all have had their 401.
        APIClient client(*URL::parse("https://api.tarn.test"), session, store, {.maxCallsInFlight = n});

        asio::thread_pool pool(4);
        Outcome outcome;
        spawnCalls(pool, client, n, outcome);
        pool.join();

        EXPECT_EQ((accepted ? outcome.ok : outcome.unauthorized).load(), static_cast<int>(n));
        EXPECT_EQ(session->count("/auth/refresh"), 1u);
        if (accepted) {
            EXPECT_EQ(session->count("/me"), 2 * n);  // the first try and one repeat each
        }
        EXPECT_EQ(store->tokens(), accepted ? std::optional(AuthTokens{"new-access", "new-refresh"}) : std::nullopt);
    }
}

TEST(RefreshGate, CancelledWaiterStopsWaitingWhileTheRefreshGoesOn) {
    detail::TokenRefreshGate gate;
    asio::thread_pool pool(2);
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> runs{0};

    auto operation = [&]() -> asio::awaitable<void> {
        ++runs;
        while (released.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            co_await sleepFor(std::chrono::milliseconds(1));
        }
    };

    asio::cancellation_signal cancel;
    std::promise<std::exception_ptr> cancelled, finished;
    auto strand = asio::make_strand(pool);
    asio::co_spawn(strand, gate.run(operation),
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) { cancelled.set_value(e); }));
    asio::co_spawn(pool, gate.run(operation), [&](std::exception_ptr e) { finished.set_value(e); });

    // Cancel the first waiter on its own strand, as its owner would.
    asio::post(strand, [&] { cancel.emit(asio::cancellation_type::terminal); });
    auto e = cancelled.get_future().get();
    ASSERT_TRUE(e);
    try {
        std::rethrow_exception(e);
    } catch (const TransportError& err) {
        EXPECT_EQ(err.code(), TransportError::Code::cancelled);
    }
    EXPECT_TRUE(gate.isRefreshing());

    release.set_value();
    EXPECT_FALSE(finished.get_future().get());
    pool.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(gate.isRefreshing());
}

TEST(RefreshGate, FailureReachesJoinersAndEveryOutcomeLeavesTheGateIdle) {
    detail::TokenRefreshGate gate;
    asio::io_context io;
    int runs = 0;
    auto failing = [&]() -> asio::awaitable<void> {
        ++runs;
        co_await sleepFor(std::chrono::milliseconds(5));
        throw APIError::server(500, "x");
    };
    std::vector<std::future<void>> results;
    for (int i = 0; i < 3; ++i) results.push_back(asio::co_spawn(io, gate.run(failing), asio::use_future));
    io.run();
    for (auto& r : results) EXPECT_THROW(r.get(), APIError);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(gate.isRefreshing());

    io.restart();
    auto again = asio::co_spawn(io, gate.run(failing), asio::use_future);
    io.run();
    EXPECT_THROW(again.get(), APIError);
    EXPECT_EQ(runs, 2);

    // A refresh that succeeded frees the gate just the same: the next expiry costs one more.
    auto succeeding = [&]() -> asio::awaitable<void> {
        ++runs;
        co_return;
    };
    for (int expected : {3, 4}) {
        io.restart();
        auto ok = asio::co_spawn(io, gate.run(succeeding), asio::use_future);
        io.run();
        EXPECT_NO_THROW(ok.get());
        EXPECT_EQ(runs, expected);
        EXPECT_FALSE(gate.isRefreshing());
    }
}

TEST(RefreshConcurrency, DestroyingTheClientDuringARefreshIsSafe) {
    auto backend = std::make_shared<HeldBackend>();
    backend->callers = 1;
    backend->refreshAnswer = respond(200, testing::authJSON("new-access", "new-refresh"));
    auto session = std::make_shared<ScriptedSession>([backend](const HttpRequest& r) { return (*backend)(r); });
    auto store = std::make_shared<MemoryTokenStore>(AuthTokens{"old-access", "old-refresh"});

    asio::thread_pool pool(2);
    std::future<CRMUser> result;
    {
        APIClient client(*URL::parse("https://api.tarn.test"), session, store);
        result = asio::co_spawn(asio::make_strand(pool), client.me(), asio::use_future);
    }  // the client is gone; the call and its refresh keep what they need
    EXPECT_EQ(result.get().id, "u1");
    pool.join();
    EXPECT_EQ(store->tokens(), (AuthTokens{"new-access", "new-refresh"}));
}

}  // namespace
}  // namespace tarn
