// Records for user sync, the account's devices under the device limit, the VPN server list and the
// VLESS connection profile of one server and device.
#pragma once

#include "tarn/export.hpp"
#include "tarn/json/json.hpp"
#include "tarn/models/account.hpp"
#include "tarn/platform/timestamp.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarn {

/// Reports the app installation; the backend answers with the up-to-date user.
struct TARN_EXPORT UserSyncRequest {
    std::string deviceID;
    std::string platform;
    std::string appVersion;
    std::optional<std::string> crmUserID;
    std::optional<std::string> email;
    std::optional<std::string> telegramUserID;
    std::optional<std::string> telegramUsername;

    friend bool operator==(const UserSyncRequest&, const UserSyncRequest&) = default;
};

template <>
inline constexpr auto json::members<UserSyncRequest> = std::tuple{
    json::member("device_id", &UserSyncRequest::deviceID),
    json::member("platform", &UserSyncRequest::platform),
    json::member("app_version", &UserSyncRequest::appVersion),
    json::member("crm_user_id", &UserSyncRequest::crmUserID),
    json::member("email", &UserSyncRequest::email),
    json::member("telegram_user_id", &UserSyncRequest::telegramUserID),
    json::member("telegram_username", &UserSyncRequest::telegramUsername),
};

/// State of the user's link to the Telegram bot; `status` is the backend's free text.
struct TARN_EXPORT BotSync {
    std::string status;
    std::optional<Timestamp> lastSyncAt;

    friend bool operator==(const BotSync&, const BotSync&) = default;
};

template <>
inline constexpr auto json::members<BotSync> = std::tuple{
    json::member("status", &BotSync::status),
    json::member("last_sync_at", &BotSync::lastSyncAt),
};

struct TARN_EXPORT UserSyncResponse {
    CRMUser user;
    BotSync botSync;

    friend bool operator==(const UserSyncResponse&, const UserSyncResponse&) = default;
};

template <>
inline constexpr auto json::members<UserSyncResponse> = std::tuple{
    json::member("user", &UserSyncResponse::user),
    json::member("bot_sync", &UserSyncResponse::botSync),
};

/// One registered device of the account. Identity: `id`, the backend's number for it.
struct TARN_EXPORT AccountDevice {
    std::int64_t id = 0;
    std::string deviceID;  // the identifier the device itself reports
    std::string name;
    std::optional<std::string> model;
    std::string platform;
    std::optional<std::string> platformVersion;
    std::optional<std::string> clientApp;
    std::optional<std::string> clientVersion;
    std::optional<Timestamp> lastSeenAt;

    friend bool operator==(const AccountDevice&, const AccountDevice&) = default;
};

template <>
inline constexpr auto json::members<AccountDevice> = std::tuple{
    json::member("id", &AccountDevice::id),
    json::member("name", &AccountDevice::name),
    json::member("model", &AccountDevice::model),
    json::member("platform", &AccountDevice::platform),
    json::member("device_id", &AccountDevice::deviceID),
    json::member("platform_version", &AccountDevice::platformVersion),
    json::member("client_app", &AccountDevice::clientApp),
    json::member("client_version", &AccountDevice::clientVersion),
    json::member("last_seen_at", &AccountDevice::lastSeenAt),
};

/// The device list with the limit.
struct TARN_EXPORT AccountDevicesResponse {
    bool subscriptionActive = false;
    std::vector<AccountDevice> devices;
    std::int64_t used = 0;
    std::int64_t limit = 0;
    std::int64_t available = 0;

    friend bool operator==(const AccountDevicesResponse&, const AccountDevicesResponse&) = default;
};

template <>
inline constexpr auto json::members<AccountDevicesResponse> = std::tuple{
    json::member("devices", &AccountDevicesResponse::devices),
    json::member("used", &AccountDevicesResponse::used),
    json::member("limit", &AccountDevicesResponse::limit),
    json::member("available", &AccountDevicesResponse::available),
    json::member("subscription_active", &AccountDevicesResponse::subscriptionActive),
};

/// The answer to removing one device: the list after removal.
struct TARN_EXPORT AccountDeviceRemovalResponse {
    bool ok = false;
    bool subscriptionActive = false;
    std::vector<AccountDevice> devices;
    std::int64_t used = 0;
    std::int64_t limit = 0;
    std::int64_t available = 0;
    std::optional<bool> legacyProfileRotated;

    /// The same list and counts as an AccountDevicesResponse (`ok` and `legacyProfileRotated` dropped).
    AccountDevicesResponse devicesResponse() const { return {subscriptionActive, devices, used, limit, available}; }
    friend bool operator==(const AccountDeviceRemovalResponse&, const AccountDeviceRemovalResponse&) = default;
};

template <>
inline constexpr auto json::members<AccountDeviceRemovalResponse> = std::tuple{
    json::member("ok", &AccountDeviceRemovalResponse::ok),
    json::member("devices", &AccountDeviceRemovalResponse::devices),
    json::member("used", &AccountDeviceRemovalResponse::used),
    json::member("limit", &AccountDeviceRemovalResponse::limit),
    json::member("available", &AccountDeviceRemovalResponse::available),
    json::member("subscription_active", &AccountDeviceRemovalResponse::subscriptionActive),
    json::member("legacy_profile_rotated", &AccountDeviceRemovalResponse::legacyProfileRotated),
};

/// One selectable server. Identity: `id`. `protocolName` travels as "protocol".
struct TARN_EXPORT VPNServer {
    std::string id;
    std::string country;
    std::string city;
    std::optional<std::string> flag;
    std::int64_t load = 0;
    std::int64_t latency = 0;
    bool isAvailable = false;
    bool isPremium = false;
    std::string protocolName;

    friend bool operator==(const VPNServer&, const VPNServer&) = default;
};

template <>
inline constexpr auto json::members<VPNServer> = std::tuple{
    json::member("id", &VPNServer::id),
    json::member("country", &VPNServer::country),
    json::member("city", &VPNServer::city),
    json::member("flag", &VPNServer::flag),
    json::member("load", &VPNServer::load),
    json::member("latency", &VPNServer::latency),
    json::member("is_available", &VPNServer::isAvailable),
    json::member("is_premium", &VPNServer::isPremium),
    json::member("protocol", &VPNServer::protocolName),
};

/// The connection profile for one server and device. The library carries `uri` and `xrayJSON`
/// (a complete Xray configuration as JSON text in one string) without looking inside.
struct TARN_EXPORT VLESSConfig {
    std::string uri;
    std::string xrayJSON;
    std::string serverID;
    std::string userID;
    SubscriptionStatus subscriptionStatus = SubscriptionStatus::none;
    VPNAccessStatus vpnAccessStatus = VPNAccessStatus::disabled;

    friend bool operator==(const VLESSConfig&, const VLESSConfig&) = default;
};

template <>
inline constexpr auto json::members<VLESSConfig> = std::tuple{
    json::member("uri", &VLESSConfig::uri),
    json::member("xray_json", &VLESSConfig::xrayJSON),
    json::member("server_id", &VLESSConfig::serverID),
    json::member("user_id", &VLESSConfig::userID),
    json::member("subscription_status", &VLESSConfig::subscriptionStatus),
    json::member("vpn_access_status", &VLESSConfig::vpnAccessStatus),
};

}  // namespace tarn
