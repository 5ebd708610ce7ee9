#include "tarn/storage/device_identity.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/memory_keychain.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <functional>
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

// Where the first answer comes from: the stored value, else the keychain's access token, else a new
// identifier. Only an empty identifier is stored; the keychain is only read.
TEST_F(DeviceIdentityTest, FirstAnswerFromDefaultsThenKeychainThenGeneration) {
    using Source = DeviceIdentity::Origin::Source;
    using Op = InMemoryKeychain::Operation;
    struct Case {
        const char* name;
        std::optional<std::string> stored;
        std::function<void(InMemoryKeychain&)> keychainHolds;
        std::optional<std::string> id;  // nullopt: a new UUID
        std::optional<Source> source;   // checked where given
        std::optional<std::string> storedAfter;  // nullopt: the answer
    };
    const auto item = [](std::string data) { return [data](InMemoryKeychain& k) { k.setItem("svc", "acct", true, data); }; };
    const Case cases[] = {
        {"fresh install", std::nullopt, [](InMemoryKeychain&) {}, std::nullopt, Source::generated, std::nullopt},
        {"stored value, trimmed but left as it is", "  abc\n", [](InMemoryKeychain&) {}, "abc", Source::defaults, "  abc\n"},
        {"blank stored value", " \t\n\u00a0", item(R"({"accessToken":" x ","refreshToken":"r"})"), "x", Source::keychain, "x"},
        {"locked keychain", std::nullopt, [](InMemoryKeychain& k) { k.setOutcome(Op::copyMatching, errSecInteractionNotAllowed); },
         std::nullopt, std::nullopt, std::nullopt},
        {"not a token pair", std::nullopt, item("garbage"), std::nullopt, std::nullopt, std::nullopt},
        {"blank token", std::nullopt, item(R"({"accessToken":"  ","refreshToken":"r"})"), std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        defaults = std::make_shared<InMemoryDefaults>();
        keychain = std::make_shared<InMemoryKeychain>();
        tokens = std::make_shared<KeychainTokenStore>("svc", "acct", keychain);
        if (c.stored) defaults->setString(key, *c.stored);
        c.keychainHolds(*keychain);
        const auto items = keychain->itemCount();
        auto identity = this->identity();
        EXPECT_EQ(identity.defaultsKey(), key);
        const std::string id = identity.deviceID();
        if (c.id) {
            EXPECT_EQ(id, *c.id);
        } else {
            EXPECT_TRUE(isLowerCaseUUIDv4(id)) << id;
        }
        if (c.source) {
            EXPECT_EQ(identity.origin(), (DeviceIdentity::Origin{*c.source, true, ""}));
        }
        EXPECT_EQ(defaults->stringForKey(key), c.storedAfter.value_or(id));
        EXPECT_EQ(keychain->itemCount(), items) << "nothing is written to the keychain";
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
