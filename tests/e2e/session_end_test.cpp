// Signing out and deleting the account: the local store is emptied and the server no longer
// accepts what was in it.
#include "backend_test.hpp"

#include <mutex>

namespace tarn::e2e {
namespace {

// A token store that remembers every pair saved to it, so a test can check on the server what
// the client held at some point, even after it was cleared.
class RecordingStore final : public TokenStore {
public:
    explicit RecordingStore(std::shared_ptr<TokenStore> inner) : inner_(std::move(inner)) {}
    std::optional<AuthTokens> loadTokens() override { return inner_->loadTokens(); }
    void save(const AuthTokens& tokens) override {
        inner_->save(tokens);
        std::lock_guard lock(mutex_);
        saved_.push_back(tokens);
    }
    void clear() override { inner_->clear(); }
    std::vector<AuthTokens> saved() const {
        std::lock_guard lock(mutex_);
        return saved_;
    }

private:
    std::shared_ptr<TokenStore> inner_;
    mutable std::mutex mutex_;
    std::vector<AuthTokens> saved_;
};

class SessionEndTest : public BackendTest {
protected:
    // Whether the server still honours a pair: its access token on GET /me, its refresh token on a
    // refresh (which spends it, so ask last).
    bool accessAccepted(const AuthTokens& t) { return dev().get("/me", t.accessToken).status == 200; }
    bool refreshAccepted(const AuthTokens& t) {
        return dev().post("/auth/refresh", Json{{"refresh_token", t.refreshToken}}).status == 200;
    }
};

TEST_F(SessionEndTest, LogoutClearsTheStoreAndEndsThePairOnTheServer) {
    auto store = newStore();
    auto api = client(store);
    signUp(api);
    const AuthTokens held = *store->loadTokens();

    run(api.logout());
    EXPECT_FALSE(store->loadTokens());
    EXPECT_FALSE(accessAccepted(held));
    EXPECT_FALSE(refreshAccepted(held));
    // Signed out, the next authorized call fails without signing anyone in again.
    EXPECT_EQ(failureOf<APIError>(api.me()), APIError::unauthorized());
}

TEST_F(SessionEndTest, LogoutEmptiesTheStoreWhateverTheServerSays) {
    const Json faults[] = {
        Json{{"status", 500}, {"body", "logout backend down"}},
        Json{{"close", true}},
        Json{{"status", 401}, {"count", 2}},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.dump());
        auto store = newStore();
        auto api = client(store);
        signUp(api);
        Json rule = fault;
        rule["path"] = "/auth/logout";
        dev().addFault(rule);

        EXPECT_NO_THROW(run(api.logout()));
        EXPECT_FALSE(store->loadTokens());
        dev().clearFaults();
    }
}

TEST_F(SessionEndTest, LogoutWithAnExpiredTokenRefreshesOnceAndStillSignsOut) {
    auto store = std::make_shared<RecordingStore>(newStore());
    auto api = client(store);
    std::string email = signUp(api);
    dev().expireTokens(email);
    dev().resetStats();

    run(api.logout());
    EXPECT_FALSE(store->loadTokens());
    EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], 1);
    EXPECT_EQ(dev().statusCounts("POST /auth/logout"), (std::map<std::string, std::int64_t>{{"204", 1}, {"401", 1}}));
    ASSERT_EQ(store->saved().size(), 2u);
    EXPECT_FALSE(accessAccepted(store->saved().back()));
}

// The refresh spends the refresh token the first logout named; the repeat must name the rotated
// one, or the server keeps that session alive although the user signed out.
TEST_F(SessionEndTest, LogoutAfterARefreshEndsTheRotatedRefreshToken) {
    auto store = std::make_shared<RecordingStore>(newStore());
    auto api = client(store);
    std::string email = signUp(api);
    dev().expireTokens(email);

    run(api.logout());
    ASSERT_EQ(store->saved().size(), 2u);
    EXPECT_FALSE(refreshAccepted(store->saved().back()));
}

TEST_F(SessionEndTest, DeleteAccountClearsTheStoreAndRemovesTheAccount) {
    auto store = newStore();
    auto api = client(store);
    std::string email = signUp(api);
    const AuthTokens held = *store->loadTokens();

    run(api.deleteAccount(kDeviceID));
    EXPECT_FALSE(store->loadTokens());
    EXPECT_FALSE(accessAccepted(held));
    EXPECT_FALSE(refreshAccepted(held));
    EXPECT_EQ(failureOf<APIError>(api.login(email, kPassword)), APIError::unauthorized());
    EXPECT_FALSE(store->loadTokens());
}

TEST_F(SessionEndTest, FailedDeletionKeepsTheTokensAndTheAccount) {
    auto store = newStore();
    auto api = client(store);
    std::string email = signUp(api);
    const AuthTokens held = *store->loadTokens();
    dev().addFault(Json{{"path", "/me"}, {"method", "DELETE"}, {"status", 500}, {"body", "try again later"}});

    EXPECT_EQ(failureOf<APIError>(api.deleteAccount(kDeviceID)), APIError::server(500, "try again later"));
    EXPECT_EQ(store->loadTokens(), held);
    EXPECT_EQ(run(api.me()).email, email);
}

TEST_F(SessionEndTest, DeletionWithAnExpiredTokenRefreshesAndDeletes) {
    auto store = newStore();
    auto api = client(store);
    std::string email = signUp(api);
    dev().expireTokens(email);
    dev().resetStats();

    run(api.deleteAccount(kDeviceID));
    EXPECT_FALSE(store->loadTokens());
    EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], 1);
    EXPECT_EQ(failureOf<APIError>(api.login(email, kPassword)), APIError::unauthorized());
}

}  // namespace
}  // namespace tarn::e2e
