// The token store's session lock on each keychain backend: holders of one item take turns, other
// items are free, and a holder that dies gives its turn up.
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace tarn {
namespace {

enum class Backend { memory, file, secretService };

class SessionLockTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        // The Secret Service's lock lives in the runtime directory: a private one per test.
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) oldRuntime = old;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        shared = makeKeychain();
    }
    void TearDown() override {
        if (oldRuntime) {
            ::setenv("XDG_RUNTIME_DIR", oldRuntime->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }

    // Another handle on the same keychain, as a second process would open it.
    std::shared_ptr<Keychain> makeKeychain() {
        switch (GetParam()) {
            case Backend::memory: return shared ? shared : std::make_shared<InMemoryKeychain>();
            case Backend::file: return std::make_shared<FileKeychain>(scratch / "keychain");
            case Backend::secretService: return std::make_shared<SecretServiceKeychain>();
        }
        return nullptr;
    }

    testing::ScratchDirectory scratch;
    testing::ScratchDirectory runtime;
    std::shared_ptr<Keychain> shared;
    std::optional<std::string> oldRuntime;
};

TEST_P(SessionLockTest, HoldersOfOneItemTakeTurnsAndOtherItemsAreFree) {
    KeychainTokenStore first("dev.tarn.test", "tokens", shared);
    KeychainTokenStore second("dev.tarn.test", "tokens", makeKeychain());
    auto held = first.tryLockSession();
    ASSERT_TRUE(held);
    EXPECT_FALSE(second.tryLockSession());
    EXPECT_FALSE(first.tryLockSession()) << "holders in one process are kept apart as well";
    EXPECT_TRUE(KeychainTokenStore("dev.tarn.test", "other", shared).tryLockSession());
    EXPECT_TRUE(KeychainTokenStore("dev.tarn.other", "tokens", shared).tryLockSession());
    held.reset();
    EXPECT_TRUE(second.tryLockSession());
}

// A runtime directory others can reach is not used; the Secret Service store still serves, with
// the holders in this process kept apart. A file keychain whose root is not private fails, as its
// items would.
TEST_P(SessionLockTest, AnUnusableLockDirectoryFailsOnlyWhereTheItemsWould) {
    if (GetParam() == Backend::memory) GTEST_SKIP() << "an in-memory keychain has no lock file";
    std::filesystem::create_directories(runtime / "tarn");
    std::filesystem::create_directories(scratch / "keychain");
    std::filesystem::permissions(runtime / "tarn", std::filesystem::perms::others_read, std::filesystem::perm_options::add);
    std::filesystem::permissions(scratch / "keychain", std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    KeychainTokenStore store("dev.tarn.test", "tokens", shared);
    if (GetParam() == Backend::file) {
        EXPECT_THROW(store.tryLockSession(), std::filesystem::filesystem_error);
        return;
    }
    auto held = store.tryLockSession();
    EXPECT_TRUE(held);
    EXPECT_FALSE(store.tryLockSession());
}

#ifdef TARN_STORAGE_PROC
TEST_P(SessionLockTest, AnotherProcessHoldsItUntilItDies) {
    if (GetParam() == Backend::memory) GTEST_SKIP() << "an in-memory keychain lives in one process";
    const std::string kind = GetParam() == Backend::file ? "file" : "secret-service";
    KeychainTokenStore store("dev.tarn.test", "acct", shared);
    testing::ChildProcess holder({TARN_STORAGE_PROC, "session-lock", kind, (scratch / "keychain").string(), "dev.tarn.test"});
    ASSERT_EQ(holder.readLine(), "locked");
    EXPECT_FALSE(store.tryLockSession());
    holder.kill(SIGKILL);
    holder.wait();
    EXPECT_TRUE(store.tryLockSession());
}
#endif

std::string backendName(const ::testing::TestParamInfo<Backend>& param) {
    switch (param.param) {
        case Backend::memory: return "Memory";
        case Backend::file: return "File";
        case Backend::secretService: return "SecretService";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Backends, SessionLockTest,
                         ::testing::Values(Backend::memory, Backend::file, Backend::secretService), backendName);

}  // namespace
}  // namespace tarn
