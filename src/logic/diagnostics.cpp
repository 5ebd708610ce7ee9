#include "tarn/logic/diagnostics.hpp"

#include "tarn/text/redaction.hpp"

namespace tarn {

std::string DiagnosticsBuilder::build(const std::optional<CRMUser>& user, std::string_view deviceID,
                                      std::string_view appVersion, const VPNConnectionState& vpnState,
                                      const std::optional<std::string>& lastError) const {
    // Only these three fields of the user are read: the report must never carry the email
    // address, the name or any other personal detail the record holds.
    std::string report;
    report.append("app_version=").append(appVersion);
    report.append("\ndevice_id=").append(deviceID);
    // The account identifier and the last error come from the server; neither may add lines to
    // the report or drive the terminal it is pasted into, and the error may quote credentials.
    report.append("\naccount_id=").append(user ? escapingControlCharacters(user->id) : "none");
    report.append("\nsubscription_status=").append(user ? rawValue(user->subscriptionStatus) : "unknown");
    report.append("\nvpn_access_status=").append(user ? rawValue(user->vpnAccessStatus) : "unknown");
    report.append("\nvpn_state=").append(vpnState.description());
    report.append("\nlast_error=").append(lastError ? escapingControlCharacters(Redactor().scrub(*lastError)) : "none");
    return report;
}

}  // namespace tarn
