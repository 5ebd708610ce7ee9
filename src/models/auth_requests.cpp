#include "tarn/models/auth_requests.hpp"

#include "api/json_codec.hpp"

TARN_JSON_ENCODABLE(tarn::RegisterRequest);
TARN_JSON_ENCODABLE(tarn::AppleAuthRequest);
TARN_JSON_ENCODABLE(tarn::OAuthSessionRequest);
TARN_JSON_CODABLE(tarn::LogoutRequest);
TARN_JSON_CODABLE(tarn::EmailCodeRequest);
TARN_JSON_CODABLE(tarn::EmailCodeVerificationRequest);
TARN_JSON_CODABLE(tarn::EmailCodeChallenge);
TARN_JSON_CODABLE(tarn::TelegramAuthSessionRequest);
TARN_JSON_CODABLE(tarn::TelegramSessionVerificationRequest);
