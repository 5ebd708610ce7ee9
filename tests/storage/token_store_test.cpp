#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace tarn {
namespace {

using Op = InMemoryKeychain::Operation;

const AuthTokens tokens{"access-1", "refresh-1"};
const AuthTokens newerTokens{"access-2", "refresh-2"};
const std::string tokensJSON = R"({"accessToken":"access-1","refreshToken":"refresh-1"})";

// The attribute sets the store must pass, one per column of the keychain query table.
KeychainAttributes legacyBase() {
    return {.itemClass = KeychainItemClass::genericPassword, .service = "svc", .account = "acct"};
}
KeychainAttributes currentBase() {
    auto q = legacyBase();
    q.useDataProtectionKeychain = true;
    return q;
}
KeychainAttributes nonInteractive(KeychainAttributes q) {
    q.useAuthenticationContext = KeychainAuthenticationContext{.interactionNotAllowed = true};
    return q;
}
KeychainAttributes lookup(KeychainAttributes base) {
    auto q = nonInteractive(std::move(base));
    q.returnData = true;
    q.matchLimit = KeychainMatchLimit::one;
    return q;
}
KeychainAttributes addSet(const std::string& data) {
    auto q = currentBase();
    q.valueData = data;
    q.accessible = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    return q;
}

// The status of the KeychainError `f` throws; nullopt when it throws nothing.
template <class F>
std::optional<OSStatus> thrownStatus(F&& f) {
    try {
        f();
    } catch (const KeychainError& error) {
        return error.status();
    }
    return std::nullopt;
}

class KeychainTokenStoreTest : public ::testing::Test {
protected:
    std::shared_ptr<InMemoryKeychain> keychain = std::make_shared<InMemoryKeychain>();
    KeychainTokenStore store{"svc", "acct", keychain};

    std::optional<std::string> current() const { return keychain->item("svc", "acct", true); }
    std::optional<std::string> legacy() const { return keychain->item("svc", "acct", false); }
};

TEST_F(KeychainTokenStoreTest, SaveAddsOneItemWithTheAddSetAndLoadReadsItBack) {
    store.save(tokens);
    EXPECT_EQ(current(), tokensJSON);
    EXPECT_EQ(store.loadTokens(), tokens);
    std::vector<InMemoryKeychain::Call> expected{
        {Op::add, addSet(tokensJSON), std::nullopt},
        {Op::copyMatching, lookup(currentBase()), std::nullopt},
    };
    EXPECT_EQ(keychain->calls(), expected);
}

TEST_F(KeychainTokenStoreTest, SaveOverAnExistingItemUpdatesOnlyTheData) {
    store.save(tokens);
    keychain->clearCalls();
    store.save(newerTokens);
    EXPECT_EQ(store.loadTokens(), newerTokens);
    const std::string newerJSON = R"({"accessToken":"access-2","refreshToken":"refresh-2"})";
    auto calls = keychain->calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], (InMemoryKeychain::Call{Op::add, addSet(newerJSON), std::nullopt}));
    EXPECT_EQ(calls[1], (InMemoryKeychain::Call{Op::update, nonInteractive(currentBase()),
                                                KeychainAttributes{.valueData = newerJSON}}));
}

TEST_F(KeychainTokenStoreTest, NothingStoredLoadsAbsentAfterLookingInBothKeychains) {
    EXPECT_EQ(store.loadTokens(), std::nullopt);
    std::vector<InMemoryKeychain::Call> expected{
        {Op::copyMatching, lookup(currentBase()), std::nullopt},
        {Op::copyMatching, lookup(legacyBase()), std::nullopt},
    };
    EXPECT_EQ(keychain->calls(), expected);
}

TEST_F(KeychainTokenStoreTest, LegacyItemIsCopiedForwardAndLeftInPlace) {
    keychain->setItem("svc", "acct", false, tokensJSON);
    EXPECT_EQ(store.loadTokens(), tokens);
    EXPECT_EQ(current(), tokensJSON);
    EXPECT_EQ(legacy(), tokensJSON);

    keychain->clearCalls();
    EXPECT_EQ(store.loadTokens(), tokens);
    std::vector<InMemoryKeychain::Call> expected{{Op::copyMatching, lookup(currentBase()), std::nullopt}};
    EXPECT_EQ(keychain->calls(), expected) << "the second load must not consult the legacy keychain";
}

TEST_F(KeychainTokenStoreTest, FailedCopyForwardStillReturnsLegacyTokensAndIsRetried) {
    keychain->setItem("svc", "acct", false, tokensJSON);
    keychain->queueOutcome(Op::add, errSecInteractionNotAllowed);
    EXPECT_EQ(store.loadTokens(), tokens);
    EXPECT_EQ(current(), std::nullopt);
    EXPECT_EQ(store.loadTokens(), tokens);
    EXPECT_EQ(current(), tokensJSON);
}

TEST_F(KeychainTokenStoreTest, ClearRemovesBothItemsCurrentFirst) {
    keychain->setItem("svc", "acct", true, tokensJSON);
    keychain->setItem("svc", "acct", false, tokensJSON);
    store.clear();
    EXPECT_EQ(keychain->itemCount(), 0u);
    EXPECT_EQ(store.loadTokens(), std::nullopt);
    auto calls = keychain->calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], (InMemoryKeychain::Call{Op::deleteItem, nonInteractive(currentBase()), std::nullopt}));
    EXPECT_EQ(calls[1], (InMemoryKeychain::Call{Op::deleteItem, nonInteractive(legacyBase()), std::nullopt}));
    EXPECT_NO_THROW(store.clear()) << "with nothing stored";
}

TEST_F(KeychainTokenStoreTest, LookupThatSucceedsWithoutDataFailsWithStatusZero) {
    keychain->setOutcome(Op::copyMatching, errSecSuccess);
    EXPECT_EQ(thrownStatus([&] { store.loadTokens(); }), 0);
}

TEST_F(KeychainTokenStoreTest, StoredValueThatIsNotATokenPairFailsWithTheDecoderErrorAndStays) {
    for (const std::string stored : {R"({"accessToken":"a"})", "not json", R"({"access_token":"a","refresh_token":"b"})"}) {
        keychain->setItem("svc", "acct", true, stored);
        EXPECT_THROW(store.loadTokens(), DecodingError) << stored;
        EXPECT_EQ(current(), stored);
    }
    // The same holds for a broken legacy item, and nothing is copied forward.
    keychain->deleteItem(currentBase());
    keychain->setItem("svc", "acct", false, "[]");
    EXPECT_THROW(store.loadTokens(), DecodingError);
    EXPECT_EQ(legacy(), "[]");
    EXPECT_EQ(current(), std::nullopt);
}

TEST_F(KeychainTokenStoreTest, TokensThatCannotBeEncodedWriteNothing) {
    EXPECT_THROW(store.save(AuthTokens{"\xff\xfe", "r"}), EncodingError);
    EXPECT_TRUE(keychain->calls().empty());
}

// Every status other than the ones an algorithm handles is passed on unchanged.
class KeychainTokenStoreStatusTest : public KeychainTokenStoreTest, public ::testing::WithParamInterface<OSStatus> {};

TEST_P(KeychainTokenStoreStatusTest, LoadPassesOnTheCurrentLookupStatusWithoutConsultingLegacy) {
    keychain->setItem("svc", "acct", false, tokensJSON);
    keychain->queueOutcome(Op::copyMatching, GetParam());
    EXPECT_EQ(thrownStatus([&] { store.loadTokens(); }), GetParam());
    EXPECT_EQ(keychain->calls().size(), 1u);
}

TEST_P(KeychainTokenStoreStatusTest, LoadPassesOnTheLegacyLookupStatus) {
    keychain->queueOutcome(Op::copyMatching, errSecItemNotFound);
    keychain->queueOutcome(Op::copyMatching, GetParam());
    EXPECT_EQ(thrownStatus([&] { store.loadTokens(); }), GetParam());
}

TEST_P(KeychainTokenStoreStatusTest, SavePassesOnTheAddStatus) {
    keychain->setOutcome(Op::add, GetParam());
    EXPECT_EQ(thrownStatus([&] { store.save(tokens); }), GetParam());
    for (const auto& call : keychain->calls()) EXPECT_NE(call.operation, Op::update);
}

TEST_P(KeychainTokenStoreStatusTest, SavePassesOnTheUpdateStatusAfterADuplicate) {
    keychain->setOutcome(Op::add, errSecDuplicateItem);
    keychain->setOutcome(Op::update, GetParam());
    EXPECT_EQ(thrownStatus([&] { store.save(tokens); }), GetParam());
}

TEST_P(KeychainTokenStoreStatusTest, ClearStopsAtAFailingCurrentDeleteAndLeavesTheLegacyItem) {
    keychain->setItem("svc", "acct", false, tokensJSON);
    keychain->queueOutcome(Op::deleteItem, GetParam());
    EXPECT_EQ(thrownStatus([&] { store.clear(); }), GetParam());
    EXPECT_EQ(keychain->calls().size(), 1u);
    EXPECT_EQ(legacy(), tokensJSON);
}

TEST_P(KeychainTokenStoreStatusTest, ClearPassesOnAFailingLegacyDelete) {
    keychain->queueOutcome(Op::deleteItem, errSecSuccess);
    keychain->queueOutcome(Op::deleteItem, GetParam());
    EXPECT_EQ(thrownStatus([&] { store.clear(); }), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Statuses, KeychainTokenStoreStatusTest,
                         ::testing::Values(errSecInteractionNotAllowed, errSecNotAvailable, errSecIO, errSecParam,
                                           errSecNoDefaultKeychain, -34018, 1));

// An item that add found and update did not was removed by a racing clear.
TEST_F(KeychainTokenStoreTest, AnItemClearedBetweenAddAndUpdateIsAddedAgainWithinABound) {
    keychain->queueOutcome(Op::add, errSecDuplicateItem);
    keychain->queueOutcome(Op::update, errSecItemNotFound);
    store.save(tokens);
    EXPECT_EQ(keychain->calls().size(), 3u);
    EXPECT_EQ(store.loadTokens(), tokens) << "the second add stored the pair";

    keychain->setOutcome(Op::add, errSecDuplicateItem);
    keychain->setOutcome(Op::update, errSecItemNotFound);
    const auto before = keychain->calls().size();
    EXPECT_NO_THROW(store.save(tokens)) << "clears that keep winning come after this save";
    EXPECT_EQ(keychain->calls().size() - before, 6u);
}

TEST(KeychainErrorTest, EqualityIsByStatusAndTheTextNamesIt) {
    EXPECT_EQ(KeychainError::unhandled(-25300), KeychainError::unhandled(-25300));
    EXPECT_FALSE(KeychainError::unhandled(-25300) == KeychainError::unhandled(-25299));
    EXPECT_STREQ(KeychainError::unhandled(-25300).what(), "KeychainError.unhandled(-25300): no such item");
}

TEST(KeychainAttributesTest, PrintedFormNeverShowsTheData) {
    std::ostringstream os;
    os << addSet(tokensJSON);
    EXPECT_EQ(os.str().find("access-1"), std::string::npos);
    EXPECT_NE(os.str().find("<redacted>"), std::string::npos);
}

}  // namespace
}  // namespace tarn
