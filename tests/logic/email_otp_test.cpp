#include "tarn/logic/email_otp.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <regex>

namespace tarn {
namespace {

using std::chrono::seconds;

const Timestamp T{seconds{1'700'000'000}};
constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();

EmailOTPFlowState withChallenge(std::int64_t expiresIn = 600, std::int64_t resendAfter = 60) {
    EmailOTPFlowState s;
    s.beginRequest("user@example.com");
    s.receive({"ch-1", expiresIn, resendAfter}, T);
    return s;
}

TEST(EmailOTPFlowState, FreshStateHasNothingAndNeverResends) {
    const EmailOTPFlowState s;
    EXPECT_EQ(s.phase(), EmailOTPPhase::emailEntry);
    EXPECT_EQ(s.email(), "");
    EXPECT_FALSE(s.challengeID() || s.resendAvailableAt() || s.expiresAt() || s.message());
    EXPECT_FALSE(s.hasSession());
    for (auto at : {Timestamp::min(), T, Timestamp::max()}) EXPECT_FALSE(s.canResend(at));
}

TEST(EmailOTPFlowState, BeginRequestNormalisesTheAddressAndClearsTheMessage) {
    auto s = withChallenge();
    s.failRequest("network down");
    s.beginRequest(" \t ÜSER@Example.COM\n");
    EXPECT_EQ(s.email(), "üser@example.com");
    EXPECT_EQ(s.phase(), EmailOTPPhase::requestingCode);
    EXPECT_EQ(s.message(), std::nullopt);
    // The earlier challenge stays until the next one arrives.
    EXPECT_EQ(s.challengeID(), "ch-1");
    EXPECT_EQ(s.expiresAt(), T + seconds{600});
}

TEST(EmailOTPFlowState, ReceiveClampsAndSaturatesSecondCounts) {
    struct Case {
        std::int64_t expiresIn, resendAfter;
        seconds expiresAfter, resendAfterT;
    };
    for (const auto& c : {Case{600, 60, seconds{600}, seconds{60}}, Case{600, -5, seconds{600}, seconds{0}},
                          Case{-1, 0, seconds{0}, seconds{0}}, Case{int64Min, int64Min, seconds{0}, seconds{0}}}) {
        auto s = withChallenge(c.expiresIn, c.resendAfter);
        EXPECT_EQ(s.phase(), EmailOTPPhase::codeEntry);
        EXPECT_EQ(s.expiresAt(), T + c.expiresAfter) << c.expiresIn;
        EXPECT_EQ(s.resendAvailableAt(), T + c.resendAfterT) << c.resendAfter;
    }

    // A count far beyond any representable instant means "not before the end of time", not a
    // wrapped-around instant in the past.
    auto huge = withChallenge(int64Max, int64Max);
    EXPECT_GT(*huge.expiresAt(), T + std::chrono::hours{24 * 365 * 1000});
    EXPECT_FALSE(huge.canResend(T + std::chrono::hours{24 * 365 * 1000}));
    EXPECT_TRUE(huge.beginVerification(T + std::chrono::hours{24 * 365 * 1000}));

    EmailOTPFlowState nearEnd;
    nearEnd.receive({"ch", 600, 60}, Timestamp::max() - seconds{1});
    EXPECT_EQ(nearEnd.expiresAt(), Timestamp::max());
}

TEST(EmailOTPFlowState, CanResendFromTheResendInstantOutsideRunningCalls) {
    struct Case {
        const char* name;
        void (*setUp)(EmailOTPFlowState&);
        seconds at;
        bool expected;
    };
    const Case cases[] = {
        {"codeEntry, one second early", [](EmailOTPFlowState&) {}, seconds{59}, false},
        {"codeEntry, at the instant", [](EmailOTPFlowState&) {}, seconds{60}, true},
        {"requesting", [](EmailOTPFlowState& s) { s.beginRequest("a@b.cd"); }, seconds{1000}, false},
        {"verifying", [](EmailOTPFlowState& s) { s.beginVerification(T); }, seconds{1000}, false},
        {"emailEntry after failure", [](EmailOTPFlowState& s) { s.failRequest("x"); }, seconds{60}, true},
        {"expired", [](EmailOTPFlowState& s) { s.restore(T + seconds{600}); }, seconds{600}, true},
        {"authenticated", [](EmailOTPFlowState& s) { s.markAuthenticated(); }, seconds{1000}, false},
    };
    for (const auto& c : cases) {
        auto s = withChallenge();
        c.setUp(s);
        EXPECT_EQ(s.canResend(T + c.at), c.expected) << c.name;
    }
}

TEST(EmailOTPFlowState, VerificationNeedsAChallengeStrictlyBeforeExpiry) {
    auto early = withChallenge();
    EXPECT_TRUE(early.beginVerification(T + seconds{599}));
    EXPECT_EQ(early.phase(), EmailOTPPhase::verifyingCode);

    const auto expectExpired = [](EmailOTPFlowState s, Timestamp at, const char* name) {
        const auto before = s;
        EXPECT_FALSE(s.beginVerification(at)) << name;
        EXPECT_EQ(s.phase(), EmailOTPPhase::expired) << name;
        EXPECT_EQ(s.message(), std::string(EmailOTPFlowState::expiryMessage)) << name;
        EXPECT_EQ(s.challengeID(), before.challengeID()) << name;
        EXPECT_EQ(s.expiresAt(), before.expiresAt()) << name;
    };
    expectExpired(withChallenge(), T + seconds{600}, "at the expiry instant");
    expectExpired(EmailOTPFlowState(), T, "no challenge");
    auto authenticated = withChallenge();
    authenticated.markAuthenticated();
    expectExpired(authenticated, T, "after authentication the challenge is gone");
}

TEST(EmailOTPFlowState, FailuresShowTheMessageAndKeepTheChallenge) {
    auto s = withChallenge();
    ASSERT_TRUE(s.beginVerification(T + seconds{10}));
    s.failVerification("Неверный код");
    EXPECT_EQ(s.phase(), EmailOTPPhase::codeEntry);
    EXPECT_EQ(s.message(), "Неверный код");
    EXPECT_EQ(s.challengeID(), "ch-1");
    EXPECT_EQ(s.expiresAt(), T + seconds{600});
    EXPECT_EQ(s.resendAvailableAt(), T + seconds{60});
    EXPECT_TRUE(s.beginVerification(T + seconds{20}));  // the same challenge may be retried

    s.failRequest("");
    EXPECT_EQ(s.phase(), EmailOTPPhase::emailEntry);
    EXPECT_EQ(s.message(), "");  // stored as given, even when empty
}

TEST(EmailOTPFlowState, RestoreExpiresOnlyAtOrAfterTheExpiryAndNeverLeavesAuthenticated) {
    auto before = withChallenge();
    before.restore(T + seconds{599});
    EXPECT_EQ(before, withChallenge());

    auto after = withChallenge();
    after.restore(T + seconds{600});
    EXPECT_EQ(after.phase(), EmailOTPPhase::expired);
    EXPECT_EQ(after.message(), "Срок действия кода истёк. Запросите новый.");
    EXPECT_EQ(after.challengeID(), "ch-1");
    EXPECT_EQ(after.expiresAt(), T + seconds{600});

    auto authenticated = withChallenge();
    authenticated.markAuthenticated();
    const auto snapshot = authenticated;
    authenticated.restore(Timestamp::max());
    EXPECT_EQ(authenticated, snapshot);

    EmailOTPFlowState fresh;
    fresh.restore(Timestamp::max());
    EXPECT_EQ(fresh, EmailOTPFlowState());
}

TEST(EmailOTPFlowState, MarkAuthenticatedKeepsOnlyTheEmailAndCancelForgetsEverything) {
    auto s = withChallenge();
    s.beginVerification(T + seconds{700});
    s.failVerification("x");
    s.markAuthenticated();
    EXPECT_TRUE(s.hasSession());
    EXPECT_EQ(s.email(), "user@example.com");
    EXPECT_FALSE(s.challengeID() || s.resendAvailableAt() || s.expiresAt() || s.message());
    s.cancel();
    EXPECT_EQ(s, EmailOTPFlowState());
    auto t = withChallenge();
    t.cancel();
    EXPECT_EQ(t, EmailOTPFlowState());
}

TEST(EmailValidator, AcceptsAndRejects) {
    struct Case {
        const char* email;
        bool valid;
    };
    const Case cases[] = {
        {"user@example.com", true},
        {"USER@EXAMPLE.COM", true},
        {"first.last+tag_1%x-y@sub-domain.example.co", true},
        {"a@b.c.de", true},
        {"a@..de", true},  // "." belongs to the domain class, so a leading dot there still matches
        // The shapes of plain ASCII addresses are compared with the regular expression below.
        {"", false},
        {" a@b.de", false},
        {"a@b.de ", false},
        {"a@b.de\n", false},  // a trailing line break is never accepted
        {"a@b.de\r\n", false},
        {"пользователь@пример.рф", false},
        {"a@b.рф", false},
        {"\xE2\x84\xAA@b.de", false},  // KELVIN SIGN case-folds to "k" in Unicode, not here
    };
    for (const auto& c : cases) EXPECT_EQ(EmailValidator::isValid(c.email), c.valid) << c.email;
    EXPECT_FALSE(EmailValidator::isValid(std::string_view("a@b.de\0", 7)));
}

// The hand-written matcher must agree with the regular expression it replaces on every ASCII
// input: exhaustively over short strings from a telling alphabet, then on random longer ones.
TEST(EmailValidator, AgreesWithTheRegularExpressionOnASCII) {
    const std::regex pattern(R"(^[A-Z0-9._%+-]+@[A-Z0-9.-]+\.[A-Z]{2,}$)", std::regex::ECMAScript | std::regex::icase);
    const auto check = [&](const std::string& s) {
        ASSERT_EQ(EmailValidator::isValid(s), std::regex_search(s, pattern)) << '"' << s << '"';
    };

    const std::string alphabet = "aZ1.@-";
    std::vector<std::string> level{""};
    for (int length = 0; length <= 6; ++length) {
        std::vector<std::string> next;
        for (const auto& s : level) {
            check(s);
            if (length < 6) {
                for (char c : alphabet) next.push_back(s + c);
            }
        }
        level = std::move(next);
    }

    // Random addresses built near the valid shape, half of them with one character replaced.
    std::mt19937 random(20240501);
    const auto draw = [&](std::string_view from, int min, int max) {
        std::string out;
        for (auto n = std::uniform_int_distribution<int>(min, max)(random); n > 0; --n) {
            out += from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
        }
        return out;
    };
    const std::string anything = "abyzABYZ09._%+-@.!# \t\n=";
    int matches = 0;
    for (int i = 0; i < 20000; ++i) {
        auto s = draw("aZ09._%+-", 0, 4) + "@" + draw("aZ09.-", 0, 5) + "." + draw("aZzA1", 0, 3);
        if (i % 2 == 1) s[std::uniform_int_distribution<std::size_t>(0, s.size() - 1)(random)] = draw(anything, 1, 1)[0];
        check(s);
        matches += EmailValidator::isValid(s) ? 1 : 0;
    }
    EXPECT_GT(matches, 2000);  // the sample reaches both answers
}

}  // namespace
}  // namespace tarn
