#include "tarn/models/account.hpp"

#include "tarn/json/json_codec.hpp"
#include "tarn/text/redaction.hpp"

namespace tarn {

std::string AuthResponse::description() const {
    Redactor redactor;
    redactor.add(accessToken).add(refreshToken);
    return "AuthResponse(accessToken: <redacted>, refreshToken: <redacted>, user: " +
           escapingControlCharacters(redactor.redact(user.id)) + ")";
}

std::string AuthTokens::description() const { return "AuthTokens(accessToken: <redacted>, refreshToken: <redacted>)"; }

}  // namespace tarn

TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::CRMUser);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::AuthResponse);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::AuthTokens);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::SubscriptionStatus);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::VPNAccessStatus);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::SubscriptionSource);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::Plan);
