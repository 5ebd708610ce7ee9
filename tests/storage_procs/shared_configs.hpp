// The two connection profiles the kill test alternates between, known to the writer process and
// the test that checks what it left behind.
#pragma once

#include "tarn/models/devices_vpn.hpp"

#include <string>

namespace tarn::testing {

// Large enough that a write takes a while, so a kill lands in the middle of one.
inline VLESSConfig alternatingConfig(char which) {
    VLESSConfig config;
    config.uri = std::string("vless://") + which + "@example.invalid:443";
    config.xrayJSON = "{\"outbounds\":[{\"tag\":\"" + std::string(1, which) + "\",\"pad\":\"" +
                      std::string(512 * 1024, which) + "\"}]}";
    config.serverID = std::string("server-") + which;
    config.userID = std::string("user-") + which;
    config.subscriptionStatus = which == 'A' ? SubscriptionStatus::active : SubscriptionStatus::expired;
    config.vpnAccessStatus = which == 'A' ? VPNAccessStatus::enabled : VPNAccessStatus::disabled;
    return config;
}

}  // namespace tarn::testing
