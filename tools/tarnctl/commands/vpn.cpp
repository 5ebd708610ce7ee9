// Servers, and handing a connection profile to the tunnel process (connect) or taking it back.
#include "commands.hpp"

#include "../errors.hpp"
#include "../terminal.hpp"

#include "common/state_watch.hpp"
#include "common/tunnel_state.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
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

std::filesystem::path tunnelRunDirectory() {
    auto found = tarn::tunnel::findLiveState();
    return found ? found->second : tarn::tunnel::defaultRunDirectory();
}

std::string tunnelJSON(const std::optional<tarn::tunnel::TunnelState>& s) {
    if (!s) return "null";
    const bool system = s->mode == "system";
    return JsonObject()
        .string("state", s->state)
        .string("mode", system ? "all_traffic" : "proxies_only")
        .boolean("kill_switch", s->killSwitch)
        .string("dns", system && s->killSwitch ? "tunnel" : "system")
        .string("reason", s->reason)
        .string("server_id", s->serverID)
        .integer("socks_port", s->socksPort)
        .integer("http_port", s->httpPort)
        .str();
}

std::string describeTunnel(const std::optional<tarn::tunnel::TunnelState>& s) {
    if (!s) return "not running (start it: systemctl --user start tarn-tunnel, or for all traffic sudo systemctl start tarn-tunnel-system)";
    std::string text = s->state;
    if (!s->reason.empty()) text += ": " + s->reason;
    if (s->socksPort) text += ", SOCKS5 127.0.0.1:" + std::to_string(s->socksPort);
    if (s->httpPort) text += ", HTTP proxy 127.0.0.1:" + std::to_string(s->httpPort);
    if (s->killSwitch) return text + " (all traffic and DNS through the tunnel, kill switch on)";
    if (s->state == "idle" || s->state == "stopped") return text;
    return text + (s->mode == "system" ? " (all traffic)" : " (proxies only: other traffic goes around the tunnel)");
}

std::optional<tarn::tunnel::TunnelState> waitForTunnel(const std::filesystem::path& runDirectory,
                                                       const std::string& profileXrayJSON,
                                                       std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    if (!tarn::tunnel::readLiveState(runDirectory)) return std::nullopt;
    const std::string wanted = profileXrayJSON.empty() ? "" : tarn::tunnel::profileFingerprint(profileXrayJSON);
    const auto deadline = Clock::now() + timeout;
    const std::int64_t startedAt = static_cast<std::int64_t>(std::time(nullptr));
    Spinner spinner;
    // Woken by the service's next state rather than a fixed interval: the interval was most of
    // the time between the core answering and the command returning.
    tarn::tunnel::StateWatch changes(runDirectory);
    std::optional<tarn::tunnel::TunnelState> last;
    for (;;) {
        last = tarn::tunnel::readLiveState(runDirectory);
        if (!last) throw CliError(exitLocal, "tunnel", "the tunnel service stopped");
        // Refused or unreadable files leave no profile to compare: a failure published since we
        // began is ours as well (an older one may be about files already replaced).
        if (!wanted.empty() && last->state == "failed" && last->profile.empty() && last->updatedAt >= startedAt - 1)
            throw CliError::quoting(exitLocal, "tunnel", "the tunnel cannot use the profile", last->reason);
        if (wanted.empty() ? last->state == "idle" : last->profile == wanted) {
            if (last->state == "running" || last->state == "idle") break;
            // It retries after a back-off, but the person waiting deserves the reason now.
            if (last->state == "failed")
                throw CliError::quoting(exitLocal, "tunnel", "the tunnel cannot run the profile", last->reason);
        }
        if (Clock::now() >= deadline) {
            spinner.clear();
            throw CliError(exitLocal, "tunnel",
                           "the tunnel did not " + std::string(wanted.empty() ? "stop" : "start") + " within " +
                               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
                               " s (it is " + describeTunnel(last) + ")");
        }
        spinner.tick(wanted.empty() ? "Waiting for the tunnel to stop..." : "Waiting for the tunnel (" + last->state + ")...");
        changes.wait(std::chrono::milliseconds(100));
    }
    spinner.clear();
    return last;
}

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

std::optional<std::string> cacheNote(tarn::HttpCacheResult result) {
    switch (result) {
        case tarn::HttpCacheResult::stored: return "from the HTTP cache: still fresh, the backend was not asked";
        case tarn::HttpCacheResult::revalidated: return "from the HTTP cache: the backend said it is unchanged";
        case tarn::HttpCacheResult::staleAfterError:
            return "from the HTTP cache, possibly out of date: the backend could not be reached";
        case tarn::HttpCacheResult::network: break;
    }
    return std::nullopt;
}

int runServers(App& app) {
    std::vector<tarn::VPNServer> servers = sortedByLoad(app.client().servers());
    // Beside the list, not in it: the table and the JSON array stay what scripts read.
    if (auto note = cacheNote(app.lastCacheResult())) std::cerr << "(" << *note << ")\n";
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
    tarn::BlockingClient& client = app.client();
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
    rememberProfileSecret(config);
    tarn::ConnectEligibility decision = tarn::ConnectEligibility::evaluate(user, server, config);
    if (!decision.canConnect()) refuse(*decision.reason(), user, server->id);

    tarn::SharedContainer container = app.container();
    container.write(config);
    app.trace("profile handed over");
    return {*user, decision, *server, config, container.url(), {container.xrayConfigURL(), container.vlessConfigURL()}};
}

int runConnect(App& app, const std::string& serverID) {
    ConnectResult result = connectTo(app, serverID);
    // Without a tunnel service the profile waits in place for one to start.
    auto tunnel = waitForTunnel(tunnelRunDirectory(), result.config.xrayJSON, tunnelTimeout);
    if (tunnel) app.trace("tunnel running");
    // Nothing is protected until a service takes the profile: that is not a successful connect.
    if (!tunnel)
        throw CliError(exitNoTunnel, "no_tunnel",
                       "the profile is handed over, but no tunnel service runs to use it: " + describeTunnel(tunnel) +
                           "; it connects when it starts");
    if (app.out().json()) {
        std::vector<std::string> files;
        for (const auto& f : result.files) files.push_back(jsonString(f.string()));
        app.out().document(JsonObject()
                               .raw("server", encodeRecord(result.server))
                               .raw("eligibility", JsonObject().boolean("can_connect", true).null("reason").str())
                               .string("directory", result.directory.string())
                               .raw("files", jsonArray(files))
                               .raw("tunnel", tunnelJSON(tunnel))
                               .str());
        return exitOK;
    }
    std::cout << "Connecting to " << shown(result.server.id) << " (" << shown(location(result.server)) << ", load "
              << result.server.load << "%): allowed.\nThe profile for the tunnel is in " << result.directory.string()
              << ":\n";
    for (const auto& f : result.files) std::cout << "  " << f.filename().string() << "  " << fileSize(f) << '\n';
    std::cout << "Tunnel: " << describeTunnel(tunnel) << ".\n";
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
    auto tunnel = waitForTunnel(tunnelRunDirectory(), "", tunnelTimeout);
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
    if (tunnel && !app.out().json()) std::cout << "Tunnel: " << describeTunnel(tunnel) << ".\n";
    return exitOK;
}

}  // namespace tarnctl
