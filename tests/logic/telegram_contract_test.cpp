#include "tarn/logic/telegram_contract.hpp"

#include <gtest/gtest.h>

namespace tarn {
namespace {

const std::string sessionID = "Abc_def-0123456789xyzQ";        // 22 characters
const std::string sessionSecret = "s3cr3t_SECRET-value_0123456789";  // 30 characters
const std::string validLink = "https://t.me/tarnvpn_bot?start=ios_auth_" + sessionID;

std::optional<URL> validated(const std::string& link, const std::string& id = sessionID,
                             const std::string& secret = sessionSecret) {
    const auto url = URL::parse(link);
    if (!url) {
        ADD_FAILURE() << "test link does not parse: " << link;
        return std::nullopt;
    }
    return TelegramAuthContract::validatedDeepLink(*url, id, secret);
}

TEST(TelegramAuthContract, IdentifierAndSecretLengthsAndAlphabet) {
    struct Case {
        std::string value;
        bool validID, validSecret;
    };
    const std::string x(19, 'x');
    const Case cases[] = {
        {"", false, false},
        {x, false, false},
        {x + "_", true, true},
        {std::string(128, 'a'), true, true},
        {std::string(129, 'a'), false, true},
        {std::string(256, 'Z'), false, true},
        {std::string(257, 'Z'), false, false},
        {x + "-_", true, true},
        {x + "+", false, false},
        {x + "/", false, false},
        {x + "=", false, false},
        {x + " ", false, false},
        {x + ".", false, false},
        {x + "é", false, false},                   // 20 characters, one of them not in the alphabet
        {std::string(10, 'a') + "\xFF" + std::string(10, 'a'), false, false},  // not UTF-8
        {std::string(10, 'a') + std::string("\0", 1) + std::string(10, 'a'), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TelegramAuthContract::isValidSessionID(c.value), c.validID) << c.value.size() << " " << c.value;
        EXPECT_EQ(TelegramAuthContract::isValidSessionSecret(c.value), c.validSecret) << c.value.size() << " " << c.value;
    }
}

TEST(TelegramAuthContract, UserCodeIsExactlySixASCIIDigits) {
    for (const char* code : {"012345", "999999"}) EXPECT_EQ(TelegramAuthContract::normalizedUserCode(code), code);
    for (const char* code : {"12345", "1234567", " 123456", "123456 ", "12345a", "", "１２３４５６", "١٢٣٤٥٦", "12 456"}) {
        EXPECT_EQ(TelegramAuthContract::normalizedUserCode(code), std::nullopt) << code;
    }
}

TEST(TelegramAuthContract, AcceptsTheExactLinkAndReturnsItAsPassed) {
    for (const auto& link : {validLink, "HTTPS://T.ME/tarnvpn_bot?start=ios_auth_" + sessionID,
                             "hTTps://t.Me/tarnvpn_bot?start=ios_auth_" + sessionID}) {
        const auto result = validated(link);
        ASSERT_TRUE(result) << link;
        EXPECT_EQ(result->absoluteString(), link);
    }
}

TEST(TelegramAuthContract, RejectsEveryTamperedLink) {
    const std::string payload = "ios_auth_" + sessionID;
    const std::string tampered[] = {
        "http://t.me/tarnvpn_bot?start=" + payload,
        "tg://t.me/tarnvpn_bot?start=" + payload,
        "https://telegram.me/tarnvpn_bot?start=" + payload,
        "https://t.me.evil.example/tarnvpn_bot?start=" + payload,
        "https://evil.example/t.me/tarnvpn_bot?start=" + payload,
        "//t.me/tarnvpn_bot?start=" + payload,
        "https://t.me:443/tarnvpn_bot?start=" + payload,
        "https://t.me/tarnvpn_bot?start=" + payload + "#frag",
        "https://t.me/tarnvpn_bot?start=" + payload + "#",
        "https://user@t.me/tarnvpn_bot?start=" + payload,
        "https://user:pw@t.me/tarnvpn_bot?start=" + payload,
        "https://t.me/tarnvpn_bot?start=" + payload + "&x=1",
        "https://t.me/tarnvpn_bot?x=1&start=" + payload,
        "https://t.me/tarnvpn_bot?start=" + payload + "&start=" + payload,
        "https://t.me/tarnvpn_bot?start=" + payload + "&",
        "https://t.me/tarnvpn_bot?start=ios%5Fauth_" + sessionID,  // same value, other encoding
        "https://t.me/tarnvpn_bot?%73tart=" + payload,
        "https://t.me/tarnvpn_bot?START=" + payload,
        "https://t.me/tarnvpn_bot?start=ios_auth_" + sessionID + "x",
        "https://t.me/tarnvpn_bot?start=" + sessionID,
        "https://t.me/tarnvpn_bot?start",
        "https://t.me/tarnvpn_bot?",
        "https://t.me/tarnvpn_bot",
        "https://t.me/TarnVPN_bot?start=" + payload,
        "https://t.me/tarnvpn_bot/?start=" + payload,
        "https://t.me//tarnvpn_bot?start=" + payload,
        "https://t.me/tarnvpn%5Fbot?start=" + payload,
        "https://t.me/other_bot?start=" + payload,
        "https://t.me?start=" + payload,
        "/tarnvpn_bot?start=" + payload,
    };
    ASSERT_TRUE(validated(validLink));
    for (const auto& link : tampered) EXPECT_EQ(validated(link), std::nullopt) << link;
}

TEST(TelegramAuthContract, TheSecretNeverTravelsInTheLink) {
    // The secret in place of the identifier: well-formed, but the link carries the secret.
    EXPECT_EQ(validated("https://t.me/tarnvpn_bot?start=ios_auth_" + sessionSecret, sessionSecret), std::nullopt);
    // A secret that happens to occur inside an otherwise perfect link.
    EXPECT_EQ(validated(validLink, sessionID, "auth_" + sessionID), std::nullopt);
    EXPECT_EQ(validated(validLink, sessionID, sessionID), std::nullopt);
    EXPECT_EQ(validated(validLink + "#" + sessionSecret), std::nullopt);
}

TEST(TelegramAuthContract, LinkIsBoundToItsOwnSessionValues) {
    EXPECT_EQ(validated(validLink, "Zbc_def-0123456789xyzQ"), std::nullopt);
    EXPECT_EQ(validated(validLink, sessionID.substr(0, 20)), std::nullopt);

    // An identifier or secret that breaks its own rule fails even when the link matches it.
    const std::string shortID = "short_id";
    EXPECT_EQ(validated("https://t.me/tarnvpn_bot?start=ios_auth_" + shortID, shortID), std::nullopt);
    const std::string longID(129, 'a');
    EXPECT_EQ(validated("https://t.me/tarnvpn_bot?start=ios_auth_" + longID, longID), std::nullopt);
    const std::string maxID(128, 'a');
    EXPECT_TRUE(validated("https://t.me/tarnvpn_bot?start=ios_auth_" + maxID, maxID));
    EXPECT_EQ(validated(validLink, sessionID, "too-short"), std::nullopt);
    EXPECT_EQ(validated(validLink, sessionID, std::string(20, '=')), std::nullopt);
}

}  // namespace
}  // namespace tarn
