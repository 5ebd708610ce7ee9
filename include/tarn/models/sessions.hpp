// The Telegram bot and OAuth sign-in sessions: what the backend opens, their states, and what a
// status poll returns. A Telegram status answer can never carry tokens (decoding refuses it), and
// no description ever shows a session secret, in whichever member the backend put it.
#pragma once

#include "tarn/export.hpp"
#include "tarn/json/json.hpp"
#include "tarn/models/account.hpp"
#include "tarn/json/string_enum.hpp"
#include "tarn/platform/timestamp.hpp"
#include "tarn/platform/url.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace tarn {

enum class TelegramSessionState { pending, codeReady, confirmed, expired, conflict, cancelled, verified, consumed };
enum class OAuthProvider { google };
enum class OAuthSessionState { pending, confirmed, expired, conflict };

template <>
inline constexpr auto enumCases<TelegramSessionState> = std::array{
    EnumCase<TelegramSessionState>{TelegramSessionState::pending, "pending"},
    EnumCase<TelegramSessionState>{TelegramSessionState::codeReady, "code_ready"},
    EnumCase<TelegramSessionState>{TelegramSessionState::confirmed, "confirmed"},
    EnumCase<TelegramSessionState>{TelegramSessionState::expired, "expired"},
    EnumCase<TelegramSessionState>{TelegramSessionState::conflict, "conflict"},
    EnumCase<TelegramSessionState>{TelegramSessionState::cancelled, "cancelled"},
    EnumCase<TelegramSessionState>{TelegramSessionState::verified, "verified"},
    EnumCase<TelegramSessionState>{TelegramSessionState::consumed, "consumed"},
};
template <>
inline constexpr auto enumCases<OAuthProvider> = std::array{
    EnumCase<OAuthProvider>{OAuthProvider::google, "google"},
};
template <>
inline constexpr auto enumCases<OAuthSessionState> = std::array{
    EnumCase<OAuthSessionState>{OAuthSessionState::pending, "pending"},
    EnumCase<OAuthSessionState>{OAuthSessionState::confirmed, "confirmed"},
    EnumCase<OAuthSessionState>{OAuthSessionState::expired, "expired"},
    EnumCase<OAuthSessionState>{OAuthSessionState::conflict, "conflict"},
};

/// Identifier and secret of a Telegram sign-in session. The JSON form carries the secret in clear
/// (the client needs it for later calls); the description never does.
struct TARN_EXPORT TelegramAuthSessionCredentials {
    std::string id;
    std::string secret;

    friend bool operator==(const TelegramAuthSessionCredentials&, const TelegramAuthSessionCredentials&) = default;
    /// "TelegramAuthSessionCredentials(id: <id>, secret: <redacted>)"
    std::string description() const;
    friend std::ostream& operator<<(std::ostream& os, const TelegramAuthSessionCredentials& c) {
        return os << c.description();
    }
};

template <>
inline constexpr auto json::members<TelegramAuthSessionCredentials> = std::tuple{
    json::member("id", &TelegramAuthSessionCredentials::id),
    json::member("secret", &TelegramAuthSessionCredentials::secret),
};

/// The Telegram session the backend opened. Identity: the session identifier. Decoding accepts
/// any flow version and any link; TelegramAuthContract checks them.
struct TARN_EXPORT TelegramAuthSession {
    std::int64_t flowVersion = 0;
    TelegramAuthSessionCredentials session;
    URL telegramBotDeepLink;
    Timestamp expiresAt;

    const std::string& id() const { return session.id; }
    friend bool operator==(const TelegramAuthSession&, const TelegramAuthSession&) = default;
    /// "TelegramAuthSession(flowVersion: 2, session: TelegramAuthSessionCredentials(id: …,
    /// secret: <redacted>), deeplink: https://…, expires: 2024-05-01 12:00:00 +0000)"; the
    /// secret is shown as <redacted> in the deep link and the identifier as well.
    std::string description() const;
    friend std::ostream& operator<<(std::ostream& os, const TelegramAuthSession& s) { return os << s.description(); }
};

template <>
inline constexpr auto json::members<TelegramAuthSession> = std::tuple{
    json::member("flow_version", &TelegramAuthSession::flowVersion),
    json::member("session", &TelegramAuthSession::session),
    json::member("deeplink", &TelegramAuthSession::telegramBotDeepLink),
    json::member("expires", &TelegramAuthSession::expiresAt),
};

/// The answer to a Telegram status poll. Decoding only; an answer that mentions credentials at all
/// ("auth", "access_token", "refresh_token", even as null) is refused as a whole.
struct TARN_EXPORT TelegramSessionStatus {
    TelegramSessionState status = TelegramSessionState::pending;
    std::optional<std::string> error;

    friend bool operator==(const TelegramSessionStatus&, const TelegramSessionStatus&) = default;
};

template <>
inline constexpr auto json::members<TelegramSessionStatus> = std::tuple{
    json::member("status", &TelegramSessionStatus::status),
    json::member("error", &TelegramSessionStatus::error),
};

template <>
inline constexpr auto json::refusal<TelegramSessionStatus> = json::Refusal<3>{
    {"auth", "access_token", "refresh_token"},
    "status",
    "Telegram status must never contain authentication credentials",
};

/// The OAuth session the backend opened. Identity: `authSessionID`.
struct TARN_EXPORT OAuthAuthSession {
    std::string authSessionID;
    URL authorizationURL;
    Timestamp expiresAt;

    const std::string& id() const { return authSessionID; }
    friend bool operator==(const OAuthAuthSession&, const OAuthAuthSession&) = default;
};

template <>
inline constexpr auto json::members<OAuthAuthSession> = std::tuple{
    json::member("auth_session_id", &OAuthAuthSession::authSessionID),
    json::member("authorization_url", &OAuthAuthSession::authorizationURL),
    json::member("expires_at", &OAuthAuthSession::expiresAt),
};

/// The answer to an OAuth status poll; may carry the sign-in result in any state.
struct TARN_EXPORT OAuthSessionStatus {
    OAuthSessionState status = OAuthSessionState::pending;
    std::optional<AuthResponse> auth;
    std::optional<std::string> error;

    friend bool operator==(const OAuthSessionStatus&, const OAuthSessionStatus&) = default;
    /// The tokens of `auth` redacted, the backend's error text escaped.
    friend TARN_EXPORT std::ostream& operator<<(std::ostream& os, const OAuthSessionStatus& s);
};

template <>
inline constexpr auto json::members<OAuthSessionStatus> = std::tuple{
    json::member("status", &OAuthSessionStatus::status),
    json::member("auth", &OAuthSessionStatus::auth),
    json::member("error", &OAuthSessionStatus::error),
};

}  // namespace tarn
