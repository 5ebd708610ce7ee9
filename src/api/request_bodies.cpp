#include "api/request_bodies.hpp"

#include "tarn/json/json_codec.hpp"

TARN_JSON_ENCODABLE(tarn::detail::PasswordLoginBody);
TARN_JSON_ENCODABLE(tarn::detail::RefreshBody);
TARN_JSON_ENCODABLE(tarn::detail::VPNConfigBody);
TARN_JSON_ENCODABLE(tarn::detail::DeviceIDBody);
