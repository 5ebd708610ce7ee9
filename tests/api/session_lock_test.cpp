// The client and the token store's session lock: a held lock is waited for without holding up the
// executor, the wait is bounded, and a call that waited repeats with whatever the holder stored.
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "api/session_lock_wait.hpp"
#include "tarn/api/api_client.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <gtest/gtest.h>

namespace tarn {
namespace {

using namespace std::chrono_literals;
using testing::MemoryTokenStore;
using testing::respond;
using testing::ScriptedSession;
using testing::sync;

TEST(SessionLockWait, GivesUpAfterItsBoundWithAClearError) {
    auto store = std::make_shared<MemoryTokenStore>();
    auto held = store->tryLockSession();
    detail::TokenStoreWorker worker(store);
    try {
        testing::run(detail::lockSession(worker, 30ms));
        ADD_FAILURE() << "the lock was taken although it is held";
    } catch (const SessionLockTimeout& e) {
        EXPECT_NE(std::string(e.what()).find("30 ms"), std::string::npos) << e.what();
    }
}

// Another holder (a process refreshing) has the lock when the call meets its 401; it stores the
// pair it renewed and lets go, on a timer of the same single-threaded io_context, which a blocking
// wait would never let run. The call spends no refresh token of its own: it repeats with the
// stored pair, and a sign-out names that pair's refresh token.
TEST(SessionLockWait, ACallThatWaitedUsesThePairTheHolderStored) {
    const AuthTokens kOld{"old-access", "old-refresh"};
    const AuthTokens kRenewed{"renewed-access", "renewed-refresh"};
    struct Row {
        const char* operation;
        std::size_t requests;
    };
    for (const Row& row : {Row{"me", 2}, Row{"logout", 1}}) {
        SCOPED_TRACE(row.operation);
        auto store = std::make_shared<MemoryTokenStore>(kOld);
        auto session = std::make_shared<ScriptedSession>(sync([](const HttpRequest& r) {
            if (r.url.ends_with("/auth/refresh")) return respond(500, "must not refresh");
            return r.header("Authorization") == "Bearer renewed-access" ? respond(200, testing::kUserJSON)
                                                                        : respond(401);
        }));
        APIClient client(*URL::parse("https://api.tarn.test/v1"), session, store);
        auto held = store->tryLockSession();

        asio::io_context io;
        asio::steady_timer release(io, 30ms);
        release.async_wait([&](std::error_code) {
            store->set(kRenewed);
            held.reset();
        });
        std::exception_ptr error;
        if (std::string(row.operation) == "me") {
            asio::co_spawn(io, client.me(), [&](std::exception_ptr e, CRMUser) { error = e; });
        } else {
            asio::co_spawn(io, client.logout(), [&](std::exception_ptr e) { error = e; });
        }
        io.run();
        EXPECT_FALSE(error);
        EXPECT_EQ(session->count("/auth/refresh"), 0u);
        auto sent = session->requests();
        ASSERT_EQ(sent.size(), row.requests);
        EXPECT_EQ(sent.back().header("Authorization"), "Bearer renewed-access");
        if (row.requests == 1) {
            EXPECT_EQ(sent.back().body, R"({"refresh_token":"renewed-refresh"})");
        }
    }
}

}  // namespace
}  // namespace tarn
