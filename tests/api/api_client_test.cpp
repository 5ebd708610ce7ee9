// The request pipeline and every endpoint operation against a scripted session that records what
// is sent: URLs, methods, headers, bodies, and what happens to the token store on each 401 path.
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/json/json.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tarn {
namespace {

using testing::MemoryTokenStore;
using testing::respond;
using testing::as;
using testing::failure;
using testing::run;
using testing::ScriptedSession;
using testing::sync;

using testing::authJSON;
using testing::kUserJSON;

const AuthTokens kOld{"old-access", "old-refresh"};
const AuthTokens kNew{"new-access", "new-refresh"};

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A backend in miniature: `me` answers 200 to the new token and 401 to anything else; the refresh
// answers with `refreshAnswer`.
struct Backend {
    HttpResponse refreshAnswer = respond(200, authJSON(kNew.accessToken, kNew.refreshToken));
    std::function<HttpResponse(const HttpRequest&)> onRepeat;

    HttpResponse operator()(const HttpRequest& r) const {
        if (endsWith(r.url, "/auth/refresh")) return refreshAnswer;
        if (r.header("Authorization") == "Bearer " + kNew.accessToken) {
            return onRepeat ? onRepeat(r) : respond(200, kUserJSON);
        }
        return respond(401, R"({"detail":"expired"})");
    }
};

struct Fixture {
    std::shared_ptr<ScriptedSession> session;
    std::shared_ptr<MemoryTokenStore> store;
    APIClient client;

    explicit Fixture(ScriptedSession::Handler h, std::optional<AuthTokens> tokens = kOld)
        : session(std::make_shared<ScriptedSession>(std::move(h))),
          store(std::make_shared<MemoryTokenStore>(std::move(tokens))),
          client(*URL::parse("https://api.tarn.test/v1"), session, store) {}
};

// ---------------------------------------------------------------------------------------------
// Building requests

// Credentials must neither ride in the URL nor cross a network unencrypted: such base URLs are
// refused when the client is built, before anything can be sent.
TEST(RequestBuilding, BaseURLsThatWouldExposeCredentialsAreRefused) {
    struct Row {
        const char* base;
        bool accepted;
        bool acceptedWithPlainHTTP;
    };
    const Row rows[] = {
        {"https://api.tarn.test/v1", true, true},
        {"HTTPS://api.tarn.test", true, true},
        {"http://127.0.0.1:8787", true, true},
        {"http://127.9.9.9", true, true},
        {"http://[::1]:8080/v1", true, true},
        {"http://[::ffff:127.0.0.1]", true, true},
        {"http://LocalHost:1/", true, true},
        {"http://api.localhost", true, true},
        {"http://api.tarn.test", false, true},
        {"http://128.0.0.1", false, true},
        {"http://localhost.tarn.test", false, true},
        {"http://[::2]", false, true},
        {"https://user:pw@api.tarn.test", false, false},
        {"https://user@api.tarn.test", false, false},
        {"https://@api.tarn.test", false, false},
        {"http://user:pw@127.0.0.1", false, false},
        {"ftp://api.tarn.test", false, false},
        {"file:///etc/passwd", false, false},
        {"/v1", false, false},
    };
    auto session = std::make_shared<ScriptedSession>(sync([](const HttpRequest&) { return respond(200); }));
    for (const auto& row : rows) {
        auto url = *URL::parse(row.base);
        for (bool plain : {false, true}) {
            const bool expected = plain ? row.acceptedWithPlainHTTP : row.accepted;
            EXPECT_EQ(APIClient::isUsableBaseURL(url, {.allowPlainHTTP = plain}), expected) << row.base << plain;
            try {
                APIClient client(url, session, nullptr, {.allowPlainHTTP = plain});
                EXPECT_TRUE(expected) << row.base << " was accepted";
            } catch (const APIError& e) {
                EXPECT_FALSE(expected) << row.base << " was refused";
                EXPECT_EQ(e, APIError::invalidBaseURL());
            }
        }
    }
    EXPECT_TRUE(session->requests().empty());
}

// With an empty store, or none at all, a call goes out without a token and its 401 starts no
// refresh request; an empty store is cleared all the same.
TEST(RequestBuilding, WithoutATokenNothingIsAttachedOrRefreshed) {
    Fixture f(sync([](const HttpRequest&) { return respond(401); }), std::nullopt);
    APIClient storeless(*URL::parse("https://api.tarn.test"), f.session);
    for (const APIClient* client : {&f.client, &storeless}) {
        EXPECT_EQ(as<APIError>(failure(client->me())), APIError::unauthorized());
    }
    ASSERT_EQ(f.session->requests().size(), 2u);
    for (const auto& sent : f.session->requests()) EXPECT_FALSE(sent.header("Authorization"));
    EXPECT_EQ(f.store->clears(), 1);
}

// ---------------------------------------------------------------------------------------------
// The failure table of the pipeline, row by row

// A record that cannot be encoded, or a store that cannot be read, fails the call before sending.
TEST(PipelineFailures, FailuresBeforeSendingSendNothing) {
    Fixture f(sync([](const HttpRequest&) { return respond(200, kUserJSON); }));
    EXPECT_TRUE(as<EncodingError>(failure(f.client.syncUser(UserSyncRequest{"dev\xff", "macos", "1.0", {}, {}, {}, {}}))));
    f.store->failLoad(std::make_exception_ptr(std::runtime_error("keychain locked")));
    EXPECT_EQ(std::string(as<std::runtime_error>(failure(f.client.me()))->what()), "keychain locked");
    EXPECT_TRUE(f.session->requests().empty());
}

TEST(PipelineFailures, TransportErrorPassesUnchanged) {
    Fixture f([](const HttpRequest&) -> asio::awaitable<HttpResponse> {
        throw TransportError(TransportError::Code::cannotConnect, "connection refused", 7);
        co_return respond(200);
    });
    auto e = as<TransportError>(failure(f.client.me()));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), TransportError::Code::cannotConnect);
    EXPECT_EQ(e->curlCode(), 7);
    EXPECT_EQ(f.store->tokens(), kOld);
}

struct RefreshRow {
    const char* name;
    HttpResponse refreshAnswer;
    bool repeatUnauthorized;
    std::optional<APIError> expected;  // nullopt: success
    std::optional<AuthTokens> storeAfter;
    std::size_t requests;
    int cacheClears;  // a refused pair's stored answers are forgotten with it
};

class RefreshPaths : public ::testing::TestWithParam<RefreshRow> {};

TEST_P(RefreshPaths, StoreAndOutcome) {
    const auto& row = GetParam();
    Backend backend;
    backend.refreshAnswer = row.refreshAnswer;
    if (row.repeatUnauthorized) backend.onRepeat = [](const HttpRequest&) { return respond(401); };
    Fixture f(sync(backend));
    auto error = failure(f.client.me());
    if (row.expected) {
        EXPECT_EQ(as<APIError>(error), *row.expected);
    } else {
        EXPECT_FALSE(error);
    }
    EXPECT_EQ(f.store->tokens(), row.storeAfter);
    EXPECT_EQ(f.session->requests().size(), row.requests);
    EXPECT_EQ(f.session->count("/auth/refresh"), 1u);
    EXPECT_EQ(f.session->cacheClears, row.cacheClears);
    // The refresh names the stored refresh token and carries no bearer; a repeat uses the new one.
    const auto refresh = f.session->requests().at(1);
    EXPECT_EQ(refresh.method, "POST");
    EXPECT_EQ(refresh.body, R"({"refresh_token":"old-refresh"})");
    EXPECT_FALSE(refresh.header("Authorization"));
    if (row.requests == 3) {
        EXPECT_EQ(f.session->requests().at(2).header("Authorization"), "Bearer new-access");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefreshPaths,
    ::testing::Values(
        RefreshRow{"refresh_ok_repeat_ok", respond(200, authJSON("new-access", "new-refresh")), false, std::nullopt, kNew, 3, 0},
        RefreshRow{"refresh_401_clears", respond(401), false, APIError::unauthorized(), std::nullopt, 2, 1},
        RefreshRow{"refresh_500_keeps", respond(500, "boom"), false, APIError::server(500, "boom"), kOld, 2, 0},
        RefreshRow{"repeat_401_clears", respond(200, authJSON("new-access", "new-refresh")), true, APIError::unauthorized(), std::nullopt, 3, 1}),
    [](const auto& p) { return p.param.name; });

// A session that followed a redirect reports the URL that answered. A 401 from another origin
// than the backend's says nothing about our tokens: no refresh, no clear, just a server error.
TEST(PipelineFailures, UnauthorizedFromAnotherOriginIsNoVerdictOnTheTokens) {
    struct Row {
        const char* answeredBy;
        bool onRepeat;  // the first answer is the backend's 401, the repeat's comes from answeredBy
        bool refreshes;
    };
    const Row rows[] = {
        {"https://elsewhere.test/me", false, false},
        {"https://api.tarn.test:8443/v1/me", false, false},
        {"http://api.tarn.test/v1/me", false, false},
        {"https://API.tarn.test/v2/me", false, true},  // moved within the backend: its own verdict
        {"https://elsewhere.test/me", true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.answeredBy) + (row.onRepeat ? " on the repeat" : ""));
        auto foreign401 = [&](const HttpRequest&) {
            HttpResponse r = respond(401, "who are you");
            r.url = row.answeredBy;
            return r;
        };
        Backend backend;
        if (row.onRepeat) backend.onRepeat = foreign401;
        Fixture f(sync([&](const HttpRequest& r) { return row.onRepeat || endsWith(r.url, "/auth/refresh") ? backend(r) : foreign401(r); }));
        auto error = failure(f.client.me());
        if (row.refreshes && !row.onRepeat) {
            EXPECT_EQ(as<APIError>(error), APIError::unauthorized());
            continue;
        }
        EXPECT_EQ(as<APIError>(error), APIError::server(401, "who are you"));
        EXPECT_EQ(f.session->count("/auth/refresh"), row.refreshes ? 1u : 0u);
        EXPECT_EQ(f.store->tokens(), row.refreshes ? kNew : kOld);
        EXPECT_EQ(f.store->clears(), 0);
    }
}

TEST(PipelineFailures, RefreshUndecodableAnswerPassesTheDecodingError) {
    Backend backend;
    backend.refreshAnswer = respond(200, "{}");
    Fixture f(sync(backend));
    EXPECT_EQ(as<DecodingError>(failure(f.client.me()))->kind(), DecodingError::Kind::keyNotFound);
}

TEST(PipelineFailures, RefreshNetworkFailureKeepsTokensAndTheGateRecovers) {
    bool networkDown = true;
    Backend backend;
    Fixture f([&](const HttpRequest& r) -> asio::awaitable<HttpResponse> {
        if (endsWith(r.url, "/auth/refresh") && networkDown) {
            throw TransportError(TransportError::Code::cannotConnect, "down");
        }
        co_return backend(r);
    });
    EXPECT_EQ(as<TransportError>(failure(f.client.me()))->code(), TransportError::Code::cannotConnect);
    EXPECT_EQ(f.store->tokens(), kOld);
    networkDown = false;  // the gate is idle again: the next 401 refreshes anew
    EXPECT_EQ(run(f.client.me()).id, "u1");
    EXPECT_EQ(f.session->count("/auth/refresh"), 2u);
}

// Another process sharing the store changes it while this call is on its 401 path: when the
// call's first answer arrives, or while its refresh is on the wire. A pair stored meanwhile is
// used and never overwritten or wiped; a store emptied meanwhile (a sign-out) stays empty.
struct StoreChangeRow {
    const char* name;
    bool duringRefresh;                   // otherwise as the first answer arrives
    bool pairStoredMeanwhile;             // otherwise the store is emptied
    HttpResponse refreshAnswer;
    bool succeeds;
    std::size_t refreshes;
};

class StoreChangedElsewhere : public ::testing::TestWithParam<StoreChangeRow> {};

TEST_P(StoreChangedElsewhere, TheOtherProcessesPairWins) {
    const auto& row = GetParam();
    const AuthTokens other{"other-access", "other-refresh"};
    std::shared_ptr<MemoryTokenStore> store;
    Fixture f(sync([&](const HttpRequest& r) {
        bool refresh = endsWith(r.url, "/auth/refresh");
        if (refresh == row.duringRefresh && r.header("Authorization") != "Bearer other-access") {
            store->set(row.pairStoredMeanwhile ? std::optional(other) : std::nullopt);
        }
        if (refresh) return row.refreshAnswer;
        return r.header("Authorization") == "Bearer other-access" ? respond(200, kUserJSON) : respond(401);
    }));
    store = f.store;
    auto error = failure(f.client.me());
    if (row.succeeds) {
        EXPECT_FALSE(error);
    } else {
        EXPECT_EQ(as<APIError>(error), APIError::unauthorized());
    }
    EXPECT_EQ(f.store->tokens(), row.pairStoredMeanwhile ? std::optional(other) : std::nullopt);
    EXPECT_EQ(f.session->count("/auth/refresh"), row.refreshes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoreChangedElsewhere,
    ::testing::Values(
        StoreChangeRow{"renewed_before_the_refresh", false, true, respond(200, authJSON("new-access", "new-refresh")), true, 0},
        StoreChangeRow{"signed_out_before_the_refresh", false, false, respond(200, authJSON("new-access", "new-refresh")), false, 0},
        StoreChangeRow{"signed_in_during_the_refresh", true, true, respond(200, authJSON("new-access", "new-refresh")), true, 1},
        StoreChangeRow{"signed_out_during_the_refresh", true, false, respond(200, authJSON("new-access", "new-refresh")), false, 1},
        StoreChangeRow{"refused_refresh_keeps_a_newer_pair", true, true, respond(401), false, 1}),
    [](const auto& p) { return p.param.name; });

struct StatusRow {
    const char* name;
    HttpResponse answer;
    std::optional<APIError> expected;
};

class StatusMapping : public ::testing::TestWithParam<StatusRow> {};

TEST_P(StatusMapping, MapsToResultOrServerError) {
    Fixture f(sync([answer = GetParam().answer](const HttpRequest&) { return answer; }));
    auto error = failure(f.client.recordAppEvent(AppEventPayload{"e", "d", Timestamp{}, "1", "p", {}, {}, {}, {}, {}, {}, {}}));
    if (GetParam().expected) {
        EXPECT_EQ(as<APIError>(error), *GetParam().expected);
    } else {
        EXPECT_FALSE(error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatusMapping,
    ::testing::Values(StatusRow{"no_content", respond(204), std::nullopt},
                      StatusRow{"accepted_with_json", respond(202, R"({"status":"queued"})"), std::nullopt},
                      StatusRow{"edge_299", respond(299, "null"), std::nullopt},
                      StatusRow{"redirect_300", respond(300, "x"), APIError::server(300, "x")},
                      StatusRow{"device_limit", respond(409, R"({"detail":"device limit"})"), APIError::server(409, R"({"detail":"device limit"})")},
                      StatusRow{"not_utf8", respond(500, "\xff\xfe"), APIError::server(500, "")},
                      StatusRow{"info_199", respond(199, ""), APIError::server(199, "")},
                      StatusRow{"not_http", [] {
                                    HttpResponse r = respond(200);
                                    r.isHTTP = false;
                                    return r;
                                }(), APIError::invalidResponse()}),
    [](const auto& p) { return p.param.name; });

TEST(StatusMapping, EmptySuccessBodyOnlyWorksForEmptyBody) {
    Fixture f(sync([](const HttpRequest&) { return respond(200, ""); }));
    EXPECT_NO_THROW(run(f.client.revokeVPN("d")));
    EXPECT_EQ(as<DecodingError>(failure(f.client.me()))->kind(), DecodingError::Kind::dataCorrupted);
    EXPECT_THROW(run(f.client.servers()), DecodingError);
}

// ---------------------------------------------------------------------------------------------
// Every operation: method, path, body, authorization

struct OperationRow {
    const char* name;
    std::function<asio::awaitable<void>(const APIClient&)> call;
    std::string method;
    std::string path;
    std::optional<std::string> body;
    bool authorized;
    std::string answer;
};

template <class T>
std::function<asio::awaitable<void>(const APIClient&)> op(std::function<asio::awaitable<T>(const APIClient&)> f) {
    return [f](const APIClient& c) -> asio::awaitable<void> {
        if constexpr (std::is_void_v<T>) {
            co_await f(c);
        } else {
            (void)co_await f(c);
        }
    };
}

const Timestamp kNoon = Timestamp(std::chrono::sys_days(std::chrono::year{2024} / 5 / 1) + std::chrono::hours(12));
const std::string kID = "AbCdEfGhIjKlMnOpQrSt_-12";
const std::string kSecret = "secret-secret-secret-secret";

std::vector<OperationRow> operations() {
    PushTokenRequest push{"macos", std::nullopt, "tok", "production", "d", "1.0", std::nullopt, std::nullopt};
    const std::string pushJSON = R"({"platform":"macos","token":"tok","environment":"production","device_id":"d","app_version":"1.0"})";
    AppEventPayload event{"launch", "d", kNoon, "1.0", "macos", {}, {}, {}, {}, {}, {}, {}};
    const std::string eventJSON = R"({"event_name":"launch","device_id":"d","event_time":"2024-05-01T12:00:00Z","app_version":"1.0","platform":"macos"})";
    const std::string sync = R"({"user":)" + kUserJSON + R"(,"bot_sync":{"status":"linked"}})";
    const std::string devices = R"({"devices":[],"used":0,"limit":3,"available":3,"subscription_active":true})";
    return {
        {"login", op<AuthResponse>([](auto& c) { return c.login("e@x.io", "pw"); }), "POST", "auth/login",
         R"({"email":"e@x.io","password":"pw"})", false, authJSON("a", "r")},
        {"register", op<AuthResponse>([](auto& c) { return c.registerAccount("e@x.io", "pw", std::nullopt, true, true); }),
         "POST", "auth/register", R"({"email":"e@x.io","password":"pw","accepted_terms":true,"accepted_personal_data_processing":true})",
         false, authJSON("a", "r")},
        {"request_email_code", op<EmailCodeChallenge>([](auto& c) { return c.requestEmailCode("  Foo@Example.COM\n", "dev-1", "macos"); }),
         "POST", "api/v1/auth/email/request-code", R"({"email":"foo@example.com","platform":"macos","device_public_id":"dev-1"})",
         false, R"({"challenge_id":"ch","expires_in":600,"resend_after":60})"},
        {"verify_email_code", op<AuthResponse>([](auto& c) { return c.verifyEmailCode("ch", "12 34-56", true, false); }),
         "POST", "api/v1/auth/email/verify-code",
         R"({"code":"123456","challenge_id":"ch","accepted_terms":true,"accepted_personal_data_processing":false})", false,
         authJSON("a", "r")},
        {"verify_email_code_without_digits", op<AuthResponse>([](auto& c) { return c.verifyEmailCode("ch", "abc", false, false); }),
         "POST", "api/v1/auth/email/verify-code",
         R"({"code":"","challenge_id":"ch","accepted_terms":false,"accepted_personal_data_processing":false})", false,
         authJSON("a", "r")},
        {"apple", op<AuthResponse>([](auto& c) { return c.loginWithApple("idt", std::nullopt, std::nullopt, "d"); }), "POST",
         "auth/apple", R"({"identity_token":"idt","device_id":"d"})", false, authJSON("a", "r")},
        {"telegram_create", op<TelegramAuthSession>([](auto& c) { return c.createTelegramSession("d"); }), "POST",
         "auth/telegram/session", R"({"device_public_id":"d"})", false,
         R"({"flow_version":2,"session":{"id":"i","secret":"s"},"deeplink":"https://t.me/x","expires":"2024-05-01T12:00:00Z"})"},
        {"telegram_status", op<TelegramSessionStatus>([](auto& c) { return c.telegramSessionStatus(kID, kSecret); }), "GET",
         "auth/telegram/session/" + kID, std::nullopt, false, R"({"status":"pending"})"},
        {"telegram_verify", op<AuthResponse>([](auto& c) { return c.verifyTelegramSession(kID, kSecret, "012345"); }), "POST",
         "auth/telegram/session/" + kID + "/verify", R"({"code":"012345"})", false, authJSON("a", "r")},
        {"oauth_create", op<OAuthAuthSession>([](auto& c) { return c.createOAuthSession(OAuthProvider::google, "d"); }), "POST",
         "auth/oauth/session", R"({"provider":"google","device_id":"d","platform":"ios"})", false,
         R"({"auth_session_id":"o1","authorization_url":"https://accounts.example/o","expires_at":"2024-05-01T12:00:00Z"})"},
        {"oauth_status", op<OAuthSessionStatus>([](auto& c) { return c.oauthSessionStatus("o1"); }), "GET", "auth/oauth/session/o1",
         std::nullopt, false, R"({"status":"pending"})"},
        {"logout", op<void>([](auto& c) { return c.logout(); }), "POST", "auth/logout", R"({"refresh_token":"old-refresh"})", true, ""},
        {"delete_account", op<void>([](auto& c) { return c.deleteAccount("d"); }), "DELETE", "me", R"({"device_id":"d"})", true, ""},
        {"me", op<CRMUser>([](auto& c) { return c.me(); }), "GET", "me", std::nullopt, true, kUserJSON},
        {"sync_user", op<UserSyncResponse>([](auto& c) { return c.syncUser(UserSyncRequest{"d", "macos", "1.0", {}, {}, {}, {}}); }),
         "POST", "users/sync", R"({"device_id":"d","platform":"macos","app_version":"1.0"})", true, sync},
        {"subscription_status", op<CRMUser>([](auto& c) { return c.subscriptionStatus(); }), "GET", "subscription/status",
         std::nullopt, true, kUserJSON},
        {"account_devices", op<AccountDevicesResponse>([](auto& c) { return c.accountDevices(); }), "GET", "devices", std::nullopt,
         true, devices},
        {"remove_device", op<AccountDeviceRemovalResponse>([](auto& c) { return c.removeAccountDevice(42); }), "DELETE",
         "devices/42", std::nullopt, true, R"({"ok":true,)" + devices.substr(1)},
        {"remove_device_negative", op<AccountDeviceRemovalResponse>([](auto& c) { return c.removeAccountDevice(-7); }), "DELETE",
         "devices/-7", std::nullopt, true, R"({"ok":true,)" + devices.substr(1)},
        {"apple_verify",
         op<UserSyncResponse>([](auto& c) {
             return c.verifyAppleTransaction(AppleTransactionPayload{"p", "t", "o", kNoon, {}, "Sandbox", {}, "jws"});
         }),
         "POST", "billing/apple/verify",
         R"({"product_id":"p","transaction_id":"t","original_transaction_id":"o","purchase_date":"2024-05-01T12:00:00Z","environment":"Sandbox","signed_transaction_info":"jws"})",
         true, sync},
        {"catalog", op<BillingCatalog>([](auto& c) { return c.billingCatalog(); }), "GET", "billing/catalog", std::nullopt, true,
         R"({"currency":"RUB","device_limit_options":[],"tariff_groups":[],"payment_methods":[]})"},
        {"checkout",
         op<BillingCheckoutResponse>([](auto& c) { return c.createBillingCheckout(BillingCheckoutRequest{"m1", 3, "card", false, "macos", {}}); }),
         "POST", "billing/checkout",
         R"({"tariff_id":"m1","device_limit":3,"payment_method":"card","recurring_opt_in":false,"platform":"macos"})", true,
         R"({"ok":true,"provider":"p","status":"pending","payment_id":1,"checkout_token":"t","confirmation_url":"https://pay.example/1","amount_rub":300,"devices_limit":3,"promo_code":"","discount_amount_rub":0})"},
        {"servers", op<std::vector<VPNServer>>([](auto& c) { return c.servers(); }), "GET", "vpn/servers", std::nullopt, true, "[]"},
        {"vpn_config", op<VLESSConfig>([](auto& c) { return c.vpnConfig("de-1", "dev-9", "macos"); }), "POST", "vpn/config",
         R"({"server_id":"de-1","device_id":"dev-9","protocol":"vless","platform":"macos"})", true,
         R"({"uri":"vless://x","xray_json":"{}","server_id":"de-1","user_id":"u1","subscription_status":"active","vpn_access_status":"enabled"})"},
        {"revoke", op<void>([](auto& c) { return c.revokeVPN("d"); }), "POST", "vpn/revoke", R"({"device_id":"d"})", true, ""},
        {"event", op<void>([event](auto& c) { return c.recordAppEvent(event); }), "POST", "app/events", eventJSON, true, ""},
        {"anonymous_event", op<void>([event](auto& c) { return c.recordAnonymousAppEvent(event); }), "POST", "app/events/anonymous",
         eventJSON, false, ""},
        {"push_register", op<void>([push](auto& c) { return c.registerPushToken(push); }), "POST", "app/push-token", pushJSON, true, ""},
        {"push_delete", op<void>([push](auto& c) { return c.deletePushToken(push); }), "DELETE", "app/push-token", pushJSON, true, ""},
        {"release", op<IOSAppRelease>([](auto& c) { return c.appRelease(); }), "GET", "app/ios/release", std::nullopt, false,
         R"({"version":"1.2","build":7,"minimum_supported_version":"1.0","install_url":"https://apps.example/tarn"})"},
    };
}

class Operations : public ::testing::TestWithParam<OperationRow> {};

TEST_P(Operations, SendExactlyWhatTheBackendExpects) {
    const auto& row = GetParam();
    Fixture f(sync([answer = row.answer](const HttpRequest&) { return respond(200, answer); }));
    run(row.call(f.client));
    auto sent = f.session->requests().at(0);
    EXPECT_EQ(sent.method, row.method);
    EXPECT_EQ(sent.url, "https://api.tarn.test/v1/" + row.path);
    EXPECT_EQ(sent.body, row.body);
    EXPECT_EQ(sent.timeout, std::chrono::seconds(60));
    EXPECT_EQ(sent.header("Content-Type").has_value(), row.body.has_value());
    EXPECT_EQ(sent.header("Authorization"), row.authorized ? std::optional<std::string>("Bearer old-access") : std::nullopt);
    EXPECT_EQ(sent.header("Accept"), "application/json");
    EXPECT_EQ(sent.header("User-Agent"), APIClientOptions::defaultUserAgent());
    for (const auto& [name, value] : sent.headers) {
        EXPECT_TRUE(name == "Accept" || name == "User-Agent" || name == "Authorization" || name == "Content-Type" ||
                    name == "Cache-Control" || name.starts_with("X-Tarn-Auth-Session-Secret"))
            << "nothing else is sent: " << name;
    }
    // Session creation announces the flow version; the session secret travels only in its header.
    if (row.path == "auth/telegram/session") {
        EXPECT_EQ(sent.header("X-Tarn-Auth-Session-Secret-Version"), "2");
    }
    if (row.path.find("telegram/session/") != std::string::npos) {
        EXPECT_EQ(sent.header("X-Tarn-Auth-Session-Secret"), kSecret);
        EXPECT_EQ(sent.url.find(kSecret), std::string::npos);
        EXPECT_EQ(sent.body.value_or("").find(kSecret), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(All, Operations, ::testing::ValuesIn(operations()), [](const auto& p) { return p.param.name; });

TEST(Operations, MalformedTelegramInputFailsBeforeAnythingIsSent) {
    Fixture f(sync([](const HttpRequest&) { return respond(200, R"({"status":"pending"})"); }));
    std::string id19(19, 'a');
    EXPECT_EQ(as<APIError>(failure(f.client.telegramSessionStatus(id19, kSecret))), APIError::invalidResponse());
    EXPECT_EQ(as<APIError>(failure(f.client.telegramSessionStatus(kID + ".", kSecret))), APIError::invalidResponse());
    EXPECT_EQ(as<APIError>(failure(f.client.telegramSessionStatus(kID, "short"))), APIError::invalidResponse());
    EXPECT_EQ(as<APIError>(failure(f.client.verifyTelegramSession(kID, kSecret, "12345"))), APIError::invalidResponse());
    EXPECT_EQ(as<APIError>(failure(f.client.verifyTelegramSession(kID, kSecret, " 123456"))), APIError::invalidResponse());
    EXPECT_TRUE(f.session->requests().empty());
}

// ---------------------------------------------------------------------------------------------
// Token store effects

TEST(TokenStoreEffects, SignInsSaveThePairAndSessionPollsDoNot) {
    Fixture f(sync([](const HttpRequest& r) {
        if (endsWith(r.url, "/auth/oauth/session/o1")) return respond(200, R"({"status":"confirmed","auth":)" + authJSON("oa", "or") + "}");
        return respond(200, authJSON("a2", "r2"));
    }), std::nullopt);
    auto answer = run(f.client.login("e", "p"));
    EXPECT_EQ(answer.user.id, "u1");
    EXPECT_EQ(f.store->tokens(), (AuthTokens{"a2", "r2"}));
    EXPECT_EQ(f.session->cacheClears, 1) << "another account may have signed in";
    f.store->set(std::nullopt);
    run(f.client.verifyTelegramSession(kID, kSecret, "123456"));
    auto status = run(f.client.oauthSessionStatus("o1"));
    EXPECT_EQ(status.auth->accessToken, "oa");
    EXPECT_EQ(f.session->requests().back().header("Cache-Control"), "no-store") << "no cache may keep a token pair";
    EXPECT_EQ(f.store->tokens(), std::nullopt);
    EXPECT_EQ(f.session->cacheClears, 3) << "the caller stores the pairs of both polls next";
}

// An answer that cannot be decoded may echo what the call sent: that is taken out of the text the
// error quotes, and only there, so a password that is one of the decoder's words stays hidden.
TEST(PipelineFailures, ADecodingErrorHidesAnEchoedPasswordAndNeverTheDecodersOwnWords) {
    struct Case {
        const char* password;
        std::string status;  // the answer's subscription_status
        std::string description;
    };
    const Case cases[] = {
        {"hunter2-long", "hunter2-long", "Cannot initialize enumeration from invalid String value <redacted>"},
        {"enumeration", "bogus", "Cannot initialize enumeration from invalid String value bogus"},
        {"invalid", "invalid", "Cannot initialize enumeration from invalid String value <redacted>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.password);
        std::string answer = authJSON("a", "r");
        answer.replace(answer.find("\"active\""), 8, "\"" + c.status + "\"");
        Fixture f(sync([&](const HttpRequest&) { return respond(200, answer); }));
        auto error = as<DecodingError>(failure(f.client.login("e@x.io", c.password)));
        EXPECT_EQ(error->debugDescription(), c.description);
    }
}

// Tokens are sent in a header (the access token) or kept for that; one with a line break, NUL or
// another control character would be stored and then break every later call. Such an answer is
// refused before anything is stored, by every operation that yields tokens.
TEST(TokenStoreEffects, TokensThatCannotTravelInAHeaderAreRefusedAndNothingIsStored) {
    using Operation = std::function<std::exception_ptr(const APIClient&)>;
    const std::pair<const char*, Operation> operations[] = {
        {"login", [](const APIClient& c) { return failure(c.login("e", "p")); }},
        {"register", [](const APIClient& c) { return failure(c.registerAccount("e", "p", {}, true, true)); }},
        {"verifyEmailCode", [](const APIClient& c) { return failure(c.verifyEmailCode("ch", "123456", true, true)); }},
        {"loginWithApple", [](const APIClient& c) { return failure(c.loginWithApple("t", {}, {}, "d")); }},
        {"verifyTelegram", [](const APIClient& c) { return failure(c.verifyTelegramSession(kID, kSecret, "123456")); }},
        {"oauthStatus", [](const APIClient& c) { return failure(c.oauthSessionStatus("o1")); }},
        {"refresh", [](const APIClient& c) { return failure(c.me()); }},
    };
    // JSON escapes: the answers are well-formed, the decoded tokens are not sendable.
    const char* badTokens[] = {R"(a\r\nX-Injected: 1)", R"(a\nb)", R"(a\rb)", R"(a\u0000b)", R"(a\tb)", R"(a\u007fb)"};
    for (const auto& [name, operation] : operations) {
        for (const char* bad : badTokens) {
            for (bool inAccess : {true, false}) {
                SCOPED_TRACE(std::string(name) + " " + bad + (inAccess ? " as access token" : " as refresh token"));
                const std::string pair = inAccess ? authJSON(bad, "r") : authJSON("a", bad);
                Fixture f(sync([&](const HttpRequest& r) {
                    if (endsWith(r.url, "/me")) return respond(401);
                    if (endsWith(r.url, "/o1")) return respond(200, R"({"status":"confirmed","auth":)" + pair + "}");
                    return respond(200, pair);
                }));
                EXPECT_EQ(as<APIError>(operation(f.client)), APIError::invalidResponse());
                EXPECT_EQ(f.store->tokens(), kOld);
                EXPECT_EQ(f.store->clears(), 0);
                if (std::string_view(name) == "refresh") {
                    EXPECT_EQ(f.session->count("/me"), 1u) << "no repeat";
                }
            }
        }
    }
}

TEST(TokenStoreEffects, FailingSaveFailsTheSignIn) {
    Fixture f(sync([](const HttpRequest&) { return respond(200, authJSON("a", "r")); }), std::nullopt);
    f.store->failSave(std::make_exception_ptr(std::runtime_error("disk full")));
    EXPECT_THROW(run(f.client.loginWithApple("t", {}, {}, "d")), std::runtime_error);
}

TEST(TokenStoreEffects, LogoutNeverFailsAndAlwaysClears) {
    Fixture down([](const HttpRequest&) -> asio::awaitable<HttpResponse> {
        throw TransportError(TransportError::Code::cannotConnect, "down");
        co_return respond(200);
    });
    EXPECT_NO_THROW(run(down.client.logout()));
    EXPECT_EQ(down.store->tokens(), std::nullopt);
    EXPECT_EQ(down.session->cacheClears, 1);
    for (auto answer : {respond(500, "logout backend down"), respond(401)}) {
        Fixture refused(sync([&](const HttpRequest&) { return answer; }));
        EXPECT_NO_THROW(run(refused.client.logout()));
        EXPECT_EQ(refused.store->tokens(), std::nullopt);
    }

    Fixture empty(sync([](const HttpRequest&) { return respond(204); }), std::nullopt);
    run(empty.client.logout());
    EXPECT_EQ(empty.session->requests().at(0).body, "{}");
    EXPECT_EQ(empty.store->clears(), 1);

    Fixture broken(sync([](const HttpRequest&) { return respond(204); }));
    broken.store->failLoad(std::make_exception_ptr(std::runtime_error("locked")));
    broken.store->failClear(std::make_exception_ptr(std::runtime_error("locked")));
    EXPECT_NO_THROW(run(broken.client.logout()));
}

// The repeat names the refresh token that the refresh has just issued: the one it replaced is
// spent already, and ending only that would leave the new one alive on the backend.
TEST(TokenStoreEffects, LogoutAfter401RepeatsWithTheRenewedRefreshTokenAndClears) {
    Backend backend;
    backend.onRepeat = [](const HttpRequest&) { return respond(204); };
    Fixture f(sync(backend));
    run(f.client.logout());
    auto sent = f.session->requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].body, R"({"refresh_token":"old-refresh"})");
    EXPECT_EQ(sent[2].body, R"({"refresh_token":"new-refresh"})");
    EXPECT_EQ(f.store->tokens(), std::nullopt);
}

TEST(TokenStoreEffects, DeleteAccountClearsOnlyAfterSuccess) {
    Fixture failing(sync([](const HttpRequest&) { return respond(500, "nope"); }));
    EXPECT_EQ(as<APIError>(failure(failing.client.deleteAccount("d"))), APIError::server(500, "nope"));
    EXPECT_EQ(failing.store->tokens(), kOld);
    EXPECT_EQ(failing.session->cacheClears, 0);

    Fixture ok(sync([](const HttpRequest&) { return respond(200, R"({"ok":true})"); }));
    ok.store->failClear(std::make_exception_ptr(std::runtime_error("locked")));
    EXPECT_NO_THROW(run(ok.client.deleteAccount("d")));
    EXPECT_EQ(ok.session->cacheClears, 1);
}

}  // namespace
}  // namespace tarn
