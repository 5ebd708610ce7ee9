// The backend's 28 operations, each described once: its names (the client's camelCase one and the
// snake_case one of the C interface and the bindings), method, path, authorization, its argument
// record (with a json::members table, so bindings decode it from JSON), its answer, the argument
// members that are secrets, and the one-line summary the command-line client shows.
//
// APIClient keeps a declaration with its comment per operation; everything that reaches the
// operations by name (BlockingClient, tarn_client_call, the Python binding, `tarnctl api`)
// follows from `operations::All`. Adding an operation is one struct here, its argument record and
// its APIClient member.
//
// `call(client, arguments, token...)` invokes the operation on any client with the APIClient's
// member names: an APIClient (with an optional completion token) or a BlockingClient. This header
// needs no Asio.
#pragma once

#include "tarn/json/json.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace tarn::operations {

/// How a request proves who sends it. Only `bearer` requests go through a token refresh and one
/// repeat when the backend answers 401; for the others a 401 is final.
enum class Authorization {
    bearer,         ///< the stored access token
    none,           ///< nothing: sign-in flows and public answers
    sessionSecret,  ///< the Telegram session's secret, in a header of its own
};

constexpr std::string_view rawValue(Authorization a) {
    switch (a) {
        case Authorization::bearer: return "bearer";
        case Authorization::none: return "none";
        case Authorization::sessionSecret: return "session_secret";
    }
    return {};
}

/// The platform sent when a caller names none.
inline constexpr std::string_view defaultPlatform = "linux";

// -- Argument records of the operations whose arguments are not a wire record already ---------

struct PasswordArguments {
    std::string email;
    std::string password;
};
struct RegisterArguments {
    std::string email;
    std::string password;
    std::optional<std::string> name;
    bool acceptedTerms = false;
    bool acceptedPersonalDataProcessing = false;
};
struct EmailCodeArguments {
    std::string email;
    std::string deviceID;
    std::optional<std::string> platform;  ///< defaultPlatform when absent
};
struct VerifyEmailCodeArguments {
    std::string challengeID;
    std::string code;
    bool acceptedTerms = false;
    bool acceptedPersonalDataProcessing = false;
};
struct DeviceArguments {
    std::string deviceID;
};
struct TelegramStatusArguments {
    std::string id;
    std::string secret;
};
struct TelegramVerifyArguments {
    std::string id;
    std::string secret;
    std::string code;
};
struct OAuthSessionArguments {
    std::optional<OAuthProvider> provider;  ///< google when absent
    std::string deviceID;
};
struct SessionIDArguments {
    std::string id;
};
struct DeviceNumberArguments {
    std::int64_t id = 0;
};
struct VPNConfigArguments {
    std::string serverID;
    std::string deviceID;
    std::optional<std::string> platform;  ///< defaultPlatform when absent
};

// -- The operations ----------------------------------------------------------------------------
//
// Each: name, snakeName, method, path ("{x}" marks a value inserted from the arguments),
// authorization, summary, secrets (argument members that are credentials, never to be shown; a
// one-time code is spent by the call and is not among them), Arguments, Answer, call.
// Arguments is EmptyBody for operations without any; Answer is void for those answering nothing.

#define TARN_OPERATION_NAMES(camel, snake, verb, route, auth, text)                         \
    static constexpr std::string_view name = camel, snakeName = snake, method = verb, path = route; \
    static constexpr Authorization authorization = Authorization::auth;                     \
    static constexpr std::string_view summary = text

struct Login {
    TARN_OPERATION_NAMES("login", "login", "POST", "auth/login", none, "Password sign-in; stores the tokens");
    static constexpr std::array<std::string_view, 1> secrets{"password"};
    using Arguments = PasswordArguments;
    using Answer = AuthResponse;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.login(std::move(a.email), std::move(a.password), std::forward<T>(t)...);
    }
};
struct Register {
    TARN_OPERATION_NAMES("register", "register", "POST", "auth/register", none, "Create an account; stores the tokens");
    static constexpr std::array<std::string_view, 1> secrets{"password"};
    using Arguments = RegisterArguments;
    using Answer = AuthResponse;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.registerAccount(std::move(a.email), std::move(a.password), std::move(a.name), a.acceptedTerms,
                                 a.acceptedPersonalDataProcessing, std::forward<T>(t)...);
    }
};
struct RequestEmailCode {
    TARN_OPERATION_NAMES("requestEmailCode", "request_email_code", "POST", "api/v1/auth/email/request-code", none,
                         "Send a sign-in code by email");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = EmailCodeArguments;
    using Answer = EmailCodeChallenge;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.requestEmailCode(std::move(a.email), std::move(a.deviceID),
                                  a.platform.value_or(std::string(defaultPlatform)), std::forward<T>(t)...);
    }
};
struct VerifyEmailCode {
    TARN_OPERATION_NAMES("verifyEmailCode", "verify_email_code", "POST", "api/v1/auth/email/verify-code", none,
                         "Sign in with an emailed code; stores the tokens");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = VerifyEmailCodeArguments;
    using Answer = AuthResponse;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.verifyEmailCode(std::move(a.challengeID), std::move(a.code), a.acceptedTerms,
                                 a.acceptedPersonalDataProcessing, std::forward<T>(t)...);
    }
};
struct LoginWithApple {
    TARN_OPERATION_NAMES("loginWithApple", "login_with_apple", "POST", "auth/apple", none,
                         "Sign in with Apple; stores the tokens");
    static constexpr std::array<std::string_view, 2> secrets{"identity_token", "authorization_code"};
    using Arguments = AppleAuthRequest;
    using Answer = AuthResponse;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.loginWithApple(std::move(a.identityToken), std::move(a.authorizationCode), std::move(a.name),
                                std::move(a.deviceID), std::forward<T>(t)...);
    }
};
struct CreateTelegramSession {
    TARN_OPERATION_NAMES("createTelegramSession", "create_telegram_session", "POST", "auth/telegram/session", none,
                         "Open a Telegram bot sign-in");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = DeviceArguments;
    using Answer = TelegramAuthSession;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.createTelegramSession(std::move(a.deviceID), std::forward<T>(t)...);
    }
};
struct TelegramSessionStatusOperation {
    TARN_OPERATION_NAMES("telegramSessionStatus", "telegram_session_status", "GET", "auth/telegram/session/{id}",
                         sessionSecret, "State of a Telegram sign-in");
    static constexpr std::array<std::string_view, 1> secrets{"secret"};
    using Arguments = TelegramStatusArguments;
    using Answer = TelegramSessionStatus;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.telegramSessionStatus(std::move(a.id), std::move(a.secret), std::forward<T>(t)...);
    }
};
struct VerifyTelegramSession {
    TARN_OPERATION_NAMES("verifyTelegramSession", "verify_telegram_session", "POST",
                         "auth/telegram/session/{id}/verify", sessionSecret,
                         "Finish a Telegram sign-in with the bot's code");
    static constexpr std::array<std::string_view, 1> secrets{"secret"};
    using Arguments = TelegramVerifyArguments;
    using Answer = AuthResponse;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.verifyTelegramSession(std::move(a.id), std::move(a.secret), std::move(a.code), std::forward<T>(t)...);
    }
};
struct CreateOAuthSession {
    TARN_OPERATION_NAMES("createOAuthSession", "create_oauth_session", "POST", "auth/oauth/session", none,
                         "Open a browser sign-in");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = OAuthSessionArguments;
    using Answer = OAuthAuthSession;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.createOAuthSession(a.provider.value_or(OAuthProvider::google), std::move(a.deviceID),
                                    std::forward<T>(t)...);
    }
};
struct OAuthSessionStatusOperation {
    TARN_OPERATION_NAMES("oauthSessionStatus", "oauth_session_status", "GET", "auth/oauth/session/{id}", none,
                         "State of a browser sign-in");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = SessionIDArguments;
    using Answer = OAuthSessionStatus;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.oauthSessionStatus(std::move(a.id), std::forward<T>(t)...);
    }
};
struct Logout {
    TARN_OPERATION_NAMES("logout", "logout", "POST", "auth/logout", bearer, "Sign out and clear the stored tokens");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = EmptyBody;
    using Answer = void;
    template <class C, class... T>
    static auto call(const C& c, Arguments, T&&... t) {
        return c.logout(std::forward<T>(t)...);
    }
};
struct DeleteAccount {
    TARN_OPERATION_NAMES("deleteAccount", "delete_account", "DELETE", "me", bearer,
                         "Delete the account (cannot be undone); clears the stored tokens");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = DeviceArguments;
    using Answer = void;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.deleteAccount(std::move(a.deviceID), std::forward<T>(t)...);
    }
};

// The operations without arguments differ only in their names and their answer.
#define TARN_OPERATION_WITHOUT_ARGUMENTS(Type, camel, snake, verb, route, auth, text, Result, member) \
    struct Type {                                                                                      \
        TARN_OPERATION_NAMES(camel, snake, verb, route, auth, text);                                   \
        static constexpr std::array<std::string_view, 0> secrets{};                                    \
        using Arguments = EmptyBody;                                                                   \
        using Answer = Result;                                                                         \
        template <class C, class... T>                                                                 \
        static auto call(const C& c, Arguments, T&&... t) {                                            \
            return c.member(std::forward<T>(t)...);                                                    \
        }                                                                                              \
    }

// The operations whose argument is one wire record, sent as the body.
#define TARN_OPERATION_WITH_RECORD(Type, camel, snake, verb, route, auth, text, Record, Result, member) \
    struct Type {                                                                                         \
        TARN_OPERATION_NAMES(camel, snake, verb, route, auth, text);                                      \
        static constexpr std::array<std::string_view, 0> secrets{};                                       \
        using Arguments = Record;                                                                         \
        using Answer = Result;                                                                            \
        template <class C, class... T>                                                                    \
        static auto call(const C& c, Arguments a, T&&... t) {                                             \
            return c.member(std::move(a), std::forward<T>(t)...);                                         \
        }                                                                                                 \
    }

TARN_OPERATION_WITHOUT_ARGUMENTS(Me, "me", "me", "GET", "me", bearer, "The signed-in user", CRMUser, me);
TARN_OPERATION_WITH_RECORD(SyncUser, "syncUser", "sync_user", "POST", "users/sync", bearer,
                           "Report this installation; answers the up-to-date user", UserSyncRequest, UserSyncResponse,
                           syncUser);
TARN_OPERATION_WITHOUT_ARGUMENTS(SubscriptionStatusOperation, "subscriptionStatus", "subscription_status", "GET",
                                 "subscription/status", bearer, "The user with the current subscription", CRMUser,
                                 subscriptionStatus);
TARN_OPERATION_WITHOUT_ARGUMENTS(AccountDevices, "accountDevices", "account_devices", "GET", "devices", bearer,
                                 "The account's devices and the device limit", AccountDevicesResponse, accountDevices);

struct RemoveAccountDevice {
    TARN_OPERATION_NAMES("removeAccountDevice", "remove_account_device", "DELETE", "devices/{id}", bearer,
                         "Remove a device from the account");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = DeviceNumberArguments;
    using Answer = AccountDeviceRemovalResponse;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.removeAccountDevice(a.id, std::forward<T>(t)...);
    }
};

TARN_OPERATION_WITH_RECORD(VerifyAppleTransaction, "verifyAppleTransaction", "verify_apple_transaction", "POST",
                           "billing/apple/verify", bearer, "Report an App Store purchase", AppleTransactionPayload,
                           UserSyncResponse, verifyAppleTransaction);
TARN_OPERATION_WITHOUT_ARGUMENTS(BillingCatalogOperation, "billingCatalog", "billing_catalog", "GET",
                                 "billing/catalog", bearer, "Tariffs, prices and payment methods", BillingCatalog,
                                 billingCatalog);
TARN_OPERATION_WITH_RECORD(CreateBillingCheckout, "createBillingCheckout", "create_billing_checkout", "POST",
                           "billing/checkout", bearer, "Start a payment", BillingCheckoutRequest,
                           BillingCheckoutResponse, createBillingCheckout);
TARN_OPERATION_WITHOUT_ARGUMENTS(Servers, "servers", "servers", "GET", "vpn/servers", bearer, "The VPN servers",
                                 std::vector<VPNServer>, servers);

struct VPNConfig {
    TARN_OPERATION_NAMES("vpnConfig", "vpn_config", "POST", "vpn/config", bearer,
                         "The VLESS connection profile of a server for a device");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = VPNConfigArguments;
    using Answer = VLESSConfig;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.vpnConfig(std::move(a.serverID), std::move(a.deviceID),
                           a.platform.value_or(std::string(defaultPlatform)), std::forward<T>(t)...);
    }
};
struct RevokeVPN {
    TARN_OPERATION_NAMES("revokeVPN", "revoke_vpn", "POST", "vpn/revoke", bearer, "Give a device a new VPN identity");
    static constexpr std::array<std::string_view, 0> secrets{};
    using Arguments = DeviceArguments;
    using Answer = void;
    template <class C, class... T>
    static auto call(const C& c, Arguments a, T&&... t) {
        return c.revokeVPN(std::move(a.deviceID), std::forward<T>(t)...);
    }
};

TARN_OPERATION_WITH_RECORD(RecordAppEvent, "recordAppEvent", "record_app_event", "POST", "app/events", bearer,
                           "Send an analytics event", AppEventPayload, void, recordAppEvent);
TARN_OPERATION_WITH_RECORD(RecordAnonymousAppEvent, "recordAnonymousAppEvent", "record_anonymous_app_event", "POST",
                           "app/events/anonymous", none, "Send an analytics event without signing in",
                           AppEventPayload, void, recordAnonymousAppEvent);
TARN_OPERATION_WITH_RECORD(RegisterPushToken, "registerPushToken", "register_push_token", "POST", "app/push-token",
                           bearer, "Register a push token", PushTokenRequest, void, registerPushToken);
TARN_OPERATION_WITH_RECORD(DeletePushToken, "deletePushToken", "delete_push_token", "DELETE", "app/push-token",
                           bearer, "Remove a push token", PushTokenRequest, void, deletePushToken);
TARN_OPERATION_WITHOUT_ARGUMENTS(AppRelease, "appRelease", "app_release", "GET", "app/ios/release", none,
                                 "The published application release", IOSAppRelease, appRelease);

#undef TARN_OPERATION_WITH_RECORD
#undef TARN_OPERATION_WITHOUT_ARGUMENTS
#undef TARN_OPERATION_NAMES

/// Every operation, in the order the listings show them.
using All = std::tuple<Login, Register, RequestEmailCode, VerifyEmailCode, LoginWithApple, CreateTelegramSession,
                       TelegramSessionStatusOperation, VerifyTelegramSession, CreateOAuthSession,
                       OAuthSessionStatusOperation, Logout, DeleteAccount, Me, SyncUser, SubscriptionStatusOperation,
                       AccountDevices, RemoveAccountDevice, VerifyAppleTransaction, BillingCatalogOperation,
                       CreateBillingCheckout, Servers, VPNConfig, RevokeVPN, RecordAppEvent, RecordAnonymousAppEvent,
                       RegisterPushToken, DeletePushToken, AppRelease>;

inline constexpr std::size_t count = std::tuple_size_v<All>;

/// Calls `visit.template operator()<Op>()` for every operation in turn.
template <class Visitor>
constexpr void forEach(Visitor&& visit) {
    [&]<class... Op>(std::tuple<Op...>*) { (visit.template operator()<Op>(), ...); }(static_cast<All*>(nullptr));
}

/// Whether a 401 on the operation spends the refresh token and repeats the request once.
template <class Op>
inline constexpr bool refreshesOn401 = Op::authorization == Authorization::bearer;

/// Whether the operation's argument is a wire record of its own, sent as the request body.
template <class Op>
inline constexpr bool takesRecord = std::is_same_v<typename Op::Arguments, UserSyncRequest> ||
                                    std::is_same_v<typename Op::Arguments, AppleTransactionPayload> ||
                                    std::is_same_v<typename Op::Arguments, BillingCheckoutRequest> ||
                                    std::is_same_v<typename Op::Arguments, AppEventPayload> ||
                                    std::is_same_v<typename Op::Arguments, PushTokenRequest>;

/// One member of an argument record, as the bindings present it.
struct Field {
    std::string_view name;  ///< as in the JSON arguments and the Python keyword
    std::string_view type;  ///< "string", "boolean", "integer" or "json" (anything else)
    bool required;
    bool secret;
};

namespace detail {

template <class T>
struct FieldType {
    static constexpr std::string_view name = "json";
    static constexpr bool required = true;
};
template <>
struct FieldType<std::string> {
    static constexpr std::string_view name = "string";
    static constexpr bool required = true;
};
template <>
struct FieldType<bool> {
    static constexpr std::string_view name = "boolean";
    static constexpr bool required = true;
};
template <>
struct FieldType<std::int64_t> {
    static constexpr std::string_view name = "integer";
    static constexpr bool required = true;
};
template <class T>
struct FieldType<std::optional<T>> {
    static constexpr std::string_view name = FieldType<T>::name;
    static constexpr bool required = false;
};

}  // namespace detail

/// The argument members of Op in declared order; none for EmptyBody.
template <class Op>
std::vector<Field> fields() {
    std::vector<Field> out;
    using Arguments = typename Op::Arguments;
    if constexpr (json::Record<Arguments>) {
        std::apply(
            [&](const auto&... member) {
                auto add = [&]<class Record, class Value>(const json::Member<Record, Value>& m) {
                    bool secret = false;
                    for (std::string_view s : Op::secrets) secret = secret || s == m.name;
                    out.push_back({m.name, detail::FieldType<Value>::name, detail::FieldType<Value>::required, secret});
                };
                (add(member), ...);
            },
            json::members<Arguments>);
    }
    return out;
}

}  // namespace tarn::operations

namespace tarn {

template <>
inline constexpr auto json::members<operations::PasswordArguments> = std::tuple{
    json::member("email", &operations::PasswordArguments::email),
    json::member("password", &operations::PasswordArguments::password)};
template <>
inline constexpr auto json::members<operations::RegisterArguments> = std::tuple{
    json::member("email", &operations::RegisterArguments::email),
    json::member("password", &operations::RegisterArguments::password),
    json::member("name", &operations::RegisterArguments::name),
    json::member("accepted_terms", &operations::RegisterArguments::acceptedTerms),
    json::member("accepted_personal_data_processing", &operations::RegisterArguments::acceptedPersonalDataProcessing)};
template <>
inline constexpr auto json::members<operations::EmailCodeArguments> = std::tuple{
    json::member("email", &operations::EmailCodeArguments::email),
    json::member("device_id", &operations::EmailCodeArguments::deviceID),
    json::member("platform", &operations::EmailCodeArguments::platform)};
template <>
inline constexpr auto json::members<operations::VerifyEmailCodeArguments> = std::tuple{
    json::member("challenge_id", &operations::VerifyEmailCodeArguments::challengeID),
    json::member("code", &operations::VerifyEmailCodeArguments::code),
    json::member("accepted_terms", &operations::VerifyEmailCodeArguments::acceptedTerms),
    json::member("accepted_personal_data_processing",
                 &operations::VerifyEmailCodeArguments::acceptedPersonalDataProcessing)};
template <>
inline constexpr auto json::members<operations::DeviceArguments> =
    std::tuple{json::member("device_id", &operations::DeviceArguments::deviceID)};
template <>
inline constexpr auto json::members<operations::TelegramStatusArguments> = std::tuple{
    json::member("id", &operations::TelegramStatusArguments::id),
    json::member("secret", &operations::TelegramStatusArguments::secret)};
template <>
inline constexpr auto json::members<operations::TelegramVerifyArguments> = std::tuple{
    json::member("id", &operations::TelegramVerifyArguments::id),
    json::member("secret", &operations::TelegramVerifyArguments::secret),
    json::member("code", &operations::TelegramVerifyArguments::code)};
template <>
inline constexpr auto json::members<operations::OAuthSessionArguments> = std::tuple{
    json::member("provider", &operations::OAuthSessionArguments::provider),
    json::member("device_id", &operations::OAuthSessionArguments::deviceID)};
template <>
inline constexpr auto json::members<operations::SessionIDArguments> =
    std::tuple{json::member("id", &operations::SessionIDArguments::id)};
template <>
inline constexpr auto json::members<operations::DeviceNumberArguments> =
    std::tuple{json::member("id", &operations::DeviceNumberArguments::id)};
template <>
inline constexpr auto json::members<operations::VPNConfigArguments> = std::tuple{
    json::member("server_id", &operations::VPNConfigArguments::serverID),
    json::member("device_id", &operations::VPNConfigArguments::deviceID),
    json::member("platform", &operations::VPNConfigArguments::platform)};

}  // namespace tarn
