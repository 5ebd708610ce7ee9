#include "tarn/models/sessions.hpp"

#include "api/json_codec.hpp"

namespace tarn {

std::string TelegramAuthSessionCredentials::description() const {
    return "TelegramAuthSessionCredentials(id: " + id + ", secret: <redacted>)";
}

std::string TelegramAuthSession::description() const {
    return "TelegramAuthSession(flowVersion: " + std::to_string(flowVersion) + ", session: " + session.description() +
           ", deeplink: " + telegramBotDeepLink.absoluteString() + ", expires: " + formatDescription(expiresAt) + ")";
}

}  // namespace tarn

TARN_JSON_CODABLE(tarn::TelegramAuthSessionCredentials);
TARN_JSON_CODABLE(tarn::TelegramAuthSession);
TARN_JSON_DECODABLE(tarn::TelegramSessionStatus);
TARN_JSON_CODABLE(tarn::OAuthAuthSession);
TARN_JSON_CODABLE(tarn::OAuthSessionStatus);
TARN_JSON_CODABLE(tarn::TelegramSessionState);
TARN_JSON_CODABLE(tarn::OAuthProvider);
TARN_JSON_CODABLE(tarn::OAuthSessionState);
