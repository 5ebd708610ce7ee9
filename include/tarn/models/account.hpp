// The signed-in account as the backend reports it (CRMUser and its four enumerations), the answer
// of every sign-in and of the token refresh (AuthResponse), and the token pair the client keeps
// (AuthTokens). Descriptions of records that carry tokens never show them.
#pragma once

#include "tarn/export.hpp"
#include "tarn/json/json.hpp"
#include "tarn/json/string_enum.hpp"
#include "tarn/platform/timestamp.hpp"
#include "tarn/platform/uuid.hpp"

#include <array>
#include <optional>
#include <ostream>
#include <string>

namespace tarn {

enum class SubscriptionStatus { active, expired, cancelled, blocked, none };
enum class VPNAccessStatus { enabled, disabled };
enum class SubscriptionSource { apple, crm, telegramBot, manual, trial, unknown };
enum class Plan { monthly, yearly };

template <>
inline constexpr auto enumCases<SubscriptionStatus> = std::array{
    EnumCase<SubscriptionStatus>{SubscriptionStatus::active, "active"},
    EnumCase<SubscriptionStatus>{SubscriptionStatus::expired, "expired"},
    EnumCase<SubscriptionStatus>{SubscriptionStatus::cancelled, "cancelled"},
    EnumCase<SubscriptionStatus>{SubscriptionStatus::blocked, "blocked"},
    EnumCase<SubscriptionStatus>{SubscriptionStatus::none, "none"},
};
template <>
inline constexpr auto enumCases<VPNAccessStatus> = std::array{
    EnumCase<VPNAccessStatus>{VPNAccessStatus::enabled, "enabled"},
    EnumCase<VPNAccessStatus>{VPNAccessStatus::disabled, "disabled"},
};
template <>
inline constexpr auto enumCases<SubscriptionSource> = std::array{
    EnumCase<SubscriptionSource>{SubscriptionSource::apple, "apple"},
    EnumCase<SubscriptionSource>{SubscriptionSource::crm, "crm"},
    EnumCase<SubscriptionSource>{SubscriptionSource::telegramBot, "telegram_bot"},
    EnumCase<SubscriptionSource>{SubscriptionSource::manual, "manual"},
    EnumCase<SubscriptionSource>{SubscriptionSource::trial, "trial"},
    EnumCase<SubscriptionSource>{SubscriptionSource::unknown, "unknown"},
};
template <>
inline constexpr auto enumCases<Plan> = std::array{
    EnumCase<Plan>{Plan::monthly, "monthly"},
    EnumCase<Plan>{Plan::yearly, "yearly"},
};

/// Only an active subscription allows the VPN.
constexpr bool allowsVPN(SubscriptionStatus status) { return status == SubscriptionStatus::active; }

/// The backend's user record. Identity: `id`.
struct TARN_EXPORT CRMUser {
    std::string id;
    std::optional<std::string> email;
    std::optional<std::string> name;
    std::optional<std::string> telegramUserID;
    std::optional<std::string> telegramUsername;
    SubscriptionStatus subscriptionStatus = SubscriptionStatus::none;
    VPNAccessStatus vpnAccessStatus = VPNAccessStatus::disabled;
    std::optional<Plan> plan;
    std::optional<Timestamp> expiresAt;  // end of the paid period
    Timestamp createdAt;
    Timestamp lastSyncAt;
    std::optional<SubscriptionSource> subscriptionSource;
    std::optional<std::string> subscriptionID;
    std::optional<std::string> appleOriginalTransactionID;
    std::optional<std::string> vpnPeerID;
    std::optional<UUID> appleAppAccountToken;

    friend bool operator==(const CRMUser&, const CRMUser&) = default;
};

template <>
inline constexpr auto json::members<CRMUser> = std::tuple{
    json::member("id", &CRMUser::id),
    json::member("email", &CRMUser::email),
    json::member("name", &CRMUser::name),
    json::member("plan", &CRMUser::plan),
    json::member("telegram_user_id", &CRMUser::telegramUserID),
    json::member("telegram_username", &CRMUser::telegramUsername),
    json::member("subscription_status", &CRMUser::subscriptionStatus),
    json::member("vpn_access_status", &CRMUser::vpnAccessStatus),
    json::member("expires_at", &CRMUser::expiresAt),
    json::member("created_at", &CRMUser::createdAt),
    json::member("last_sync_at", &CRMUser::lastSyncAt),
    json::member("subscription_source", &CRMUser::subscriptionSource),
    json::member("subscription_id", &CRMUser::subscriptionID),
    json::member("apple_original_transaction_id", &CRMUser::appleOriginalTransactionID),
    json::member("vpn_peer_id", &CRMUser::vpnPeerID),
    json::member("apple_app_account_token", &CRMUser::appleAppAccountToken),
};

/// What every sign-in and the token refresh return: a token pair and the user.
struct TARN_EXPORT AuthResponse {
    std::string accessToken;
    std::string refreshToken;
    CRMUser user;

    friend bool operator==(const AuthResponse&, const AuthResponse&) = default;
    /// "AuthResponse(accessToken: <redacted>, refreshToken: <redacted>, user: <id>)"
    std::string description() const;
    friend std::ostream& operator<<(std::ostream& os, const AuthResponse& r) { return os << r.description(); }
};

template <>
inline constexpr auto json::members<AuthResponse> = std::tuple{
    json::member("access_token", &AuthResponse::accessToken),
    json::member("refresh_token", &AuthResponse::refreshToken),
    json::member("user", &AuthResponse::user),
};

/// The token pair the client keeps. Unlike the backend's records its JSON members are the field
/// names themselves; it is the token store's payload, coded with a default JSONEncoder/Decoder.
struct TARN_EXPORT AuthTokens {
    std::string accessToken;
    std::string refreshToken;

    friend bool operator==(const AuthTokens&, const AuthTokens&) = default;
    /// "AuthTokens(accessToken: <redacted>, refreshToken: <redacted>)"
    std::string description() const;
    friend std::ostream& operator<<(std::ostream& os, const AuthTokens& t) { return os << t.description(); }
};

template <>
inline constexpr auto json::members<AuthTokens> = std::tuple{
    json::member("accessToken", &AuthTokens::accessToken),
    json::member("refreshToken", &AuthTokens::refreshToken),
};

}  // namespace tarn
