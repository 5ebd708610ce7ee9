// The commands of tarnctl. Each takes the App and its own options and returns the exit code;
// failures are thrown and turned into one line and an exit code by main.
#pragma once

#include "../app.hpp"

#include <tarn/models/account.hpp>
#include <tarn/models/devices_vpn.hpp>

#include "common/tunnel_state.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tarnctl {

struct LoginOptions {
    std::string email;
    bool emailCode = false;
    bool telegram = false;
    bool google = false;
    bool acceptTerms = false;
    bool passwordStdin = false;  // the password is the first line of standard input, no prompt
};

int runLogin(App& app, const LoginOptions& options);
int runLogout(App& app);
int runWhoami(App& app);

int runDevices(App& app);
int runDeviceRemove(App& app, const std::string& id);
int runStatus(App& app);
int runDiagnostics(App& app);

struct UpdateCheckOptions {
    std::string appVersion;
    std::int64_t build = 1;
};
int runUpdateCheck(App& app, const UpdateCheckOptions& options);
int runCatalog(App& app);

struct CheckoutOptions {
    std::string tariff;
    std::optional<std::int64_t> devices;
    std::string method;
    bool recurring = false;
    std::string promo;
};
int runCheckout(App& app, const CheckoutOptions& options);

int runServers(App& app);
int runConnect(App& app, const std::string& serverID);
int runDisconnect(App& app);

/// Adds `api` and one subcommand per endpoint operation to `parent`.
struct ApiCommand;
std::shared_ptr<ApiCommand> registerApiCommand(CLI::App& parent);
/// True when the command line chose `api`.
bool apiChosen(const ApiCommand& command);
int runApi(App& app, ApiCommand& command);

struct DemoOptions {
    std::string devserver;  // path of tarn-devserver; found automatically when empty
    bool keep = false;      // keep the temporary directory
};
int runDemo(const GlobalOptions& globals, const DemoOptions& options);

// Shared by the commands and the demo.

/// Servers sorted for choosing: least loaded first, then lowest latency, then id.
std::vector<tarn::VPNServer> sortedByLoad(std::vector<tarn::VPNServer> servers);
void printServers(std::ostream& os, const std::vector<tarn::VPNServer>& servers);
void printDevices(std::ostream& os, const tarn::AccountDevicesResponse& devices, const std::string& thisDeviceID);
void printUser(std::ostream& os, const tarn::CRMUser& user);
/// "active (yearly) until 2027-12-06" and the like.
std::string subscriptionSummary(const tarn::CRMUser& user);

/// What `connect` decided and wrote.
struct ConnectResult {
    tarn::CRMUser user;
    tarn::ConnectEligibility decision;
    tarn::VPNServer server;
    tarn::VLESSConfig config;
    std::filesystem::path directory;
    std::vector<std::filesystem::path> files;
};
/// Fetches the user, the servers and the profile, applies the eligibility decision (throwing a
/// refusal with exit code 9 and the reason) and writes the shared container. An empty serverID
/// picks the least loaded available server.
ConnectResult connectTo(App& app, const std::string& serverID);
/// A person's explanation of a refusal.
std::string refusalText(const tarn::VPNConnectionState& reason, const std::optional<tarn::CRMUser>& user,
                        const std::string& serverID);
std::string diagnosticsReport(App& app);

/// How long connect and disconnect wait for the tunnel service.
inline constexpr std::chrono::seconds tunnelTimeout{20};
/// Waits, with a spinner, until the tunnel service in `runDirectory` runs the profile with this
/// Xray text (or, for an empty one, runs none). nullopt at once when no service is running.
/// Throws CliError (local) when the service fails the profile, stops, or the time runs out.
std::optional<tarn::tunnel::TunnelState> waitForTunnel(const std::filesystem::path& runDirectory,
                                                       const std::string& profileXrayJSON,
                                                       std::chrono::milliseconds timeout);
/// "running, SOCKS5 127.0.0.1:10808, HTTP proxy 127.0.0.1:10809", or how to start it.
std::string describeTunnel(const std::optional<tarn::tunnel::TunnelState>& state);
/// The same as a JSON object (null when no service runs).
std::string tunnelJSON(const std::optional<tarn::tunnel::TunnelState>& state);
/// Where an answer came from, said for a person; nullopt when it came from the network.
std::optional<std::string> cacheNote(tarn::HttpCacheResult result);
/// Where the running tunnel service keeps its state: this user's, else the system one's, else
/// where this user's would.
std::filesystem::path tunnelRunDirectory();

}  // namespace tarnctl
