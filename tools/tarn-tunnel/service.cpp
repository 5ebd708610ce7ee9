#include "service.hpp"

#include "common/loopback.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <iostream>
#include <system_error>

namespace tarn::tunnel {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* coreConfigName = "core-config.json";
constexpr const char* coreLogName = "core.log";
// Each shared file may be this large: the record holds the Xray text with its escapes.
constexpr std::size_t maxProfileFileBytes = 4 * maxProfileBytes;
// How long the core has to exit on SIGTERM before it is killed: the service itself must be gone
// within a second of its own SIGTERM.
constexpr auto coreStopGrace = 500ms;
// A crash after this long running starts the back-off afresh.
constexpr auto stableAfter = 60s;

// Enough of a file's identity to notice that it was replaced, changed or removed.
std::string stampOf(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "-";
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid);
}

bool hasIPv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string describe(const tools::ExitStatus& s) {
    return s.signal ? "was killed by signal " + std::to_string(s.signal) : "exited with status " + std::to_string(s.code);
}

}  // namespace

std::optional<fs::path> findCore() {
    if (auto xray = tools::findOnPath("xray")) return xray;
    return tools::findOnPath("v2ray");
}

Service::Service(ServiceOptions options)
    : options_(std::move(options)), container_(options_.appGroupID, options_.appGroupRoot) {
    // System mode's state is everyone's to read: it says whether the host's traffic is held.
    ensurePrivateDirectory(options_.runDirectory, options_.systemMode);
    lock_.emplace(options_.runDirectory, options_.systemMode);
    removeLeftovers();
    // A service running as root for the users of a shared directory (root's, with a group of
    // its own, as the package makes it) takes the profile from any member of that group.
    struct stat root {};
    if (::geteuid() == 0 && ::stat(options_.appGroupRoot.c_str(), &root) == 0 && root.st_uid == 0) {
        struct stat group {};
        fs::path groupDirectory = options_.appGroupRoot / options_.appGroupID;
        if (::stat(groupDirectory.c_str(), &group) == 0 && group.st_uid == 0 && group.st_gid != 0) sharedGroup_ = group.st_gid;
    }
    if (options_.systemMode) {
        transparent_ = TransparentInbound{tools::freeLoopbackPort(), hasIPv6Loopback()};
        // An earlier service's rules are adopted: they stay until the profile is found gone.
        routingInstalled_ = systemRoutingInstalled(options_.runDirectory);
    }
    core_ = options_.core.empty() ? findCore() : std::optional<fs::path>(options_.core);
    if (options_.ports.socks == 0) options_.ports.socks = tools::freeLoopbackPort();
    if (options_.ports.http == 0) {
        do options_.ports.http = tools::freeLoopbackPort();
        while (options_.ports.http == options_.ports.socks);
    }
}

Service::~Service() { stopCore(); }

void Service::removeLeftovers() {
    // A service killed outright leaves the credential in the core's configuration, and writers
    // killed mid-write their temporary files; the log goes too when something else took its name.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(options_.runDirectory, ec)) {
        const std::string name = entry.path().filename().string();
        bool leftover = name == coreConfigName || name.find(".tmp-") != std::string::npos ||
                        (name == coreLogName && !fs::is_regular_file(entry.symlink_status(ec)));
        if (leftover) fs::remove(entry.path(), ec);
    }
}

void Service::log(const std::string& line) const { std::cerr << "tarn-tunnel: " << line << std::endl; }

void Service::publish(std::string state, std::string reason) {
    state_ = std::move(state);
    lastReason_ = reason;
    TunnelState s;
    s.state = state_;
    s.reason = redactUUIDs(reason);
    if (!xrayJSON_.empty()) {
        s.profile = profileFingerprint(xrayJSON_);
        s.serverID = serverID_;
        s.socksPort = config_.socksPort;
        s.httpPort = config_.httpPort;
    }
    s.pid = ::getpid();
    s.updatedAt = static_cast<std::int64_t>(std::time(nullptr));
    s.restarts = restarts_;
    s.mode = options_.systemMode ? "system" : "proxy";
    s.killSwitch = routingInstalled_;
    try {
        writePrivateFile(stateFile(options_.runDirectory), encodeState(s), options_.systemMode ? 0644 : 0600);
    } catch (const std::exception& e) {
        log(std::string("cannot publish the state: ") + e.what());
    }
}

void Service::run(int stopFD) {
    int inotifyFD = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFD < 0) log("inotify is not available; looking at the directory every second instead");
    fs::path watched;
    int watch = -1;
    publish("idle");
    log("watching " + container_.url().string() + "; state in " + stateFile(options_.runDirectory).string());
    reconcile(true);
    auto nextScan = Clock::now() + options_.rescanInterval;

    for (;;) {
        // The directory in use can change: the group directory may be created after we started.
        fs::path directory = container_.url();
        if (inotifyFD >= 0 && (watch < 0 || directory != watched)) {
            if (watch >= 0) ::inotify_rm_watch(inotifyFD, watch);
            watch = ::inotify_add_watch(inotifyFD, directory.c_str(),
                                        IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE |
                                            IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
            watched = watch >= 0 ? directory : fs::path();
        }

        pollfd fds[3] = {{stopFD, POLLIN, 0}, {inotifyFD, POLLIN, 0}, {process_ ? process_->stdoutFD() : -1, POLLIN, 0}};
        int ready = ::poll(fds, 3, 250);
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        bool changed = false;
        if (fds[1].revents & POLLIN) {
            alignas(inotify_event) char buf[4096];
            while (::read(inotifyFD, buf, sizeof buf) > 0) changed = true;
            // A removed or moved directory ends its watch: add it again on the next round.
            struct stat st {};
            if (::stat(watched.c_str(), &st) != 0) watch = -1;
        }
        if (fds[2].revents) drainCoreOutput();
        // Whatever a profile does, the service goes on: a failure here is the profile's, not ours.
        try {
            if (changed || Clock::now() >= nextScan) {
                reconcile(false);
                nextScan = Clock::now() + options_.rescanInterval;
            }
            supervise();
        } catch (const std::exception& e) {
            fail(std::string("cannot run the profile: ") + e.what(), false);
        }
    }
    if (inotifyFD >= 0) ::close(inotifyFD);
    stopCore();
    // The kill switch outlives the service: only a disconnect lifts it (or --remove-rules).
    if (routingInstalled_) log("the kill switch stays until the profile is removed");
    publish("stopped");
    log("stopped");
}

void Service::holdTheNetwork() {
    if (!options_.systemMode || routingCurrent_) return;
    // An earlier service's rules are replaced in one transaction: they send flows to its port.
    installSystemRouting({transparent_->port, options_.coreGroup, options_.allowLAN}, options_.runDirectory);
    routingInstalled_ = routingCurrent_ = true;
    log("all traffic goes through the tunnel; the kill switch is up");
}

void Service::releaseTheNetwork() {
    if (!routingInstalled_) return;
    std::string problems = removeSystemRouting(options_.runDirectory);
    routingInstalled_ = routingCurrent_ = !problems.empty();
    log(problems.empty() ? "the kill switch is lifted" : problems);
    publish(state_, state_ == "failed" ? lastReason_ : "");
}

void Service::becomeIdle() {
    bool wasActive = !xrayJSON_.empty();
    stopCore();
    xrayJSON_.clear();
    serverID_.clear();
    config_ = {};
    retryAt_.reset();
    restarts_ = attempt_ = 0;
    if (wasActive) log("the profile was removed; the core is stopped");
    releaseTheNetwork();
    if (state_ != "idle") publish("idle");
}

void Service::fail(std::string reason, bool retry) {
    reason = redactUUIDs(reason);
    stopCore();
    if (retry) {
        auto pause = crashBackoff(attempt_++);
        retryAt_ = Clock::now() + pause;
        log(reason + "; trying again in " + std::to_string(pause.count() / 1000.0).substr(0, 4) + " s");
    } else {
        retryAt_.reset();
        log(reason);
    }
    publish("failed", reason);
}

void Service::reconcile(bool force) {
    const fs::path xrayFile = container_.xrayConfigURL();
    const fs::path recordFile = container_.vlessConfigURL();
    std::string stamp = container_.url().string() + "|" + stampOf(xrayFile) + "|" + stampOf(recordFile);
    if (!force && stamp == stamp_) return;

    struct stat st {};
    if (::lstat(recordFile.c_str(), &st) != 0 || ::lstat(xrayFile.c_str(), &st) != 0) {
        // Cleared (or half cleared: the record goes first).
        stamp_ = stamp;
        becomeIdle();
        return;
    }
    // From the hand-over on, whatever becomes of this profile, nothing leaves around the tunnel.
    try {
        holdTheNetwork();
    } catch (const std::exception& e) {
        // Without the rules the core would protect only what uses its proxies: not connected.
        stamp_ = stamp;
        xrayJSON_.clear();
        fail(e.what(), false);
        return;
    }
    for (const auto& file : {xrayFile, recordFile}) {
        if (auto why = untrustedFileReason(file, sharedGroup_)) {
            stamp_ = stamp;
            xrayJSON_.clear();
            fail("refusing the profile: " + *why, false);
            return;
        }
    }
    std::optional<VLESSConfig> record;
    try {
        record = container_.readMatchingConfig(maxProfileFileBytes);
    } catch (const std::exception& e) {
        stamp_ = stamp;
        xrayJSON_.clear();
        fail(std::string("cannot read the profile: ") + e.what(), false);
        return;
    }
    // A pair that does not match yet is a write under way: look again on the next event or scan.
    if (!record) return;
    stamp_ = stamp;
    if (record->xrayJSON == xrayJSON_ && (process_ || retryAt_)) return;

    stopCore();
    xrayJSON_ = record->xrayJSON;
    serverID_ = record->serverID;
    restarts_ = attempt_ = 0;
    retryAt_.reset();
    try {
        config_ = prepareCoreConfig(xrayJSON_, options_.ports, transparent_);
    } catch (const std::exception& e) {
        config_ = {};
        fail(e.what(), false);
        return;
    }
    log("new profile for server " + serverID_);
    if (!config_.dropped.empty()) {
        std::string names;
        for (const auto& name : config_.dropped) names += (names.empty() ? "" : ", ") + name;
        log("left out of the profile: " + names);
    }
    startCore();
}

void Service::startCore() {
    retryAt_.reset();
    if (!core_) {
        fail("no Xray-compatible core: install xray or v2ray", false);
        return;
    }
    const fs::path configFile = options_.runDirectory / coreConfigName;
    try {
        ensurePrivateDirectory(options_.runDirectory, options_.systemMode);
        writePrivateFile(configFile, config_.text);
    } catch (const std::exception& e) {
        fail(std::string("cannot write the core's configuration: ") + e.what(), false);
        return;
    }
    std::error_code ignored;
    std::vector<std::string> args;
    if (core_->filename() == "xray") args.push_back("run");
    args.insert(args.end(), {"-config", configFile.string()});
    tools::SpawnOptions spawn;
    spawn.pipeStdout = true;
    spawn.stderrFile = options_.runDirectory / coreLogName;
    // Made afresh, so that whatever took the log's name is never followed or truncated.
    fs::remove(spawn.stderrFile, ignored);
    spawn.parentDeathSignal = SIGTERM;
    // Its own group, so that a Ctrl-C meant for the service is not taken for a crash of the core.
    spawn.newProcessGroup = true;
    if (options_.systemMode) spawn.groupID = options_.coreGroup;
    lastCoreLine_.clear();
    try {
        process_ = std::make_unique<tools::Subprocess>(*core_, args, spawn);
    } catch (const std::exception& e) {
        fail("cannot start " + core_->string() + ": " + e.what(), true);
        return;
    }
    startDeadline_ = Clock::now() + options_.startTimeout;
    log("started " + core_->filename().string() + " (pid " + std::to_string(process_->pid()) + ")");
    publish("starting");
}

void Service::stopCore() {
    if (process_) {
        process_->stop(coreStopGrace);
        process_.reset();
    }
    // The generated configuration holds the credential: it lives only while a core may need it.
    std::error_code ec;
    fs::remove(options_.runDirectory / coreConfigName, ec);
}

void Service::drainCoreOutput() {
    if (!process_) return;
    // A short wait rather than none: a zero deadline may pass before the pipe is even looked at.
    while (auto line = process_->readLine(2ms)) {
        if (!line->empty()) lastCoreLine_ = redactUUIDs(*line);
    }
}

void Service::supervise() {
    auto now = Clock::now();
    if (!process_) {
        if (retryAt_ && now >= *retryAt_ && !xrayJSON_.empty()) {
            ++restarts_;
            startCore();
        }
        return;
    }
    if (auto exit = process_->wait(0ms)) {
        drainCoreOutput();
        process_.reset();
        if (state_ == "running" && now - runningSince_ >= stableAfter) attempt_ = 0;
        fail("the core " + describe(*exit) + (lastCoreLine_.empty() ? "" : ": " + lastCoreLine_), true);
        return;
    }
    if (state_ == "starting") {
        int probe = config_.socksPort ? config_.socksPort : config_.httpPort;
        // A profile without a local proxy has nothing to probe: alive after a moment is all we know.
        bool up = probe ? tools::acceptsConnections(probe) : now + options_.startTimeout - startDeadline_ >= 1s;
        if (up && (!config_.httpPort || tools::acceptsConnections(config_.httpPort))) {
            runningSince_ = now;
            // The core has read its configuration: the credential need not stay on disk.
            std::error_code ec;
            fs::remove(options_.runDirectory / coreConfigName, ec);
            log("running: SOCKS5 127.0.0.1:" + std::to_string(config_.socksPort) + ", HTTP 127.0.0.1:" +
                std::to_string(config_.httpPort));
            publish("running");
        } else if (now >= startDeadline_) {
            fail("the core did not open its proxy port within " +
                     std::to_string(options_.startTimeout.count() / 1000) + " s",
                 true);
        }
    }
}

}  // namespace tarn::tunnel
