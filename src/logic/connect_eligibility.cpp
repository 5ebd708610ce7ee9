#include "tarn/logic/connect_eligibility.hpp"

#include "tarn/platform/unicode.hpp"

#include <cstdio>

namespace tarn {

namespace {

// Line breaks beyond \n and \r count as controls here: the rendering must stay on one line.
bool needsHexEscape(char32_t s) {
    return s < 0x20 || (s >= 0x7F && s <= 0x9F) || s == 0x2028 || s == 0x2029;
}

// The message as a Swift-style debug literal: "…" with \" \\ \0 \n \r \t and \u{XX}.
std::string quotedLiteral(std::string_view message) {
    std::string out = "\"";
    for (char32_t s : unicode::toScalars(message)) {
        switch (s) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\0': out += "\\0"; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            case U'\t': out += "\\t"; break;
            default:
                if (needsHexEscape(s)) {
                    char buffer[16];
                    std::snprintf(buffer, sizeof buffer, "\\u{%X}", static_cast<unsigned>(s));
                    out += buffer;
                } else {
                    unicode::appendUTF8(out, s);
                }
        }
    }
    out += '"';
    return out;
}

const char* caseName(VPNConnectionState::Kind kind) {
    using Kind = VPNConnectionState::Kind;
    switch (kind) {
        case Kind::failed: return "failed";
        case Kind::disconnected: return "disconnected";
        case Kind::connecting: return "connecting";
        case Kind::connected: return "connected";
        case Kind::disconnecting: return "disconnecting";
        case Kind::noSubscription: return "noSubscription";
        case Kind::noConfig: return "noConfig";
        case Kind::serverUnavailable: return "serverUnavailable";
    }
    return "";
}

}  // namespace

std::string VPNConnectionState::description() const {
    if (kind_ != Kind::failed) return caseName(kind_);
    return "failed(" + quotedLiteral(message_) + ")";
}

ConnectEligibility ConnectEligibility::evaluate(const std::optional<CRMUser>& user,
                                                const std::optional<VPNServer>& server,
                                                const std::optional<VLESSConfig>& config) {
    if (!user || !allowsVPN(user->subscriptionStatus) || user->vpnAccessStatus != VPNAccessStatus::enabled) {
        return {false, VPNConnectionState::noSubscription()};
    }
    if (!server || !server->isAvailable) return {false, VPNConnectionState::serverUnavailable()};
    if (!config || config->serverID != server->id) return {false, VPNConnectionState::noConfig()};
    return {true, std::nullopt};
}

std::ostream& operator<<(std::ostream& os, const ConnectEligibility& e) {
    os << "ConnectEligibility(canConnect: " << (e.canConnect_ ? "true" : "false") << ", reason: ";
    if (e.reason_) {
        os << *e.reason_;
    } else {
        os << "nil";
    }
    return os << ")";
}

}  // namespace tarn
