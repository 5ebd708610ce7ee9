#include "tarn/models/auth_requests.hpp"

#include "tarn/json/json_codec.hpp"

TARN_JSON_ENCODABLE_EXPORTED(TARN_EXPORT, tarn::RegisterRequest);
TARN_JSON_ENCODABLE_EXPORTED(TARN_EXPORT, tarn::AppleAuthRequest);
TARN_JSON_ENCODABLE_EXPORTED(TARN_EXPORT, tarn::OAuthSessionRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::LogoutRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::EmailCodeRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::EmailCodeVerificationRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::EmailCodeChallenge);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::TelegramAuthSessionRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::TelegramSessionVerificationRequest);
