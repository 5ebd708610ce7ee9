#include "tarn/storage/device_identity.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/memory_keychain.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace tarn {
namespace {

// 8-4-4-4-12 lower-case hexadecimal digits, version 4, RFC 4122 variant.
bool isLowerCaseUUIDv4(const std::string& s) {
    if (s.size() != 36 || s[14] != '4' || std::string_view("89ab").find(s[19]) == std::string_view::npos) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? s[i] != '-' : std::string_view("0123456789abcdef").find(s[i]) == std::string_view::npos) return false;
    }
    return true;
}

class DeviceIdentityTest : public ::testing::Test {
protected:
    std::shared_ptr<InMemoryDefaults> defaults = std::make_shared<InMemoryDefaults>();
    std::shared_ptr<InMemoryKeychain> keychain = std::make_shared<InMemoryKeychain>();
    std::shared_ptr<KeychainTokenStore> tokens = std::make_shared<KeychainTokenStore>("svc", "acct", keychain);
    const std::string key = "dev.tarn.vpn.device.id.v1";

    DeviceIdentity identity() { return DeviceIdentity(defaults, tokens); }
};

TEST_F(DeviceIdentityTest, FreshInstallGeneratesALowerCaseUUIDAndStoresIt) {
    auto identity = this->identity();
    EXPECT_EQ(identity.defaultsKey(), key);
    const std::string id = identity.deviceID();
    EXPECT_TRUE(isLowerCaseUUIDv4(id)) << id;
    EXPECT_EQ(defaults->stringForKey(key), id);
    EXPECT_EQ(identity.origin(), (DeviceIdentity::Origin{DeviceIdentity::Origin::Source::generated, true, ""}));
    EXPECT_EQ(keychain->itemCount(), 0u) << "nothing is written to the keychain";
}

TEST_F(DeviceIdentityTest, StoredValueIsTrimmedButLeftAsItIs) {
    defaults->setString(key, "  abc\n");
    auto identity = this->identity();
    EXPECT_EQ(identity.deviceID(), "abc");
    EXPECT_EQ(identity.origin(), (DeviceIdentity::Origin{DeviceIdentity::Origin::Source::defaults, true, ""}));
    EXPECT_EQ(defaults->stringForKey(key), "  abc\n");
}

TEST_F(DeviceIdentityTest, BlankStoredValueFallsToTheKeychainAccessToken) {
    defaults->setString(key, " \t\n\u00a0");
    keychain->setItem("svc", "acct", true, R"({"accessToken":" x ","refreshToken":"r"})");
    auto identity = this->identity();
    EXPECT_EQ(identity.deviceID(), "x");
    EXPECT_EQ(identity.origin(), (DeviceIdentity::Origin{DeviceIdentity::Origin::Source::keychain, true, ""}));
    EXPECT_EQ(defaults->stringForKey(key), "x");
}

TEST_F(DeviceIdentityTest, FailingOrBlankKeychainFallsToGeneration) {
    struct Case {
        const char* name;
        std::function<void(InMemoryKeychain&)> setUp;
    };
    const Case cases[] = {
        {"locked", [](InMemoryKeychain& k) { k.setOutcome(InMemoryKeychain::Operation::copyMatching, errSecInteractionNotAllowed); }},
        {"not a token pair", [](InMemoryKeychain& k) { k.setItem("svc", "acct", true, "garbage"); }},
        {"blank token", [](InMemoryKeychain& k) { k.setItem("svc", "acct", true, R"({"accessToken":"  ","refreshToken":"r"})"); }},
    };
    for (const auto& c : cases) {
        defaults = std::make_shared<InMemoryDefaults>();
        keychain = std::make_shared<InMemoryKeychain>();
        tokens = std::make_shared<KeychainTokenStore>("svc", "acct", keychain);
        c.setUp(*keychain);
        EXPECT_TRUE(isLowerCaseUUIDv4(identity().deviceID())) << c.name;
    }
}

TEST_F(DeviceIdentityTest, AnInstanceKeepsItsFirstAnswer) {
    auto identity = this->identity();
    const std::string first = identity.deviceID();
    defaults->setString(key, "changed");
    EXPECT_EQ(identity.deviceID(), first);
    defaults->removeObject(key);
    EXPECT_EQ(identity.deviceID(), first);
}

TEST_F(DeviceIdentityTest, FailingDefaultsStillYieldAnIdentifier) {
    struct BrokenDefaults : Defaults {
        std::optional<std::string> stringForKey(std::string_view) override { throw std::runtime_error("read"); }
        void setString(std::string_view, std::string_view) override { throw std::runtime_error("write"); }
        void removeObject(std::string_view) override {}
    };
    DeviceIdentity identity(std::make_shared<BrokenDefaults>(), tokens);
    EXPECT_EQ(identity.origin(), std::nullopt);
    const std::string id = identity.deviceID();
    EXPECT_TRUE(isLowerCaseUUIDv4(id));
    EXPECT_EQ(identity.deviceID(), id);
    EXPECT_EQ(identity.origin(), (DeviceIdentity::Origin{DeviceIdentity::Origin::Source::generated, false, "read"}))
        << "a host must be able to say why this device now looks new";
    EXPECT_TRUE(isLowerCaseUUIDv4(DeviceIdentity(nullptr, nullptr).deviceID()));
}

TEST_F(DeviceIdentityTest, ConcurrentFirstCallsOnOneInstanceAgreeAndWriteOnce) {
    DeviceIdentity identity(defaults, tokens);
    std::vector<std::string> results(16);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = identity.deviceID(); });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<std::string>(results.begin(), results.end()).size(), 1u);
    EXPECT_EQ(defaults->writeCount(), 1u);
    EXPECT_EQ(defaults->stringForKey(key), results[0]);
}

TEST_F(DeviceIdentityTest, SeparateInstancesRacingOnOneStoreAdoptTheFirstStoredValue) {
    std::vector<std::string> results(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = DeviceIdentity(defaults, tokens).deviceID(); });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<std::string>(results.begin(), results.end()).size(), 1u);
    EXPECT_EQ(defaults->writeCount(), 1u);
}

#ifdef TARN_STORAGE_PROC
TEST(DeviceIdentityProcessTest, ProcessesStartingTogetherOnAFreshStoreAgreeOnOneIdentifier) {
    testing::ScratchDirectory scratch;
    const std::string defaultsFile = (scratch / "defaults.json").string();
    const std::string keychainRoot = (scratch / "keychain").string();
    std::vector<std::unique_ptr<testing::ChildProcess>> children;
    for (int i = 0; i < 6; ++i) {
        children.push_back(std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{TARN_STORAGE_PROC, "device-id", defaultsFile, keychainRoot}));
    }
    for (auto& child : children) child->closeInput();  // release them together
    std::set<std::string> answers;
    for (auto& child : children) {
        std::string id = child->readLine();
        EXPECT_TRUE(isLowerCaseUUIDv4(id)) << id;
        answers.insert(id);
        EXPECT_EQ(child->wait(), 0);
    }
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_EQ(JSONFileDefaults(defaultsFile).stringForKey("dev.tarn.vpn.device.id.v1"), *answers.begin());
}
#endif

}  // namespace
}  // namespace tarn
