#include "tarn/models/sessions.hpp"

#include "tarn/api/json_codec.hpp"

namespace tarn {

std::string TelegramAuthSessionCredentials::description() const {
    return "TelegramAuthSessionCredentials(id: " + id + ", secret: <redacted>)";
}

std::string TelegramAuthSession::description() const {
    return "TelegramAuthSession(flowVersion: " + std::to_string(flowVersion) + ", session: " + session.description() +
           ", deeplink: " + telegramBotDeepLink.absoluteString() + ", expires: " + formatDescription(expiresAt) + ")";
}

}  // namespace tarn

TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::TelegramAuthSessionCredentials);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::TelegramAuthSession);
TARN_JSON_DECODABLE_EXPORTED(TARN_EXPORT, tarn::TelegramSessionStatus);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::OAuthAuthSession);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::OAuthSessionStatus);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::TelegramSessionState);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::OAuthProvider);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::OAuthSessionState);
