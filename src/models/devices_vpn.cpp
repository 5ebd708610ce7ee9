#include "tarn/models/devices_vpn.hpp"

#include "tarn/json/json_codec.hpp"

TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::UserSyncRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::BotSync);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::UserSyncResponse);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::AccountDevice);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::AccountDevicesResponse);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::AccountDeviceRemovalResponse);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::VPNServer);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::VLESSConfig);
