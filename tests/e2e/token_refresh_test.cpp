// Expired access tokens against the real backend: one refresh and one repeat, a rotation whose
// answer is lost, and a token that runs out by itself. Every outcome of a refresh and of its
// repeat is checked against a scripted session in tests/api/api_client_test.cpp.
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
