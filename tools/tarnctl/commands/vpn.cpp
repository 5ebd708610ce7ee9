// Servers, and handing a connection profile to the tunnel process (connect) or taking it back.
#include "commands.hpp"

#include "../errors.hpp"

#include <algorithm>
#include <iostream>
#include <tuple>

namespace tarnctl {

namespace {

std::string location(const tarn::VPNServer& s) {
    return (s.flag ? *s.flag + " " : std::string()) + s.city + ", " + s.country;
}

std::string fileSize(const std::filesystem::path& p) {
    std::error_code ec;
    auto size = std::filesystem::file_size(p, ec);
    return ec ? "?" : std::to_string(size) + " bytes";
}

}  // namespace

std::vector<tarn::VPNServer> sortedByLoad(std::vector<tarn::VPNServer> servers) {
    std::stable_sort(servers.begin(), servers.end(), [](const tarn::VPNServer& a, const tarn::VPNServer& b) {
        return std::tie(a.load, a.latency, a.id) < std::tie(b.load, b.latency, b.id);
    });
    return servers;
}

void printServers(std::ostream& os, const std::vector<tarn::VPNServer>& servers) {
    if (servers.empty()) {
        os << "No servers.\n";
        return;
    }
    Table table({"ID", "LOCATION", "LOAD", "LATENCY", "STATUS", "TIER", "PROTOCOL"});
    for (const auto& s : servers) {
        table.row({s.id, location(s), std::to_string(s.load) + "%", std::to_string(s.latency) + " ms",
                   s.isAvailable ? "available" : "unavailable", s.isPremium ? "premium" : "standard", s.protocolName});
    }
    table.print(os);
}

int runServers(App& app) {
    std::vector<tarn::VPNServer> servers = sortedByLoad(app.client().servers());
    if (app.out().json()) {
        std::vector<std::string> items;
        for (const auto& s : servers) items.push_back(encodeRecord(s));
        app.out().document(jsonArray(items));
    } else {
        printServers(std::cout, servers);
    }
    return exitOK;
}

std::string refusalText(const tarn::VPNConnectionState& reason, const std::optional<tarn::CRMUser>& user,
                        const std::string& serverID) {
    using Kind = tarn::VPNConnectionState::Kind;
    switch (reason.kind()) {
        case Kind::noSubscription:
            if (!user) return "not signed in";
            return "the subscription does not allow the VPN (subscription " +
                   std::string(tarn::rawValue(user->subscriptionStatus)) + ", VPN access " +
                   std::string(tarn::rawValue(user->vpnAccessStatus)) + ")";
        case Kind::serverUnavailable:
            return serverID.empty() ? "no server is available now"
                                    : "server \"" + serverID + "\" is not available (see `tarnctl servers`)";
        case Kind::noConfig:
            return "the connection profile the server sent is for another server";
        default:
            return reason.description();
    }
}

namespace {

[[noreturn]] void refuse(const tarn::VPNConnectionState& reason, const std::optional<tarn::CRMUser>& user,
                         const std::string& serverID) {
    throw CliError(exitRefused, "refused", "cannot connect: " + refusalText(reason, user, serverID),
                   {{"reason", jsonString(reason.description())}});
}

}  // namespace

ConnectResult connectTo(App& app, const std::string& serverID) {
    SyncClient& client = app.client();
    std::optional<tarn::CRMUser> user = client.me();
    std::vector<tarn::VPNServer> servers = sortedByLoad(client.servers());
    std::optional<tarn::VPNServer> server;
    for (const auto& s : servers) {
        if (serverID.empty() ? s.isAvailable : s.id == serverID) {
            server = s;
            break;
        }
    }
    // Decide on what is known before asking for a profile, so that a refusal says why instead of
    // surfacing as the backend's 403 or 503.
    tarn::ConnectEligibility before = tarn::ConnectEligibility::evaluate(user, server, std::nullopt);
    if (before.reason() && before.reason()->kind() != tarn::VPNConnectionState::Kind::noConfig) {
        refuse(*before.reason(), user, serverID);
    }
    tarn::VLESSConfig config = client.vpnConfig(server->id, app.deviceID(), clientPlatform);
    tarn::ConnectEligibility decision = tarn::ConnectEligibility::evaluate(user, server, config);
    if (!decision.canConnect()) refuse(*decision.reason(), user, server->id);

    tarn::SharedContainer container = app.container();
    container.write(config);
    return {*user, decision, *server, config, container.url(), {container.xrayConfigURL(), container.vlessConfigURL()}};
}

int runConnect(App& app, const std::string& serverID) {
    ConnectResult result = connectTo(app, serverID);
    if (app.out().json()) {
        std::vector<std::string> files;
        for (const auto& f : result.files) files.push_back(jsonString(f.string()));
        app.out().document(JsonObject()
                               .raw("server", encodeRecord(result.server))
                               .raw("eligibility", JsonObject().boolean("can_connect", true).null("reason").str())
                               .string("directory", result.directory.string())
                               .raw("files", jsonArray(files))
                               .str());
        return exitOK;
    }
    std::cout << "Connecting to " << result.server.id << " (" << location(result.server) << ", load "
              << result.server.load << "%): allowed.\nThe profile for the tunnel is in " << result.directory.string()
              << ":\n";
    for (const auto& f : result.files) std::cout << "  " << f.filename().string() << "  " << fileSize(f) << '\n';
    return exitOK;
}

int runDisconnect(App& app) {
    tarn::SharedContainer container = app.container();
    std::vector<std::string> present;
    std::error_code ec;
    for (const auto& f : {container.xrayConfigURL(), container.vlessConfigURL()}) {
        if (std::filesystem::exists(f, ec)) present.push_back(f.string());
    }
    container.clearVPNConfig();
    // clearVPNConfig never reports a failure; say so when a file is still there, with the reason
    // a removal of our own gets (a read-only file system, a directory we may not change).
    for (const auto& f : present) {
        if (std::filesystem::exists(f, ec)) {
            std::error_code why;
            if (!std::filesystem::remove(f, why) && !why) continue;
            if (why) throw std::filesystem::filesystem_error("cannot remove the connection profile", f, why);
        }
    }
    if (app.out().json()) {
        std::vector<std::string> removed;
        for (const auto& f : present) removed.push_back(jsonString(f));
        app.out().document(
            JsonObject().string("directory", container.url().string()).raw("removed", jsonArray(removed)).str());
    } else if (present.empty()) {
        std::cout << "Not connected: no connection profile in " << container.url().string() << ".\n";
    } else {
        std::cout << "Disconnected: removed the connection profile from " << container.url().string() << ".\n";
    }
    return exitOK;
}

}  // namespace tarnctl
