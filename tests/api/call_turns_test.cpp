// Calls beyond maxCallsInFlight wait for a turn before anything of theirs is built or sent: the
// session never sees more at once, the token refresh never waits behind the calls that need it,
// and a waiting call that is cancelled or runs out of time leaves without sending anything.
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

namespace tarn {
namespace {

using namespace std::chrono_literals;
using testing::MemoryTokenStore;
using testing::respond;
using testing::ScriptedSession;
using testing::sleepFor;

// Answers /me after `delay`, counting how many it holds at once; with `expired`, the first access
// token is refused, so that every early call needs the shared refresh.
struct CountingBackend {
    std::chrono::milliseconds delay{2};
    bool expired = false;
    std::atomic<int> inside{0};
    std::atomic<int> peak{0};

    asio::awaitable<HttpResponse> operator()(const HttpRequest& r) {
        if (r.url.ends_with("/auth/refresh")) co_return respond(200, testing::authJSON("new-access", "new-refresh"));
        const int now = ++inside;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        co_await sleepFor(delay);
        --inside;
        if (expired && r.header("Authorization") == "Bearer old-access") co_return respond(401);
        co_return respond(200, testing::kUserJSON);
    }
};

// A client over a session answered by `backend`, holding the old pair.
struct Turns {
    std::shared_ptr<CountingBackend> backend = std::make_shared<CountingBackend>();
    std::shared_ptr<ScriptedSession> session =
        std::make_shared<ScriptedSession>([b = backend](const HttpRequest& r) { return (*b)(r); });

    APIClient client(APIClientOptions options) const {
        return APIClient(*URL::parse("https://api.tarn.test"), session,
                         std::make_shared<MemoryTokenStore>(AuthTokens{"old-access", "old-refresh"}), std::move(options));
    }
};

struct TurnsCase {
    std::size_t limit;
    bool expired;
};

class CallTurnsLimit : public ::testing::TestWithParam<TurnsCase> {};

// On four threads: ThreadSanitizer sees turns taken and handed back across them.
TEST_P(CallTurnsLimit, NoMoreReachTheSessionAtOnceAndAllComplete) {
    const auto [limit, expired] = GetParam();
    constexpr int calls = 40;
    Turns t;
    t.backend->expired = expired;
    APIClient client = t.client({.maxCallsInFlight = limit});

    asio::thread_pool pool(4);
    std::atomic<int> ok{0};
    for (int i = 0; i < calls; ++i) {
        asio::co_spawn(asio::make_strand(pool), client.me(), [&ok](std::exception_ptr e, CRMUser) { ok += e ? 0 : 1; });
    }
    pool.join();
    EXPECT_EQ(ok.load(), calls);
    EXPECT_LE(t.backend->peak.load(), static_cast<int>(limit));
    // The refresh runs while the calls that met the 401 hold every turn.
    EXPECT_EQ(t.session->count("/auth/refresh"), expired ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, CallTurnsLimit,
                         ::testing::Values(TurnsCase{1, false}, TurnsCase{1, true}, TurnsCase{3, false},
                                           TurnsCase{3, true}));

// One turn, held by a call whose answer takes 100 ms; a second call waits behind it.
TEST(CallTurns, AWaitingCallLeavesWithoutSendingWhenCancelledOrOutOfTime) {
    struct Row {
        const char* name;
        std::chrono::milliseconds requestTimeout;
        bool cancel;
        TransportError::Code expected;
    };
    for (const Row& row : {Row{"cancelled", 10s, true, TransportError::Code::cancelled},
                           Row{"out of time", 50ms, false, TransportError::Code::timedOut}}) {
        SCOPED_TRACE(row.name);
        Turns t;
        t.backend->delay = 100ms;
        APIClient client = t.client({.requestTimeout = row.requestTimeout, .maxCallsInFlight = 1});

        asio::io_context io;
        asio::cancellation_signal signal;
        std::exception_ptr first, second, third;
        bool thirdDone = false;
        asio::co_spawn(io, client.me(), [&](std::exception_ptr e, CRMUser) { first = e; });
        asio::co_spawn(io, client.me(), asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, CRMUser) {
                           second = e;
                           // The turn is free again for a call made afterwards.
                           asio::co_spawn(io, client.me(), [&](std::exception_ptr e3, CRMUser) {
                               third = e3;
                               thirdDone = true;
                           });
                       }));
        asio::steady_timer cancelAt(io, 20ms);
        if (row.cancel) cancelAt.async_wait([&](std::error_code) { signal.emit(asio::cancellation_type::terminal); });
        io.run();

        EXPECT_FALSE(first);
        auto error = testing::as<TransportError>(second);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), row.expected);
        // The turn went on: the third call waited only for the first, if at all.
        EXPECT_TRUE(thirdDone);
        EXPECT_FALSE(third);
        EXPECT_EQ(t.session->count("/me"), 2u);
    }
}

// The time a call waited is taken off its exchange's timeout, so the wait and the exchange
// together stay within requestTimeout.
TEST(CallTurns, TheWaitCountsTowardsTheRequestTimeout) {
    Turns t;
    t.backend->delay = 60ms;
    APIClient client = t.client({.requestTimeout = 10s, .maxCallsInFlight = 1});
    asio::io_context io;
    int done = 0;
    for (int i = 0; i < 2; ++i) asio::co_spawn(io, client.me(), [&](std::exception_ptr e, CRMUser) { done += e ? 0 : 1; });
    io.run();
    ASSERT_EQ(done, 2);
    auto requests = t.session->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].timeout, 10s);
    EXPECT_LE(requests[1].timeout, 10s - 60ms);
}

}  // namespace
}  // namespace tarn
