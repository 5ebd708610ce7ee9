// Small request bodies that the operations build from their arguments and that have no public
// record of their own.
#pragma once

#include "tarn/json/json.hpp"

#include <string>

namespace tarn::detail {

struct PasswordLoginBody {
    std::string email;
    std::string password;
};

struct RefreshBody {
    std::string refreshToken;
};

struct VPNConfigBody {
    std::string serverID;
    std::string deviceID;
    std::string protocolName;
    std::string platform;
};

struct DeviceIDBody {
    std::string deviceID;
};

}  // namespace tarn::detail

namespace tarn::json {

template <>
inline constexpr auto members<detail::PasswordLoginBody> = std::tuple{
    member("email", &detail::PasswordLoginBody::email),
    member("password", &detail::PasswordLoginBody::password),
};
template <>
inline constexpr auto members<detail::RefreshBody> = std::tuple{
    member("refresh_token", &detail::RefreshBody::refreshToken),
};
template <>
inline constexpr auto members<detail::VPNConfigBody> = std::tuple{
    member("server_id", &detail::VPNConfigBody::serverID),
    member("device_id", &detail::VPNConfigBody::deviceID),
    member("protocol", &detail::VPNConfigBody::protocolName),
    member("platform", &detail::VPNConfigBody::platform),
};
template <>
inline constexpr auto members<detail::DeviceIDBody> = std::tuple{
    member("device_id", &detail::DeviceIDBody::deviceID),
};

}  // namespace tarn::json
