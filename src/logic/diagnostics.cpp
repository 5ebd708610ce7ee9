#include "tarn/logic/diagnostics.hpp"

namespace tarn {

std::string DiagnosticsBuilder::build(const std::optional<CRMUser>& user, std::string_view deviceID,
                                      std::string_view appVersion, const VPNConnectionState& vpnState,
                                      const std::optional<std::string>& lastError) const {
    // Only these three fields of the user are read: the report must never carry the email
    // address, the name or any other personal detail the record holds.
    std::string report;
    report.append("app_version=").append(appVersion);
    report.append("\ndevice_id=").append(deviceID);
    report.append("\naccount_id=").append(user ? std::string_view(user->id) : "none");
    report.append("\nsubscription_status=").append(user ? rawValue(user->subscriptionStatus) : "unknown");
    report.append("\nvpn_access_status=").append(user ? rawValue(user->vpnAccessStatus) : "unknown");
    report.append("\nvpn_state=").append(vpnState.description());
    report.append("\nlast_error=").append(lastError ? std::string_view(*lastError) : "none");
    return report;
}

}  // namespace tarn
