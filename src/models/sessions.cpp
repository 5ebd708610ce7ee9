#include "tarn/models/sessions.hpp"

#include "tarn/json/json_codec.hpp"
#include "tarn/text/redaction.hpp"

namespace tarn {

// The secret may turn up in another member too (a backend that puts it into the deep link or
// the identifier), so it is redacted wherever it appears; the backend's text is escaped.
std::string TelegramAuthSessionCredentials::description() const {
    Redactor redactor;
    redactor.add(secret);
    return "TelegramAuthSessionCredentials(id: " + escapingControlCharacters(redactor.redact(id)) +
           ", secret: " + std::string(redactedMarker) + ")";
}

std::string TelegramAuthSession::description() const {
    Redactor redactor;
    redactor.add(session.secret);
    return "TelegramAuthSession(flowVersion: " + std::to_string(flowVersion) + ", session: " + session.description() +
           ", deeplink: " + escapingControlCharacters(redactor.redact(telegramBotDeepLink.absoluteString())) +
           ", expires: " + formatDescription(expiresAt) + ")";
}

std::ostream& operator<<(std::ostream& os, const OAuthSessionStatus& s) {
    os << "OAuthSessionStatus(status: " << s.status;
    if (s.auth) os << ", auth: " << *s.auth;
    if (s.error) os << ", error: " << escapingControlCharacters(*s.error);
    return os << ")";
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
