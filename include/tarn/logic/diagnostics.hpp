// A short plain-text diagnostics report of key=value lines for support requests. It carries
// identifiers and states only: never an email address, a name or a token.
#pragma once

#include "tarn/export.hpp"
#include "tarn/logic/connect_eligibility.hpp"
#include "tarn/models/account.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tarn {

struct TARN_EXPORT DiagnosticsBuilder {
    /// Seven lines joined by "\n", none after the last:
    ///   app_version=<appVersion>
    ///   device_id=<deviceID>
    ///   account_id=<user id | none>
    ///   subscription_status=<active|expired|cancelled|blocked|none | unknown>
    ///   vpn_access_status=<enabled|disabled | unknown>
    ///   vpn_state=<VPNConnectionState::description()>
    ///   last_error=<lastError | none>
    /// Values go in as given (no trimming), except that the account identifier and lastError have
    /// their control characters escaped (a line feed in lastError reads "\n", so every report
    /// has exactly seven lines) and lastError is scrubbed of credentials and e-mail addresses;
    /// the words in angle brackets after "|" stand for an absent value.
    std::string build(const std::optional<CRMUser>& user, std::string_view deviceID, std::string_view appVersion,
                      const VPNConnectionState& vpnState, const std::optional<std::string>& lastError) const;

    friend bool operator==(const DiagnosticsBuilder&, const DiagnosticsBuilder&) = default;
};

}  // namespace tarn
