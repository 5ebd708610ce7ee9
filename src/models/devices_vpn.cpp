#include "tarn/models/devices_vpn.hpp"

#include "api/json_codec.hpp"

TARN_JSON_CODABLE(tarn::UserSyncRequest);
TARN_JSON_CODABLE(tarn::BotSync);
TARN_JSON_CODABLE(tarn::UserSyncResponse);
TARN_JSON_CODABLE(tarn::AccountDevice);
TARN_JSON_CODABLE(tarn::AccountDevicesResponse);
TARN_JSON_CODABLE(tarn::AccountDeviceRemovalResponse);
TARN_JSON_CODABLE(tarn::VPNServer);
TARN_JSON_CODABLE(tarn::VLESSConfig);
