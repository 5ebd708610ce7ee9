// Wire records: member names, optionality, strict enumerations and the special rules.
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace tarn {
namespace {

using namespace std::chrono_literals;
using Kind = DecodingError::Kind;

const std::string kUser =
    R"({"id":"u1","subscription_status":"active","vpn_access_status":"enabled",)"
    R"("created_at":"2024-05-01T12:00:00Z","last_sync_at":"2024-05-01 12:00:00")";

std::string user(const std::string& extra = "") { return kUser + extra + "}"; }

Timestamp noonMay1() { return Timestamp(std::chrono::sys_days(std::chrono::year{2024} / 5 / 1) + 12h); }

template <class T>
std::optional<Kind> failureKind(const std::string& json) {
    try {
        (void)JSONDecoder::tarn().decode<T>(json);
        return std::nullopt;
    } catch (const DecodingError& e) {
        return e.kind();
    }
}

TEST(CRMUser, MinimalUserDecodesAndEncodesOnlyRequiredMembers) {
    CRMUser u = JSONDecoder::tarn().decode<CRMUser>(user());
    EXPECT_EQ(u.id, "u1");
    EXPECT_EQ(u.subscriptionStatus, SubscriptionStatus::active);
    EXPECT_EQ(u.createdAt, noonMay1());
    EXPECT_EQ(u.lastSyncAt, noonMay1());
    EXPECT_FALSE(u.plan || u.email || u.expiresAt || u.subscriptionSource || u.appleAppAccountToken);
    EXPECT_EQ(JSONEncoder::tarn().encode(u),
              R"({"id":"u1","subscription_status":"active","vpn_access_status":"enabled",)"
              R"("created_at":"2024-05-01T12:00:00Z","last_sync_at":"2024-05-01T12:00:00Z"})");
}

TEST(CRMUser, FullUserRoundTripsInDeclaredKeyOrder) {
    CRMUser u{"u2", "a@b.cd", "Имя", "123", "nick", SubscriptionStatus::expired, VPNAccessStatus::disabled,
              Plan::yearly, noonMay1() + 24h, noonMay1(), noonMay1(), SubscriptionSource::telegramBot, "s1",
              "orig", "peer", UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")};
    std::string json = JSONEncoder::tarn().encode(u);
    EXPECT_EQ(json,
              R"({"id":"u2","email":"a@b.cd","name":"Имя","plan":"yearly","telegram_user_id":"123",)"
              R"("telegram_username":"nick","subscription_status":"expired","vpn_access_status":"disabled",)"
              R"("expires_at":"2024-05-02T12:00:00Z","created_at":"2024-05-01T12:00:00Z",)"
              R"("last_sync_at":"2024-05-01T12:00:00Z","subscription_source":"telegram_bot","subscription_id":"s1",)"
              R"("apple_original_transaction_id":"orig","vpn_peer_id":"peer",)"
              R"("apple_app_account_token":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"})");
    EXPECT_EQ(JSONDecoder::tarn().decode<CRMUser>(json), u);
}

struct UserCase {
    const char* name;
    std::string extra;
    std::optional<Kind> failure;  // nullopt: decodes
};

class CRMUserMembers : public testing::TestWithParam<UserCase> {};

TEST_P(CRMUserMembers, DecodeStrictly) {
    EXPECT_EQ(failureKind<CRMUser>(user(GetParam().extra)), GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CRMUserMembers,
    testing::Values(UserCase{"source_wire_value", R"(,"subscription_source":"telegram_bot")", std::nullopt},
                    UserCase{"source_case_name", R"(,"subscription_source":"telegramBot")", Kind::dataCorrupted},
                    UserCase{"source_other_case", R"(,"subscription_source":"Apple")", Kind::dataCorrupted},
                    UserCase{"source_unknown_literal", R"(,"subscription_source":"unknown")", std::nullopt},
                    UserCase{"source_outside", R"(,"subscription_source":"google")", Kind::dataCorrupted},
                    UserCase{"source_null", R"(,"subscription_source":null)", std::nullopt},
                    UserCase{"source_number", R"(,"subscription_source":1)", Kind::typeMismatch},
                    UserCase{"plan_null", R"(,"plan":null)", std::nullopt},
                    UserCase{"plan_weekly", R"(,"plan":"weekly")", Kind::dataCorrupted},
                    UserCase{"expires_null", R"(,"expires_at":null)", std::nullopt},
                    UserCase{"expires_bad", R"(,"expires_at":"tomorrow")", Kind::dataCorrupted},
                    UserCase{"token_not_uuid", R"(,"apple_app_account_token":"not-a-uuid")", Kind::dataCorrupted},
                    UserCase{"token_lowercase_uuid", R"(,"apple_app_account_token":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f")", std::nullopt},
                    UserCase{"telegram_id_number", R"(,"telegram_user_id":123)", Kind::typeMismatch}),
    [](const auto& p) { return p.param.name; });

TEST(CRMUser, RequiredMembersAndStatusesAreEnforced) {
    EXPECT_EQ(failureKind<CRMUser>(R"({"id":"u","subscription_status":"active","vpn_access_status":"enabled","last_sync_at":"2024-05-01T12:00:00Z"})"),
              Kind::keyNotFound);
    std::string badStatus = R"({"access_token":"a","refresh_token":"r","user":)" +
                            user().replace(user().find("active"), 6, "paused") + "}";
    EXPECT_EQ(failureKind<AuthResponse>(badStatus), Kind::dataCorrupted);
}

// Which forms are backend dates is the date parser's own test; here, how the codec reports them.
TEST(BackendDates, AcceptedFormsAndTheirFailures) {
    auto decode = [](const std::string& date) {
        return JSONDecoder::tarn().decode<BotSync>(R"({"status":"s","last_sync_at":)" + date + "}").lastSyncAt;
    };
    EXPECT_EQ(decode(R"("2024-05-01T12:00:00.123Z")"), noonMay1() + 123ms);
    for (const char* bad : {R"("2024-05-01")", R"("")"}) {
        try {
            (void)decode(bad);
            FAIL() << bad;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), Kind::dataCorrupted);
            EXPECT_EQ(e.debugDescription(), "Invalid backend date");
            EXPECT_EQ(e.codingPathString(), "last_sync_at");
        }
    }
    EXPECT_EQ(failureKind<BotSync>(R"({"status":"s","last_sync_at":1714564800})"), Kind::typeMismatch);
}

TEST(Descriptions, NeverShowSecretsOrTokens) {
    TelegramAuthSessionCredentials a{"session-id", "top-secret-1"};
    TelegramAuthSessionCredentials b{"session-id", "top-secret-2"};
    EXPECT_EQ(a.description(), "TelegramAuthSessionCredentials(id: session-id, secret: <redacted>)");
    EXPECT_EQ(a.description(), b.description());

    TelegramAuthSession s{2, a, *URL::parse("https://t.me/tarnvpn_bot?start=ios_auth_session-id"), noonMay1()};
    std::ostringstream os;
    os << s;
    EXPECT_EQ(os.str(),
              "TelegramAuthSession(flowVersion: 2, session: TelegramAuthSessionCredentials(id: session-id, secret: "
              "<redacted>), deeplink: https://t.me/tarnvpn_bot?start=ios_auth_session-id, expires: 2024-05-01 "
              "12:00:00 +0000)");
    EXPECT_EQ(os.str(), s.description());

    std::ostringstream tokens;
    tokens << AuthTokens{"ACCESS", "REFRESH"} << RegisterRequest{"e", "PASSWORD", {}, true, true};
    EXPECT_EQ(tokens.str().find("ACCESS"), std::string::npos);
    EXPECT_EQ(tokens.str().find("REFRESH"), std::string::npos);
    EXPECT_EQ(tokens.str().find("PASSWORD"), std::string::npos);
}

TEST(TelegramSessionStatus, RefusesAnyCredentialMember) {
    EXPECT_EQ(JSONDecoder::tarn().decode<TelegramSessionStatus>(R"({"status":"code_ready"})"),
              (TelegramSessionStatus{TelegramSessionState::codeReady, std::nullopt}));
    EXPECT_EQ(JSONDecoder::tarn().decode<TelegramSessionStatus>(R"({"status":"pending","error":null})").error, std::nullopt);
    EXPECT_EQ(failureKind<TelegramSessionStatus>(R"({"status":"codeReady"})"), Kind::dataCorrupted);
    for (const char* json : {R"({"status":"verified","access_token":"t"})", R"({"status":"pending","auth":null})",
                             R"({"refresh_token":1})", R"({"status":"bogus","auth":{}})"}) {
        try {
            (void)JSONDecoder::tarn().decode<TelegramSessionStatus>(json);
            FAIL() << json;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), Kind::dataCorrupted);
            EXPECT_EQ(e.debugDescription(), "Telegram status must never contain authentication credentials");
            EXPECT_EQ(e.codingPathString(), "status");
        }
    }
}

TEST(TelegramAuthSession, MemberNamesAreDeeplinkAndExpires) {
    std::string good = R"({"flow_version":7,"session":{"id":"i","secret":"s"},"deeplink":"https://t.me/x","expires":"2024-05-01T12:00:00Z"})";
    auto s = JSONDecoder::tarn().decode<TelegramAuthSession>(good);
    EXPECT_EQ(s.id(), "i");
    EXPECT_EQ(s.flowVersion, 7);
    EXPECT_EQ(JSONEncoder::tarn().encode(s), good);
    // The neighbouring spellings are no substitute, nor is a session without its secret.
    const std::pair<std::string, std::string> changes[] = {
        {R"("expires")", R"("expires_at")"}, {R"("deeplink")", R"("deep_link")"}, {R"(,"secret":"s")", ""}};
    for (const auto& [from, to] : changes) {
        std::string bad = good;
        bad.replace(bad.find(from), from.size(), to);
        EXPECT_EQ(failureKind<TelegramAuthSession>(bad), Kind::keyNotFound) << bad;
    }
}

TEST(OAuthRecords, StatusMayCarryAuthAndProviderIsStrict) {
    auto s = JSONDecoder::tarn().decode<OAuthSessionStatus>(R"({"status":"confirmed"})");
    EXPECT_EQ(s.auth, std::nullopt);
    EXPECT_EQ(JSONEncoder::tarn().encode(s), R"({"status":"confirmed"})");
    auto withAuth = JSONDecoder::tarn().decode<OAuthSessionStatus>(
        R"({"status":"pending","auth":{"access_token":"a","refresh_token":"r","user":)" + user() + "}}");
    ASSERT_TRUE(withAuth.auth);
    EXPECT_EQ(withAuth.auth->user.id, "u1");
    EXPECT_EQ(failureKind<OAuthSessionStatus>(R"({"status":"confirmed","auth":{"access_token":"a"}})"), Kind::keyNotFound);
    EXPECT_EQ(fromRawValue<OAuthProvider>("google"), OAuthProvider::google);
    EXPECT_EQ(fromRawValue<OAuthProvider>("Google"), std::nullopt);
    EXPECT_EQ(failureKind<OAuthAuthSession>(R"({"auth_session_id":"a","authorization_url":"","expires_at":"2024-05-01T12:00:00Z"})"),
              Kind::dataCorrupted);
}

// The request records' plain forms are checked on the wire by the client's operation table.
TEST(RequestRecords, EventMetadataIsSortedAndStrings) {
    AppEventPayload event{"launch", "d", Timestamp{}, "1.0", "macos", {}, {}, {}, {}, {}, {}, {}};
    event.metadata = {{"b", "2"}, {"a", "1"}};
    event.durationMS = 1500;
    EXPECT_EQ(JSONEncoder::tarn().encode(event),
              R"({"event_name":"launch","device_id":"d","event_time":"1970-01-01T00:00:00Z","app_version":"1.0","platform":"macos","duration_ms":1500,"metadata":{"a":"1","b":"2"}})");
    EXPECT_EQ(failureKind<AppEventPayload>(
                  R"({"event_name":"x","device_id":"d","event_time":"1970-01-01T00:00:00Z","app_version":"1","platform":"p","metadata":{"k":1}})"),
              Kind::typeMismatch);
}

TEST(DeviceRecords, ServerProtocolAndRemovalResponse) {
    auto server = JSONDecoder::tarn().decode<VPNServer>(
        R"({"id":"de-1","country":"DE","city":"Berlin","flag":null,"load":40,"latency":12,"is_available":true,"is_premium":false,"protocol":"vless"})");
    EXPECT_EQ(server.protocolName, "vless");
    EXPECT_EQ(server.flag, std::nullopt);
    EXPECT_EQ(JSONEncoder::tarn().encode(server),
              R"({"id":"de-1","country":"DE","city":"Berlin","load":40,"latency":12,"is_available":true,"is_premium":false,"protocol":"vless"})");

    std::string removal = R"({"ok":true,"devices":[{"id":5,"name":"Mac","platform":"macos","device_id":"d5"}],"used":1,"limit":3,"available":2,"subscription_active":true})";
    auto r = JSONDecoder::tarn().decode<AccountDeviceRemovalResponse>(removal);
    EXPECT_EQ(r.legacyProfileRotated, std::nullopt);
    AccountDevice mac{5, "d5", "Mac", {}, "macos", {}, {}, {}, {}};
    EXPECT_EQ(r.devicesResponse(), (AccountDevicesResponse{true, {mac}, 1, 3, 2}));
    EXPECT_EQ(failureKind<AccountDeviceRemovalResponse>(R"({"devices":[],"used":0,"limit":3,"available":3,"subscription_active":true})"),
              Kind::keyNotFound);
    EXPECT_EQ(failureKind<VLESSConfig>(
                  R"({"uri":"vless://x","xray_json":{"log":{}},"server_id":"s","user_id":"u","subscription_status":"active","vpn_access_status":"enabled"})"),
              Kind::typeMismatch);
    EXPECT_EQ(failureKind<std::vector<VPNServer>>("{}"), Kind::typeMismatch);
}

TEST(BillingRecords, VariantLookupAndCheckoutStrictness) {
    BillingTariffGroup g{"m1", "Month", 30, true, 3, 300, 300, "month",
                         {{1, 100, 100, "month"}, {3, 300, 300, "month"}, {3, 999, 999, "month"}}};
    EXPECT_EQ(g.variant(3)->priceRUB, 300);
    EXPECT_EQ(g.variant(2), std::nullopt);
    BillingTariffGroup noVariants = g;
    noVariants.variants.clear();
    EXPECT_EQ(noVariants.variant(noVariants.defaultLimit), std::nullopt);

    std::string checkout = R"({"ok":true,"provider":"yookassa","status":"pending","payment_id":7,"checkout_token":"t",)"
                           R"("confirmation_url":"https://pay.example/c/7","amount_rub":300,"devices_limit":3,)"
                           R"("promo_code":"","discount_amount_rub":0})";
    auto c = JSONDecoder::tarn().decode<BillingCheckoutResponse>(checkout);
    EXPECT_EQ(c.promoCode, "");
    EXPECT_EQ(c.confirmationURL.absoluteString(), "https://pay.example/c/7");
    std::string noPromo = checkout;
    noPromo.replace(noPromo.find(R"("promo_code":"",)"), 16, "");
    EXPECT_EQ(failureKind<BillingCheckoutResponse>(noPromo), Kind::keyNotFound);

    std::string catalog = R"({"currency":"RUB","device_limit_options":[1,3],"tariff_groups":[{"id":"m1","title":"Month","days":30,)"
                          R"("featured":true,"variants":[{"limit":1,"unit":"month","price_rub":100,"month_rub":"100"}],)"
                          R"("default_limit":1,"default_price_rub":100,"default_month_rub":100,"default_unit":"month"}],"payment_methods":[]})";
    try {
        (void)JSONDecoder::tarn().decode<BillingCatalog>(catalog);
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.codingPathString(), "tariff_groups[0].variants[0].month_rub");
    }

    auto release = JSONDecoder::tarn().decode<IOSAppRelease>(
        R"({"version":"1.2","build":7,"minimum_supported_version":"1.0","install_url":"https://apps.example/tarn"})");
    EXPECT_EQ(release.releaseNotes, std::nullopt);
    EXPECT_EQ(release.publishedAt, std::nullopt);
}

}  // namespace
}  // namespace tarn
