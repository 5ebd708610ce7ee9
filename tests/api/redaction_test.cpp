#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/text/redaction.hpp"

#include "scripted_session.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace tarn {
namespace {

using testing::MemoryTokenStore;
using testing::respond;
using testing::failure;
using testing::ScriptedSession;
using testing::sync;

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const DecodingError& e) {
        return std::string(e.what()) + "\n" + e.debugDescription();
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(Redactor, ReplacesKnownSecretsAndCredentialShapedValues) {
    const struct {
        const char* name;
        std::vector<std::string> secrets;
        std::string text;
        std::string scrubbed;
    } cases[] = {
        {"every occurrence", {"s3cret"}, "a s3cret and s3cret", "a <redacted> and <redacted>"},
        {"longer secret first", {"abc", "abcdef"}, "xabcdefx abc", "x<redacted>x <redacted>"},
        {"empty secret ignored", {""}, "plain", "plain"},
        {"json members", {}, R"({"password":"hunter2","refresh_token": "r1","token_type":null})",
         R"({"password":"<redacted>","refresh_token": "<redacted>","token_type":null})"},
        {"escaped quote inside", {}, R"({"secret":"a\"b","x":1})", R"({"secret":"<redacted>","x":1})"},
        {"form and header", {}, "password=p1&user=u\nX-Tarn-Auth-Session-Secret: s1\nAuthorization: Bearer t1",
         "password=<redacted>&user=u\nX-Tarn-Auth-Session-Secret: <redacted>\nAuthorization: Bearer <redacted>"},
        {"bearer anywhere", {}, "sent bearer abc.def-ghi", "sent bearer <redacted>"},
        {"e-mail addresses", {}, "for Jane.Doe+vpn@mail.example.org.", "for <redacted>."},
        {"not addresses", {}, "user@localhost, @handle, a@b.", "user@localhost, @handle, a@b."},
        {"nested values kept", {}, R"({"token":{"id":1}})", R"({"token":{"id":1}})"},
        {"words about tokens kept", {}, "token expired; password too short", "token expired; password too short"},
    };
    for (const auto& c : cases) {
        Redactor r;
        for (const auto& s : c.secrets) r.add(s);
        EXPECT_EQ(r.scrub(c.text), c.scrubbed) << c.name;
    }
}

TEST(Redactor, SummaryRedactsBeforeCuttingAndEscapesControls) {
    const std::string secret = "0123456789abcdef";
    // The secret straddles the cut: redacting after cutting would leave its first half.
    std::string text = std::string(150, '.') + secret;
    EXPECT_EQ(summarizing(text, Redactor().add(secret), 160), std::string(150, '.') + "<redacted>");
    EXPECT_EQ(summarizing("\xe2\x80\xae" "evil\x7f\xc2\x9b" "2J\xff", {}, 100), "\\u{202E}evil\\u{007F}\\u{009B}2J\xef\xbf\xbd");
    EXPECT_EQ(summarizing("ééé", {}, 3), "é…");
}

// Every secret a call knows stays out of the text of every error it raises, whatever the
// backend echoes and however the answer fails.
TEST(Redaction, ErrorTextsOfACallNeverShowItsSecrets) {
    const AuthTokens stored{"stored-access-0123456789", "stored-refresh-0123456789"};
    const std::string password = "pass-word-0123456789";
    const std::string sessionID = std::string(24, 'i');
    const std::string sessionSecret = "SessionSecret_0123456789abcdef";
    const std::string echo = " " + stored.accessToken + " " + stored.refreshToken + " " + password + " " + sessionSecret;
    auto withStored = [&](std::vector<std::string> own) {
        own.push_back(stored.accessToken);
        own.push_back(stored.refreshToken);
        return own;
    };

    struct Answer {
        const char* name;
        std::function<HttpResponse(const HttpRequest&)> reply;
    };
    const Answer answers[] = {
        {"500 echoing the secrets", [&](const HttpRequest&) { return respond(500, "{\"detail\":\"" + echo + "\"}"); }},
        {"422 echoing the request",
         [&](const HttpRequest& r) {
             std::string headers;
             for (const auto& [name, value] : r.headers) headers += name + ": " + value + "\n";
             return respond(422, headers + r.body.value_or(""));
         }},
        {"200 with a bad enumeration value",
         [&](const HttpRequest&) {
             return respond(200, R"({"status":")" + echo + R"(","subscription_status":")" + echo + R"("})");
         }},
    };
    struct Call {
        const char* name;
        std::function<std::exception_ptr(APIClient&)> run;
        std::vector<std::string> secrets;  // what this call knows: the stored pair and its own
    };
    const Call calls[] = {
        {"login", [&](APIClient& c) { return failure(c.login("a@b.test", password)); }, withStored({password})},
        {"register", [&](APIClient& c) { return failure(c.registerAccount("a@b.test", password, {}, true, true)); },
         withStored({password})},
        {"me", [&](APIClient& c) { return failure(c.me()); }, withStored({})},
        {"telegram status", [&](APIClient& c) { return failure(c.telegramSessionStatus(sessionID, sessionSecret)); },
         withStored({sessionSecret})},
        {"telegram verify",
         [&](APIClient& c) { return failure(c.verifyTelegramSession(sessionID, sessionSecret, "123456")); },
         withStored({sessionSecret})},
    };
    for (const auto& answer : answers) {
        for (const auto& call : calls) {
            auto session = std::make_shared<ScriptedSession>(sync(answer.reply));
            APIClient client(*URL::parse("https://api.tarn.test"), session, std::make_shared<MemoryTokenStore>(stored));
            std::exception_ptr error = call.run(client);
            ASSERT_TRUE(error) << answer.name << " / " << call.name;
            std::string text = errorText(error);
            for (const auto& s : call.secrets) {
                EXPECT_EQ(text.find(s), std::string::npos) << answer.name << " / " << call.name << ": " << text;
            }
        }
    }
}

TEST(Redaction, TelegramDescriptionsHideTheSecretInEveryMember) {
    const std::string secret = "SessionSecret_0123456789abcdef";
    TelegramAuthSession session{2, {"id-" + secret, secret},
                                *URL::parse("https://t.me/tarn_bot?start=" + secret), Timestamp{}};
    const std::string text = session.description();
    EXPECT_EQ(text.find(secret), std::string::npos) << text;
    EXPECT_NE(text.find("deeplink: https://t.me/tarn_bot?start=<redacted>"), std::string::npos) << text;
    EXPECT_NE(text.find("id: id-<redacted>"), std::string::npos) << text;
}

}  // namespace
}  // namespace tarn
