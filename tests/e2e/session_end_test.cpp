// Signing out and deleting the account: the local store is emptied and the server no longer
// accepts what was in it. What a failing logout or deletion does to the store is checked against
// a scripted session in tests/api/api_client_test.cpp.
#include "backend_test.hpp"

#include <functional>
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

// Both ways of ending a session: the store is emptied, the server honours neither token of the
// pair that was held, and what follows does not sign anyone in again.
TEST_F(SessionEndTest, LogoutAndDeleteAccountClearTheStoreAndEndThePairOnTheServer) {
    struct Case {
        const char* name;
        std::function<asio::awaitable<void>(const APIClient&)> end;
        // What is refused afterwards: an authorized call, or signing in to the deleted account.
        std::function<std::optional<APIError>(const APIClient&, const std::string& email)> afterwards;
    };
    const Case cases[] = {
        {"logout", [](const APIClient& c) { return c.logout(); },
         [this](const APIClient& c, const std::string&) { return failureOf<APIError>(c.me()); }},
        {"delete account", [](const APIClient& c) { return c.deleteAccount(kDeviceID); },
         [this](const APIClient& c, const std::string& email) { return failureOf<APIError>(c.login(email, kPassword)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto store = newStore();
        auto api = client(store);
        const std::string email = signUp(api);
        const AuthTokens held = *store->loadTokens();

        run(c.end(api));
        EXPECT_FALSE(store->loadTokens());
        EXPECT_FALSE(accessAccepted(held));
        EXPECT_FALSE(refreshAccepted(held));
        EXPECT_EQ(c.afterwards(api, email), APIError::unauthorized());
        EXPECT_FALSE(store->loadTokens());
    }
}

// The refresh spends the refresh token the first logout named; the repeat must name the rotated
// one, or the server keeps that session alive although the user signed out.
TEST_F(SessionEndTest, LogoutAfterARefreshEndsTheRotatedRefreshToken) {
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
    EXPECT_FALSE(refreshAccepted(store->saved().back()));
}

}  // namespace
}  // namespace tarn::e2e
