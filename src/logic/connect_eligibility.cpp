#include "tarn/logic/connect_eligibility.hpp"

#include "tarn/platform/unicode.hpp"

#include <cstdio>

namespace tarn {

namespace {

void appendUTF8(std::string& out, char32_t scalar) {
    if (scalar < 0x80) {
        out += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        out += static_cast<char>(0xC0 | (scalar >> 6));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        out += static_cast<char>(0xE0 | (scalar >> 12));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (scalar >> 18));
        out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    }
}

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
                    appendUTF8(out, s);
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
