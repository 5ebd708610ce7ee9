// Expired and refused access tokens against the real backend: one refresh and one repeat, what a
// failed refresh does to the stored pair, and a token that runs out by itself.
#include "backend_test.hpp"

#include <chrono>
#include <thread>

namespace tarn::e2e {
namespace {

using namespace std::chrono_literals;

class TokenRefreshTest : public BackendTest {
protected:
    // A signed-in client whose access token the server no longer accepts.
    struct Expired {
        std::shared_ptr<TokenStore> store;
        APIClient api;
        AuthTokens tokens;
    };
    Expired signedInThenExpired() {
        auto store = newStore();
        auto api = client(store);
        std::string email = signUp(api, "expiring");
        dev().expireTokens(email);
        dev().resetStats();
        return {store, api, *store->loadTokens()};
    }

    std::int64_t refreshes() { return dev().requestCounts()["POST /auth/refresh"]; }
};

TEST_F(TokenRefreshTest, ExpiredTokenIsRefreshedOnceAndTheCallRepeated) {
    auto [store, api, old] = signedInThenExpired();
    CRMUser me = run(api.me());
    EXPECT_TRUE(me.email);

    EXPECT_EQ(refreshes(), 1);
    EXPECT_EQ(dev().statusCounts("GET /me"), (std::map<std::string, std::int64_t>{{"200", 1}, {"401", 1}}));
    auto rotated = store->loadTokens();
    ASSERT_TRUE(rotated);
    EXPECT_NE(rotated->accessToken, old.accessToken);
    EXPECT_NE(rotated->refreshToken, old.refreshToken);
    // The server spent the old refresh token and accepts the new access token.
    EXPECT_EQ(dev().post("/auth/refresh", Json{{"refresh_token", old.refreshToken}}).status, 401);
    EXPECT_EQ(dev().get("/me", rotated->accessToken).status, 200);
}

TEST_F(TokenRefreshTest, Injected401OnAnAuthorizedCallRefreshesOnceThenSucceeds) {
    auto store = newStore();
    auto api = client(store);
    signUp(api);
    AuthTokens old = *store->loadTokens();
    dev().resetStats();
    dev().addFault(Json{{"path", "/subscription/status"}, {"method", "GET"}, {"status", 401}});

    CRMUser user = run(api.subscriptionStatus());
    EXPECT_EQ(user.subscriptionStatus, SubscriptionStatus::active);
    EXPECT_EQ(refreshes(), 1);
    EXPECT_EQ(dev().statusCounts("GET /subscription/status"),
              (std::map<std::string, std::int64_t>{{"200", 1}, {"401", 1}}));
    EXPECT_NE(store->loadTokens(), old);
}

TEST_F(TokenRefreshTest, A401OnTheRepeatSignsOutWithoutASecondRefresh) {
    auto store = newStore();
    auto api = client(store);
    signUp(api);
    dev().resetStats();
    dev().addFault(Json{{"path", "/me"}, {"method", "GET"}, {"status", 401}, {"count", 2}});

    auto error = failureOf<APIError>(api.me());
    EXPECT_EQ(error, APIError::unauthorized());
    EXPECT_EQ(refreshes(), 1);
    EXPECT_EQ(dev().requestCounts()["GET /me"], 2);
    EXPECT_FALSE(store->loadTokens());
}

TEST_F(TokenRefreshTest, UnknownTokensAreClearedAfterTheRefreshIsRefused) {
    auto store = newStore();
    store->save({"not-a-real-access-token", "not-a-real-refresh-token"});
    dev().resetStats();

    auto error = failureOf<APIError>(client(store).accountDevices());
    EXPECT_EQ(error, APIError::unauthorized());
    EXPECT_FALSE(store->loadTokens());
    EXPECT_EQ(refreshes(), 1);
    EXPECT_EQ(dev().requestCounts()["GET /devices"], 1);
}

// A refresh that fails for any reason but a 401 leaves the stored pair alone, and the next call
// refreshes again.
TEST_F(TokenRefreshTest, RefreshFailingOtherwiseKeepsTheTokensForTheNextTry) {
    struct Case {
        const char* name;
        Json fault;
    };
    const Case cases[] = {
        {"server error", Json{{"status", 500}, {"body", "refresh backend down"}}},
        {"unavailable", Json{{"status", 503}, {"body", R"({"detail":"maintenance"})"}}},
        // Twice: libcurl resends once by itself when a kept-alive connection dies without an answer.
        {"connection dropped", Json{{"close", true}, {"count", 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto [store, api, old] = signedInThenExpired();
        Json fault = c.fault;
        fault["path"] = "/auth/refresh";
        dev().addFault(fault);

        try {
            run(api.me());
            ADD_FAILURE() << "the call succeeded";
        } catch (const APIError& e) {
            ASSERT_TRUE(c.fault.contains("status")) << e.description();
            EXPECT_EQ(e, APIError::server(c.fault["status"].get<int>(), c.fault["body"].get<std::string>()));
        } catch (const TransportError& e) {
            EXPECT_TRUE(c.fault.contains("close")) << e.what();
        }
        EXPECT_EQ(store->loadTokens(), old);
        EXPECT_EQ(dev().requestCounts()["GET /me"], 1) << "no repeat without new tokens";

        dev().clearFaults();
        CRMUser me = run(api.me());
        EXPECT_TRUE(me.email);
        EXPECT_EQ(dev().statusCounts("POST /auth/refresh")["200"], 1);
        EXPECT_NE(store->loadTokens(), old);
    }
}

// The server rotated the pair but its answer never arrived, so the client is left with a spent
// refresh token (or libcurl resends it at once on a kept-alive connection). Either way the user
// must end up cleanly signed out within two calls: no loop of refreshes, no stale pair kept.
TEST_F(TokenRefreshTest, ARotationWhoseAnswerIsLostEndsInACleanSignOut) {
    auto [store, api, old] = signedInThenExpired();
    dev().addFault(Json{{"path", "/auth/refresh"}, {"close", true}, {"after", true}});

    std::optional<APIError> signedOut;
    for (int call = 0; call < 2 && !signedOut; ++call) {
        try {
            run(api.me());
            ADD_FAILURE() << "a call succeeded with a spent refresh token";
        } catch (const TransportError&) {
            EXPECT_EQ(store->loadTokens(), old) << "a transport failure must leave the tokens alone";
        } catch (const APIError& e) {
            signedOut = e;
        }
    }
    EXPECT_EQ(signedOut, APIError::unauthorized());
    EXPECT_FALSE(store->loadTokens());
    EXPECT_EQ(dev().statusCounts("POST /auth/refresh")["200"], 0);
    EXPECT_LE(dev().requestCounts()["POST /auth/refresh"], 2);
}

class TokenExpiryTest : public BackendTest {
public:
    static void SetUpTestSuite() { startServer({"--token-ttl", "1"}); }
};

TEST_F(TokenExpiryTest, TokenThatRunsOutDuringARunIsRenewed) {
    auto store = newStore();
    auto api = client(store);
    signUp(api);
    EXPECT_EQ(run(api.servers()).size(), 6u);
    AuthTokens first = *store->loadTokens();
    dev().resetStats();

    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(run(api.servers()).size(), 6u);
    EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], 1);
    EXPECT_NE(store->loadTokens(), first);
}

}  // namespace
}  // namespace tarn::e2e
