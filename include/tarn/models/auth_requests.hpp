// The bodies the sign-in operations send, and the backend's answer to an email-code request
// (EmailCodeChallenge, the one record here the application handles itself).
#pragma once

#include "tarn/export.hpp"
#include "tarn/json/json.hpp"
#include "tarn/text/redaction.hpp"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace tarn {

/// Account creation with email and password.
struct TARN_EXPORT RegisterRequest {
    std::string email;
    std::string password;
    std::optional<std::string> name;
    bool acceptedTerms = false;
    bool acceptedPersonalDataProcessing = false;

    friend bool operator==(const RegisterRequest&, const RegisterRequest&) = default;
    friend std::ostream& operator<<(std::ostream& os, const RegisterRequest& r) {
        return os << "RegisterRequest(email: " << escapingControlCharacters(Redactor().add(r.password).redact(r.email))
                  << ", password: <redacted>)";
    }
};

template <>
inline constexpr auto json::members<RegisterRequest> = std::tuple{
    json::member("email", &RegisterRequest::email),
    json::member("password", &RegisterRequest::password),
    json::member("name", &RegisterRequest::name),
    json::member("accepted_terms", &RegisterRequest::acceptedTerms),
    json::member("accepted_personal_data_processing", &RegisterRequest::acceptedPersonalDataProcessing),
};

/// Sign in with Apple.
struct TARN_EXPORT AppleAuthRequest {
    std::string identityToken;
    std::optional<std::string> authorizationCode;
    std::optional<std::string> name;
    std::string deviceID;

    friend bool operator==(const AppleAuthRequest&, const AppleAuthRequest&) = default;
    friend std::ostream& operator<<(std::ostream& os, const AppleAuthRequest& r) {
        return os << "AppleAuthRequest(identityToken: <redacted>, deviceID: "
                  << escapingControlCharacters(Redactor().add(r.identityToken).redact(r.deviceID)) << ")";
    }
};

template <>
inline constexpr auto json::members<AppleAuthRequest> = std::tuple{
    json::member("identity_token", &AppleAuthRequest::identityToken),
    json::member("authorization_code", &AppleAuthRequest::authorizationCode),
    json::member("name", &AppleAuthRequest::name),
    json::member("device_id", &AppleAuthRequest::deviceID),
};

/// Sign-out; carries the stored refresh token when there is one.
struct TARN_EXPORT LogoutRequest {
    std::optional<std::string> refreshToken;

    friend bool operator==(const LogoutRequest&, const LogoutRequest&) = default;
    friend std::ostream& operator<<(std::ostream& os, const LogoutRequest& r) {
        return os << "LogoutRequest(refreshToken: " << (r.refreshToken ? "<redacted>" : "nil") << ")";
    }
};

template <>
inline constexpr auto json::members<LogoutRequest> = std::tuple{
    json::member("refresh_token", &LogoutRequest::refreshToken),
};

/// Start of a browser-based OAuth sign-in.
struct TARN_EXPORT OAuthSessionRequest {
    std::string provider;
    std::string deviceID;
    std::string platform;

    friend bool operator==(const OAuthSessionRequest&, const OAuthSessionRequest&) = default;
};

template <>
inline constexpr auto json::members<OAuthSessionRequest> = std::tuple{
    json::member("provider", &OAuthSessionRequest::provider),
    json::member("device_id", &OAuthSessionRequest::deviceID),
    json::member("platform", &OAuthSessionRequest::platform),
};

/// Asks the backend to e-mail a one-time code.
struct TARN_EXPORT EmailCodeRequest {
    std::string email;
    std::string platform;
    std::string devicePublicID;

    friend bool operator==(const EmailCodeRequest&, const EmailCodeRequest&) = default;
};

template <>
inline constexpr auto json::members<EmailCodeRequest> = std::tuple{
    json::member("email", &EmailCodeRequest::email),
    json::member("platform", &EmailCodeRequest::platform),
    json::member("device_public_id", &EmailCodeRequest::devicePublicID),
};

/// Submits the e-mailed code.
struct TARN_EXPORT EmailCodeVerificationRequest {
    std::string challengeID;
    std::string code;
    bool acceptedTerms = false;
    bool acceptedPersonalDataProcessing = false;

    friend bool operator==(const EmailCodeVerificationRequest&, const EmailCodeVerificationRequest&) = default;
};

template <>
inline constexpr auto json::members<EmailCodeVerificationRequest> = std::tuple{
    json::member("code", &EmailCodeVerificationRequest::code),
    json::member("challenge_id", &EmailCodeVerificationRequest::challengeID),
    json::member("accepted_terms", &EmailCodeVerificationRequest::acceptedTerms),
    json::member("accepted_personal_data_processing", &EmailCodeVerificationRequest::acceptedPersonalDataProcessing),
};

/// The backend's answer to an email-code request. Identity: `challengeID`. The second counts are
/// carried as sent (zero or negative included); the email-code flow turns them into instants.
struct TARN_EXPORT EmailCodeChallenge {
    std::string challengeID;
    std::int64_t expiresIn = 0;
    std::int64_t resendAfter = 0;

    friend bool operator==(const EmailCodeChallenge&, const EmailCodeChallenge&) = default;
};

template <>
inline constexpr auto json::members<EmailCodeChallenge> = std::tuple{
    json::member("challenge_id", &EmailCodeChallenge::challengeID),
    json::member("expires_in", &EmailCodeChallenge::expiresIn),
    json::member("resend_after", &EmailCodeChallenge::resendAfter),
};

/// Opens a Telegram bot sign-in session.
struct TARN_EXPORT TelegramAuthSessionRequest {
    std::string devicePublicID;

    friend bool operator==(const TelegramAuthSessionRequest&, const TelegramAuthSessionRequest&) = default;
};

template <>
inline constexpr auto json::members<TelegramAuthSessionRequest> = std::tuple{
    json::member("device_public_id", &TelegramAuthSessionRequest::devicePublicID),
};

/// Submits the code the Telegram bot showed. The session id travels in the path and the secret in
/// a header, never here.
struct TARN_EXPORT TelegramSessionVerificationRequest {
    std::string code;

    friend bool operator==(const TelegramSessionVerificationRequest&, const TelegramSessionVerificationRequest&) = default;
};

template <>
inline constexpr auto json::members<TelegramSessionVerificationRequest> = std::tuple{
    json::member("code", &TelegramSessionVerificationRequest::code),
};

}  // namespace tarn
