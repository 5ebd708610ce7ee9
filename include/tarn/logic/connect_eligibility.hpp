// The connect decision: may this user connect to this server with this profile now? Also the
// connection-state vocabulary the application shows and the diagnostics report prints.
// Pure; any thread.
#pragma once

#include "tarn/export.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/devices_vpn.hpp"

#include <optional>
#include <ostream>
#include <string>

namespace tarn {

/// The state of the tunnel as the application shows it. Only `failed` carries a payload, its
/// message; two states are equal when the case and, for `failed`, the message are.
class TARN_EXPORT VPNConnectionState {
public:
    enum class Kind {
        failed,
        disconnected,
        connecting,
        connected,
        disconnecting,
        noSubscription,     // no user, or subscription or VPN access does not permit connecting
        noConfig,           // no connection profile, or one for another server
        serverUnavailable,  // no server chosen, or the server is marked unavailable
    };

    static VPNConnectionState failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static VPNConnectionState disconnected() { return {Kind::disconnected, {}}; }
    static VPNConnectionState connecting() { return {Kind::connecting, {}}; }
    static VPNConnectionState connected() { return {Kind::connected, {}}; }
    static VPNConnectionState disconnecting() { return {Kind::disconnecting, {}}; }
    static VPNConnectionState noSubscription() { return {Kind::noSubscription, {}}; }
    static VPNConnectionState noConfig() { return {Kind::noConfig, {}}; }
    static VPNConnectionState serverUnavailable() { return {Kind::serverUnavailable, {}}; }

    Kind kind() const noexcept { return kind_; }
    /// The message of `failed`; "" for every other case.
    const std::string& message() const noexcept { return message_; }

    /// The case name ("connected"), or for `failed` the message as a quoted, escaped literal:
    /// failed("said \"no\"\n"). Quote, backslash, \0, \n, \r and \t get their short escapes, every
    /// other control character (C0, DEL, C1, U+2028, U+2029) is written \u{1B}, so the text is
    /// always one line. Bytes that are not UTF-8 appear as U+FFFD.
    std::string description() const;

    friend bool operator==(const VPNConnectionState&, const VPNConnectionState&) = default;
    friend std::ostream& operator<<(std::ostream& os, const VPNConnectionState& s) { return os << s.description(); }

private:
    VPNConnectionState(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
};

/// The answer of evaluate: whether the tunnel may start and, when not, why (noSubscription,
/// serverUnavailable or noConfig). Values come from evaluate only.
class TARN_EXPORT ConnectEligibility {
public:
    /// The first rule that decides, in this order: no user, or a user whose subscription does not
    /// allow the VPN or whose VPN access is not enabled -> noSubscription; no server, or one not
    /// available -> serverUnavailable; no profile, or one whose serverID is not exactly the
    /// server's id -> noConfig; otherwise the tunnel may start.
    static ConnectEligibility evaluate(const std::optional<CRMUser>& user, const std::optional<VPNServer>& server,
                                       const std::optional<VLESSConfig>& config);

    bool canConnect() const noexcept { return canConnect_; }
    /// nullopt exactly when canConnect is true.
    const std::optional<VPNConnectionState>& reason() const noexcept { return reason_; }

    friend bool operator==(const ConnectEligibility&, const ConnectEligibility&) = default;
    /// "ConnectEligibility(canConnect: false, reason: noConfig)"
    friend TARN_EXPORT std::ostream& operator<<(std::ostream& os, const ConnectEligibility& e);

private:
    ConnectEligibility(bool canConnect, std::optional<VPNConnectionState> reason)
        : canConnect_(canConnect), reason_(std::move(reason)) {}

    bool canConnect_;
    std::optional<VPNConnectionState> reason_;
};

}  // namespace tarn
