// One sign-in shared by several processes: real child processes, each with its own APIClient and
// a token store over one keychain (the file store and the Secret Service), against the development
// backend, which rotates refresh tokens and refuses a spent one.
#include "backend_test.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef TARN_SESSION_PROC

namespace tarn::e2e {
namespace {

using namespace std::chrono_literals;

enum class KeychainKind { file, secretService };

class SharedSessionTest : public BackendTest, public ::testing::WithParamInterface<KeychainKind> {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        static int stores = 0;
        service_ = "dev.tarn.e2e.shared." + std::to_string(::getpid()) + "." + std::to_string(++stores);
        scratch_ = std::filesystem::path(::testing::TempDir()) / service_;
        std::filesystem::create_directories(scratch_);
        if (GetParam() == KeychainKind::file) {
            keychain_ = std::make_shared<FileKeychain>(scratch_ / "keychain");
        } else {
            if (!std::getenv("DBUS_SESSION_BUS_ADDRESS") || !SecretServiceKeychain::isAvailable(5s)) {
                GTEST_SKIP() << "no Secret Service on the session bus";
            }
            keychain_ = std::make_shared<SecretServiceKeychain>(10s);
        }
    }

    void TearDown() override {
        if (keychain_) store()->clear();
        BackendTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    // The store every child opens, as this process sees it.
    std::shared_ptr<TokenStore> store() const {
        return std::make_shared<KeychainTokenStore>(service_, "tokens", keychain_);
    }

    std::unique_ptr<tools::Subprocess> start(const std::string& operation) {
        tools::SpawnOptions options;
        options.pipeStdin = true;
        options.pipeStdout = false;
        options.stderrFile = scratch_ / ("child-" + std::to_string(++children_) + ".err");
        return std::make_unique<tools::Subprocess>(
            TARN_SESSION_PROC,
            std::vector<std::string>{server().url(), GetParam() == KeychainKind::file ? "file" : "secret-service",
                                     (scratch_ / "keychain").string(), service_, operation},
            options);
    }

    // Exit code, or a test failure with what the child wrote when it did not end in time.
    int finish(tools::Subprocess& child) {
        auto status = child.wait(30s);
        if (!status) {
            child.stop(0ms);
            ADD_FAILURE() << "a child process did not finish";
            return -1;
        }
        return status->code;
    }

    std::string childErrors() const {
        std::ostringstream all;
        for (int i = 1; i <= children_; ++i) {
            std::ifstream in(scratch_ / ("child-" + std::to_string(i) + ".err"));
            all << in.rdbuf();
        }
        return all.str();
    }

    // Signs up an account whose pair lands in the shared store, then lets its access token expire.
    void signUpAndExpire(const std::string& tag) {
        auto api = client(store());
        std::string email = signUp(api, tag);
        dev().expireTokens(email);
        dev().resetStats();
    }

private:
    std::string service_;
    std::filesystem::path scratch_;
    std::shared_ptr<Keychain> keychain_;
    int children_ = 0;
};

TEST_P(SharedSessionTest, ProcessesMeetingAnExpiredTokenTogetherSpendOneRefreshToken) {
    for (int processes : {3, 8}) {
        SCOPED_TRACE(std::to_string(processes) + " processes");
        signUpAndExpire("shared");
        // Held back so that every process meets its 401 while the refresh is on the wire.
        dev().addFault(Json{{"path", "/auth/refresh"}, {"delay_ms", 300}});
        std::vector<std::unique_ptr<tools::Subprocess>> children;
        for (int i = 0; i < processes; ++i) children.push_back(start("me"));
        for (auto& child : children) child->closeStdin();
        for (auto& child : children) EXPECT_EQ(finish(*child), 0) << childErrors();

        EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], 1);
        EXPECT_EQ(dev().statusCounts("GET /me")["200"], processes);
        auto stored = store()->loadTokens();
        ASSERT_TRUE(stored);
        EXPECT_EQ(dev().get("/me", stored->accessToken).status, 200);
        EXPECT_EQ(dev().post("/auth/refresh", Json{{"refresh_token", stored->refreshToken}}).status, 200);
        dev().clearFaults();
    }
}

TEST_P(SharedSessionTest, ALogoutDuringAnotherProcesssRefreshSticks) {
    signUpAndExpire("logout");
    dev().addFault(Json{{"path", "/auth/refresh"}, {"delay_ms", 600}});
    auto refreshing = start("me");
    refreshing->closeStdin();
    // Its refresh is on the wire once its 401 is answered and a request is in flight again.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!(dev().statusCounts("GET /me")["401"] >= 1 && dev().get("/dev/stats").json()["in_flight"] >= 1)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the first process never started its refresh";
        std::this_thread::sleep_for(5ms);
    }
    auto signingOut = start("logout");
    signingOut->closeStdin();
    EXPECT_EQ(finish(*signingOut), 0) << childErrors();
    const int refresher = finish(*refreshing);
    // It may still have repeated its call with the renewed pair before the sign-out took its turn.
    EXPECT_TRUE(refresher == 0 || refresher == 5) << refresher << childErrors();

    EXPECT_EQ(store()->loadTokens(), std::nullopt) << "the refresh saved its pair after the sign-out";
    EXPECT_EQ(dev().requestCounts()["POST /auth/refresh"], 1);
    // Accepted at once: the sign-out waited for the refresh and named the pair it stored, whose
    // access token is live, rather than the expired one it would have read before.
    EXPECT_EQ(dev().statusCounts("POST /auth/logout"), (std::map<std::string, std::int64_t>{{"204", 1}}));
}

std::string keychainName(const ::testing::TestParamInfo<KeychainKind>& param) {
    return param.param == KeychainKind::file ? "File" : "SecretService";
}

INSTANTIATE_TEST_SUITE_P(Keychains, SharedSessionTest, ::testing::Values(KeychainKind::file, KeychainKind::secretService),
                         keychainName);

}  // namespace
}  // namespace tarn::e2e

#endif
