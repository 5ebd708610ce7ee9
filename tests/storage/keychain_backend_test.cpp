// The behaviour every Keychain backend shares, run against each: in memory, files, and the real
// Secret Service (skipped when the session bus has none), with the token store on top.
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include "test_support.hpp"

#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

namespace tarn {
namespace {

enum class Backend { memory, file, secretService };

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    switch (info.param) {
        case Backend::memory: return "Memory";
        case Backend::file: return "File";
        case Backend::secretService: return "SecretService";
    }
    return "Unknown";
}

bool secretServiceReachable() {
    static const bool reachable = std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr &&
                                  SecretServiceKeychain::isAvailable(std::chrono::seconds(10));
    return reachable;
}

std::string uniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    std::random_device random;
    return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(random()) + "-" +
           std::to_string(counter++);
}

using testing::withData;
KeychainAttributes returningData(KeychainAttributes q) {
    q.returnData = true;
    q.matchLimit = KeychainMatchLimit::one;
    return q;
}

class KeychainBackendTest : public ::testing::TestWithParam<Backend> {
protected:
    // How many data-protection items (service, "acct") the backend holds, counted behind its back.
    std::size_t itemCount(const std::string& service) {
        if (GetParam() != Backend::secretService) {
            return keychain->copyMatching(testing::keychainItem(service, "acct", true)).status == errSecSuccess ? 1 : 0;
        }
        GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
        g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>("acct"));
        g_hash_table_insert(attributes, const_cast<char*>("keychain"), const_cast<char*>("data-protection"));
        GList* items = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
        g_hash_table_unref(attributes);
        std::size_t count = g_list_length(items);
        g_list_free_full(items, g_object_unref);
        return count;
    }

    void SetUp() override {
        switch (GetParam()) {
            case Backend::memory: keychain = std::make_shared<InMemoryKeychain>(); break;
            case Backend::file: keychain = std::make_shared<FileKeychain>(scratch / "keychain"); break;
            case Backend::secretService:
                if (!secretServiceReachable()) GTEST_SKIP() << "no Secret Service on the session bus";
                keychain = std::make_shared<SecretServiceKeychain>(std::chrono::seconds(10));
                break;
        }
    }
    void TearDown() override {
        if (!keychain) return;
        for (const auto& service : services) {
            for (const auto& account : accounts) {
                keychain->deleteItem(testing::keychainItem(service, account, true));
                keychain->deleteItem(testing::keychainItem(service, account, false));
            }
        }
    }
    // A service name no earlier run left items under; cleaned up afterwards.
    std::string service(const std::string& prefix = "tarn-test") {
        services.push_back(uniqueName(prefix));
        return services.back();
    }

    testing::ScratchDirectory scratch;
    std::shared_ptr<Keychain> keychain;
    std::vector<std::string> services;
    std::vector<std::string> accounts{"acct", "a-b", "b", ""};
};

// One item from first add to second delete; the data carries what a naive text store would mangle.
TEST_P(KeychainBackendTest, OneItemIsAddedFoundUpdatedAndDeleted) {
    const auto item = testing::keychainItem(service(), "acct", true);
    const std::string data = std::string("line\nbreak \"quoted\" ünïcødé \x01\x7f") + std::string(70000, 'x');
    EXPECT_EQ(keychain->copyMatching(returningData(item)).status, errSecItemNotFound);
    EXPECT_EQ(keychain->update(item, KeychainAttributes{.valueData = "x"}), errSecItemNotFound);
    EXPECT_EQ(keychain->copyMatching(item).status, errSecItemNotFound) << "update added nothing";
    ASSERT_EQ(keychain->add(withData(item, data)), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(returningData(item)), (KeychainCopyResult{errSecSuccess, data}));
    EXPECT_EQ(keychain->copyMatching(item), (KeychainCopyResult{errSecSuccess, std::nullopt})) << "data only when asked";
    EXPECT_EQ(keychain->add(withData(item, "second")), errSecDuplicateItem);
    EXPECT_EQ(keychain->copyMatching(returningData(item)).data, data) << "a duplicate add keeps the first data";
    EXPECT_EQ(keychain->update(item, KeychainAttributes{.valueData = "new"}), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(returningData(item)).data, "new");
    EXPECT_EQ(keychain->deleteItem(item), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(item).status, errSecItemNotFound);
    EXPECT_EQ(keychain->deleteItem(item), errSecItemNotFound);
}

TEST_P(KeychainBackendTest, DataProtectionAndLegacyKeychainsHoldSeparateItems) {
    const auto s = service();
    ASSERT_EQ(keychain->add(withData(testing::keychainItem(s, "acct", true), "current")), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(testing::keychainItem(s, "acct", false)).status, errSecItemNotFound);
    ASSERT_EQ(keychain->add(withData(testing::keychainItem(s, "acct", false), "legacy")), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "acct", true))).data, "current");
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "acct", false))).data, "legacy");
    EXPECT_EQ(keychain->deleteItem(testing::keychainItem(s, "acct", true)), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "acct", false))).data, "legacy");
}

TEST_P(KeychainBackendTest, ServiceAndAccountAreNeverConfused) {
    // "a-b"/"c" and "a"/"b-c" would collide under a naive "service-account" name.
    const auto s = service("svc");
    const auto sDash = s + "-b";
    services.push_back(sDash);
    ASSERT_EQ(keychain->add(withData(testing::keychainItem(sDash, "", true), "one")), errSecSuccess);
    ASSERT_EQ(keychain->add(withData(testing::keychainItem(s, "b", true), "two")), errSecSuccess);
    ASSERT_EQ(keychain->add(withData(testing::keychainItem(s, "a-b", true), "three")), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(sDash, "", true))).data, "one");
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "b", true))).data, "two");
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "a-b", true))).data, "three");
}

TEST_P(KeychainBackendTest, ConcurrentAddsOfOneItemLetExactlyOneWin) {
    const auto s = service();
    std::atomic<int> successes{0}, duplicates{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            OSStatus status = keychain->add(withData(testing::keychainItem(s, "acct", true), "writer-" + std::to_string(i)));
            if (status == errSecSuccess) ++successes;
            if (status == errSecDuplicateItem) ++duplicates;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(duplicates, 7);
    auto found = keychain->copyMatching(returningData(testing::keychainItem(s, "acct", true)));
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(found.data->rfind("writer-", 0), 0u);
}

#ifdef TARN_STORAGE_PROC
TEST_P(KeychainBackendTest, ConcurrentAddsFromSeveralProcessesLetExactlyOneWin) {
    if (GetParam() == Backend::memory) GTEST_SKIP() << "an in-memory keychain lives in one process";
    const auto s = service();
    const std::string backend = GetParam() == Backend::file ? "file" : "secret-service";
    // A private runtime directory of our own for the Secret Service's add lock.
    testing::ScratchDirectory runtime;
    std::vector<std::unique_ptr<testing::ChildProcess>> children;
    for (int i = 0; i < 6; ++i) {
        children.push_back(std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{TARN_STORAGE_PROC, "keychain-add", backend, (scratch / "keychain").string(), s,
                                     "process-" + std::to_string(i)},
            std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime.path().string()}));
    }
    for (auto& child : children) child->closeInput();
    std::multiset<std::string> statuses;
    for (auto& child : children) {
        statuses.insert(child->readLine());
        EXPECT_EQ(child->wait(), 0);
    }
    EXPECT_EQ(statuses.count("0"), 1u);
    EXPECT_EQ(statuses.count(std::to_string(errSecDuplicateItem)), 5u);
    auto found = keychain->copyMatching(returningData(testing::keychainItem(s, "acct", true)));
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(found.data->rfind("process-", 0), 0u);
    EXPECT_EQ(keychain->deleteItem(testing::keychainItem(s, "acct", true)), errSecSuccess);
    EXPECT_EQ(keychain->copyMatching(testing::keychainItem(s, "acct", true)).status, errSecItemNotFound) << "one item, not several";
}

// Processes that do not share the add lock (each its own runtime directory) saving and clearing
// at once: no call fails, and what is left is one item or none.
TEST_P(KeychainBackendTest, SavesAndClearsRacingFromSeveralProcessesNeverFailAndLeaveOneItemAtMost) {
    if (GetParam() == Backend::memory) GTEST_SKIP() << "an in-memory keychain lives in one process";
    const auto s = service();
    const std::string backend = GetParam() == Backend::file ? "file" : "secret-service";
    std::vector<std::unique_ptr<testing::ScratchDirectory>> runtimes;
    std::vector<std::unique_ptr<testing::ChildProcess>> children;
    for (const char* operation : {"save", "save", "clear", "clear"}) {
        runtimes.push_back(std::make_unique<testing::ScratchDirectory>());
        children.push_back(std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{TARN_STORAGE_PROC, "token-race", backend, (scratch / "keychain").string(), s,
                                     operation, "25"},
            std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtimes.back()->path().string()}));
    }
    for (auto& child : children) child->closeInput();
    for (auto& child : children) {
        EXPECT_EQ(child->readLine(), "0");
        EXPECT_EQ(child->wait(), 0);
    }
    EXPECT_LE(itemCount(s), 1u);
    KeychainTokenStore(s, "acct", keychain).save({"a", "r"});
    auto found = keychain->copyMatching(returningData(testing::keychainItem(s, "acct", true)));
    EXPECT_EQ(found.data, R"({"accessToken":"a","refreshToken":"r"})");
}
#endif

// The token store's algorithms end to end on each backend.

TEST_P(KeychainBackendTest, TokenStoreMigratesALegacyItemAndClearsBoth) {
    const auto s = service();
    const std::string json = R"({"accessToken":"a","refreshToken":"r"})";
    ASSERT_EQ(keychain->add(withData(testing::keychainItem(s, "acct", false), json)), errSecSuccess);
    KeychainTokenStore store(s, "acct", keychain);

    EXPECT_EQ(store.loadTokens(), (AuthTokens{"a", "r"}));
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "acct", true))).data, json);
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "acct", false))).data, json);

    store.clear();
    EXPECT_EQ(keychain->copyMatching(testing::keychainItem(s, "acct", true)).status, errSecItemNotFound);
    EXPECT_EQ(keychain->copyMatching(testing::keychainItem(s, "acct", false)).status, errSecItemNotFound);
    EXPECT_EQ(store.loadTokens(), std::nullopt);
}

// A save over an existing item (here one that is not a token pair, which stays until then).
TEST_P(KeychainBackendTest, TokenStoreKeepsAValueThatIsNotATokenPairAndSavesOverIt) {
    const auto s = service();
    ASSERT_EQ(keychain->add(withData(testing::keychainItem(s, "acct", true), R"({"accessToken":"only"})")), errSecSuccess);
    KeychainTokenStore store(s, "acct", keychain);
    EXPECT_THROW(store.loadTokens(), DecodingError);
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "acct", true))).data, R"({"accessToken":"only"})");
    store.save({"a", "r"});
    EXPECT_EQ(store.loadTokens(), (AuthTokens{"a", "r"}));
    EXPECT_EQ(keychain->copyMatching(returningData(testing::keychainItem(s, "acct", true))).data, R"({"accessToken":"a","refreshToken":"r"})");
}

TEST_P(KeychainBackendTest, AttributeSetsWithoutServiceOrAccountAreRefused) {
    KeychainAttributes noAccount{.itemClass = KeychainItemClass::genericPassword, .service = service()};
    EXPECT_EQ(keychain->add(withData(noAccount, "v")), errSecParam);
    EXPECT_EQ(keychain->copyMatching(noAccount).status, errSecParam);
    EXPECT_EQ(keychain->deleteItem(noAccount), errSecParam);
}

INSTANTIATE_TEST_SUITE_P(Backends, KeychainBackendTest,
                         ::testing::Values(Backend::memory, Backend::file, Backend::secretService), backendName);

}  // namespace
}  // namespace tarn
