// Many calls on four threads meet an expired token at the same moment: the real backend must see
// exactly one refresh, every call must succeed, and the keychain must end up with the rotated pair.
#include "backend_test.hpp"
#include "tarn/storage/file_keychain.hpp"

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>

namespace tarn::e2e {
namespace {

template <class T>
asio::awaitable<void> discardResult(asio::awaitable<T> operation) {
    co_await std::move(operation);
}

// The refresh answer is held back long enough for every first attempt to meet its 401 while the
// refresh is in flight (20 requests share at most 8 connections, so some go out late). A 401 that
// arrives after the refresh has finished is another matter; see the last test.
const Json kSlowRefresh{{"path", "/auth/refresh"}, {"delay_ms", 300}};

class RefreshConcurrencyTest : public BackendTest {
protected:
    void TearDown() override {
        BackendTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(keychainRoot_, ignored);
    }

    // The store that machines without a Secret Service use: the pair lives in a file that is
    // replaced while other threads read it.
    std::shared_ptr<TokenStore> fileStore() {
        keychainRoot_ = std::filesystem::path(::testing::TempDir()) /
                        ("tarn-e2e-keychain-" + std::to_string(::getpid()) + "-" + std::to_string(++stores_));
        return std::make_shared<KeychainTokenStore>("dev.tarn.e2e", "tokens",
                                                    std::make_shared<FileKeychain>(keychainRoot_));
    }

    // Starts every call at once on the io threads and waits for all; the number that failed.
    int runTogether(std::vector<std::function<asio::awaitable<void>()>> calls) {
        std::vector<std::future<void>> pending;
        for (auto& call : calls) pending.push_back(asio::co_spawn(io(), call(), asio::use_future));
        int failed = 0;
        for (auto& f : pending) {
            try {
                f.get();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "a concurrent call failed: " << e.what();
                ++failed;
            }
        }
        return failed;
    }

private:
    std::filesystem::path keychainRoot_;
    int stores_ = 0;
};

TEST_F(RefreshConcurrencyTest, TwentyCallsAfterExpiryShareOneRefresh) {
    auto store = fileStore();
    auto api = client(store);
    std::string email = signUp(api, "concurrent");
    const AuthTokens old = *store->loadTokens();
    dev().expireTokens(email);
    dev().resetStats();
    dev().addFault(kSlowRefresh);

    std::vector<std::function<asio::awaitable<void>()>> calls(20, [&api] { return discardResult(api.me()); });
    EXPECT_EQ(runTogether(std::move(calls)), 0);

    EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], 1);
    auto statuses = dev().statusCounts("GET /me");
    EXPECT_EQ(statuses["200"], 20);
    EXPECT_GE(statuses["401"], 1);
    EXPECT_LE(statuses["401"], 20);

    auto rotated = store->loadTokens();
    ASSERT_TRUE(rotated);
    EXPECT_NE(rotated->refreshToken, old.refreshToken);
    EXPECT_EQ(dev().get("/me", rotated->accessToken).status, 200);
    // The stored refresh token is the live one: the server rotates it once more.
    EXPECT_EQ(dev().post("/auth/refresh", Json{{"refresh_token", rotated->refreshToken}}).status, 200);
}

// After one shared refresh the gate is free again: a second expiry during a burst of different
// operations costs exactly one more refresh.
TEST_F(RefreshConcurrencyTest, EachExpiryDuringMixedTrafficCostsOneRefresh) {
    auto store = fileStore();
    auto api = client(store);
    std::string email = signUp(api, "mixed");
    std::vector<std::function<asio::awaitable<void>()>> operations = {
        [&api] { return discardResult(api.me()); },
        [&api] { return discardResult(api.servers()); },
        [&api] { return discardResult(api.accountDevices()); },
        [&api] { return discardResult(api.subscriptionStatus()); },
        [&api] { return discardResult(api.billingCatalog()); },
    };
    dev().resetStats();
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        dev().expireTokens(email);
        dev().addFault(kSlowRefresh);
        std::vector<std::function<asio::awaitable<void>()>> calls;
        for (int i = 0; i < 4; ++i) calls.insert(calls.end(), operations.begin(), operations.end());
        EXPECT_EQ(runTogether(std::move(calls)), 0);
        EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], round);
    }
}

// A request sent with the old token whose 401 arrives only after the shared refresh has finished
// must not start a second refresh: the store already holds a fresh pair, and rotating twice would
// cost a round trip and, on a backend that ends the previous access token on rotation, send the
// calls that just got the first new token into another refresh.
TEST_F(RefreshConcurrencyTest, LateUnauthorizedAnswerReusesTheFinishedRefresh) {
    auto store = newStore();
    auto api = client(store);
    std::string email = signUp(api, "late");
    dev().expireTokens(email);
    dev().resetStats();
    // The server lets the server list wait before it checks the (expired) token.
    dev().addFault(Json{{"path", "/vpn/servers"}, {"delay_ms", 300}});

    std::vector<std::function<asio::awaitable<void>()>> calls = {
        [&api] { return discardResult(api.servers()); },
        [&api] { return discardResult(api.me()); },
    };
    EXPECT_EQ(runTogether(std::move(calls)), 0);
    EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], 1);
}

}  // namespace
}  // namespace tarn::e2e
