// Helpers for the tunnel tests: a private app-group directory, a profile handed over through the
// library's SharedContainer, and the real tarn-tunnel binary with a bounded wait for its state.
#pragma once

#include "common/tunnel_state.hpp"

#include "common/loopback.hpp"
#include "common/subprocess.hpp"
#include "scratch_directory.hpp"

#include <tarn/json/json.hpp>
#include <tarn/models/devices_vpn.hpp>
#include <tarn/storage/shared_container.hpp>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tarn::tunnel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr const char* group = "group.dev.tarn.vpn";

/// A fresh private directory, removed at the end.
using TempDir = tarn::testing::ScratchDirectory;

/// A VLESSConfig around `xrayJSON`, as the backend would send it.
inline VLESSConfig profile(const std::string& xrayJSON, const std::string& serverID = "de-1") {
    return VLESSConfig{"vless://redacted@127.0.0.1:1?encryption=none", xrayJSON, serverID, "usr_1",
                       SubscriptionStatus::active, VPNAccessStatus::enabled};
}

/// The tunnel service on a private app-group root and run directory, on free ports.
class Tunnel {
public:
    /// `prepare` sees the run directory, created 0700, before the service starts. `launcher` runs
    /// the service inside something, as "ip netns exec <name>" does.
    explicit Tunnel(std::vector<std::string> extra = {}, const std::function<void(const fs::path&)>& prepare = {},
                    std::vector<std::string> launcher = {})
        : extra_(std::move(extra)), launcher_(std::move(launcher)) {
        ::mkdir((root_.path() / group).c_str(), 0700);
        if (prepare) {
            ::mkdir(runDir().c_str(), 0700);
            prepare(runDir());
        }
        restart();
    }

    /// A new service on the same directories, as after a crash; the old one must have ended.
    void restart() { process_ = start(args(extra_), run_.path() / "tunnel.log"); }
    /// Another service on the same directories, logging to `logFile`.
    std::unique_ptr<tools::Subprocess> startAnother(const fs::path& logFile) const { return start(args({}), logFile); }

    std::vector<std::string> args(const std::vector<std::string>& extra) const {
        std::vector<std::string> args = {"--app-group-root", root_.path().string(), "--run-dir", runDir().string(),
                                         "--socks-port", "0", "--http-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    SharedContainer container() const { return SharedContainer(group, root_.path()); }
    fs::path groupDir() const { return root_.path() / group; }
    fs::path runDir() const { return run_.path() / "run"; }
    std::string log() const {
        std::ifstream in(run_.path() / "tunnel.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    tools::Subprocess& process() { return *process_; }

    /// The published state once `accept` holds, or the last one seen after `timeout`.
    TunnelState waitFor(const std::function<bool(const TunnelState&)>& accept, std::chrono::milliseconds timeout = 10s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        TunnelState last;
        for (;;) {
            std::ifstream in(stateFile(runDir()));
            if (auto s = decodeState(std::string(std::istreambuf_iterator<char>(in), {}))) last = *s;
            if (accept(last) || std::chrono::steady_clock::now() >= deadline) return last;
            std::this_thread::sleep_for(20ms);
        }
    }
    TunnelState waitForState(const std::string& state, std::chrono::milliseconds timeout = 10s) {
        return waitFor([&](const TunnelState& s) { return s.state == state; }, timeout);
    }

private:
    std::unique_ptr<tools::Subprocess> start(std::vector<std::string> args, const fs::path& logFile) const {
        tools::SpawnOptions options;
        options.pipeStdout = false;
        options.stderrFile = logFile;
        options.parentDeathSignal = SIGTERM;
        if (launcher_.empty()) return std::make_unique<tools::Subprocess>(TARN_TUNNEL_PATH, args, options);
        args.insert(args.begin(), TARN_TUNNEL_PATH);
        args.insert(args.begin(), launcher_.begin() + 1, launcher_.end());
        return std::make_unique<tools::Subprocess>(launcher_.front(), args, options);
    }

    std::vector<std::string> extra_, launcher_;
    TempDir root_;
    TempDir run_;
    std::unique_ptr<tools::Subprocess> process_;
};

#define SKIP_WITHOUT_CORE()                                                              \
    do {                                                                                 \
        if (!tarn::tools::findOnPath("v2ray") && !tarn::tools::findOnPath("xray"))       \
            GTEST_SKIP() << "neither xray nor v2ray is installed (scripts/bootstrap)";   \
    } while (0)

}  // namespace tarn::tunnel::test
