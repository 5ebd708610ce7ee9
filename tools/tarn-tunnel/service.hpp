// The tunnel service: follows the profile in the shared directory and keeps an Xray-compatible
// core running with it, publishing what it does in the state file.
#pragma once

#include "core_config.hpp"
#include "common/instance_lock.hpp"
#include "common/tunnel_state.hpp"
#include "system_routes.hpp"

#include "common/subprocess.hpp"

#include <tarn/storage/shared_container.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tarn::tunnel {

struct ServiceOptions {
    std::string appGroupID = "group.dev.tarn.vpn";
    std::filesystem::path appGroupRoot = SharedContainer::defaultRoot();
    std::filesystem::path runDirectory = defaultRunDirectory();
    /// The core to run; empty: `xray` on $PATH, else `v2ray`.
    std::filesystem::path core;
    /// Ports of the proxies added to a profile without inbounds; 0 picks a free port once, at
    /// start, so that they stay the same across profiles.
    LocalPorts ports;
    /// How long a started core has to open its proxy port before it counts as failed.
    std::chrono::milliseconds startTimeout = std::chrono::seconds(10);
    /// How often the directory is looked at even without a file-system event: the group
    /// directory may appear only after the service started.
    std::chrono::milliseconds rescanInterval = std::chrono::seconds(1);

    /// System mode (needs CAP_NET_ADMIN): every flow of the host goes through the profile, and
    /// the kill switch holds from the moment a profile is handed over until it is removed.
    bool systemMode = false;
    /// In system mode: the local network is reached directly, not through the tunnel.
    bool allowLAN = false;
    /// In system mode: the group the core runs with; its own traffic goes around the tunnel.
    gid_t coreGroup = 2411;
};

/// The core on $PATH that the service would run: xray when present (backend profiles may use
/// features only it has), else v2ray.
std::optional<std::filesystem::path> findCore();

class Service {
public:
    /// Creates the private run directory and takes its lock, then removes what a killed service
    /// left there (the core's configuration, half-written files). Throws filesystem_error when
    /// the directory is not private, AlreadyRunning when another service holds it.
    explicit Service(ServiceOptions options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    /// Runs until `stopFD` becomes readable; stops the core and publishes "stopped" then.
    void run(int stopFD);

private:
    struct FileStamp;
    void removeLeftovers();
    void holdTheNetwork();
    void releaseTheNetwork();
    void reconcile(bool force);
    void startCore();
    void stopCore();
    void supervise();
    void drainCoreOutput();
    void becomeIdle();
    void fail(std::string reason, bool retry);
    void publish(std::string state, std::string reason = {});
    void log(const std::string& line) const;

    ServiceOptions options_;
    SharedContainer container_;
    std::optional<InstanceLock> lock_;
    std::optional<gid_t> sharedGroup_;  // whose members' profiles a root service takes
    std::optional<std::filesystem::path> core_;

    std::string stamp_;    // the files as last looked at, to skip reading them again
    std::string xrayJSON_;  // the profile being run; empty when idle
    std::string serverID_;
    CoreConfig config_;
    std::unique_ptr<tools::Subprocess> process_;
    std::string state_ = "idle";
    std::string lastReason_;
    std::string lastCoreLine_;
    std::chrono::steady_clock::time_point startDeadline_{};
    std::chrono::steady_clock::time_point runningSince_{};
    std::optional<std::chrono::steady_clock::time_point> retryAt_;
    std::optional<TransparentInbound> transparent_;  // system mode's inbound
    bool routingInstalled_ = false;  // the kill switch is up (perhaps left by an earlier service)
    bool routingCurrent_ = false;    // ...and installed by this service, for its core
    int attempt_ = 0;   // crashes in a row, for the back-off
    int restarts_ = 0;  // restarts of the current profile
};

}  // namespace tarn::tunnel
