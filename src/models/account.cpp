#include "tarn/models/account.hpp"

#include "api/json_codec.hpp"

namespace tarn {

std::string AuthResponse::description() const {
    return "AuthResponse(accessToken: <redacted>, refreshToken: <redacted>, user: " + user.id + ")";
}

std::string AuthTokens::description() const { return "AuthTokens(accessToken: <redacted>, refreshToken: <redacted>)"; }

}  // namespace tarn

TARN_JSON_CODABLE(tarn::CRMUser);
TARN_JSON_CODABLE(tarn::AuthResponse);
TARN_JSON_CODABLE(tarn::AuthTokens);
TARN_JSON_CODABLE(tarn::SubscriptionStatus);
TARN_JSON_CODABLE(tarn::VPNAccessStatus);
TARN_JSON_CODABLE(tarn::SubscriptionSource);
TARN_JSON_CODABLE(tarn::Plan);
