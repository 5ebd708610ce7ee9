// tarnctl with the tunnel service: connect waits until the profile runs and says where the
// proxies are, status shows them, disconnect waits for the core to stop; and the demo fetches a
// page through the tunnel.
#include "harness.hpp"

#include <nlohmann/json.hpp>

namespace tarn::tunnel::test {
namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
};

// tarnctl to completion (bounded), with `env` added to ours.
Outcome tarnctl(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& input = "",
            std::chrono::milliseconds timeout = 30s) {
    std::vector<std::string> environment = env;
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    tools::SpawnOptions options;
    options.pipeStdin = true;
    options.environment = environment;
    tools::Subprocess child(TARNCTL_PATH, args, options);
    if (!input.empty()) [[maybe_unused]] auto n = ::write(child.stdinFD(), input.data(), input.size());
    child.closeStdin();
    Outcome run;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = child.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())))
        run.out += *line + "\n";
    if (auto exit = child.wait(1s)) run.exitCode = exit->code;
    return run;
}

TEST(TarnctlWithTunnel, ConnectWaitsForTheTunnelAndDisconnectStopsIt) {
    SKIP_WITHOUT_CORE();
    tools::ServerProcess backend(TARN_DEVSERVER_PATH, {"--port", "0", "--vless-endpoint", "--quiet"}, "", SIGTERM);
    Tunnel tunnel;
    TempDir state;
    const std::vector<std::string> env = {"TARN_TUNNEL_DIR=" + tunnel.runDir().string()};
    const std::vector<std::string> common = {"--base-url", backend.url(), "--keychain", "file", "--state-dir",
                                             state.path().string(), "--app-group-root", tunnel.groupDir().parent_path().string()};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), common.begin(), common.end());
        return args;
    };
    ASSERT_EQ(tarnctl(with({"login"}), env, "demo@tarn.dev\ndemo-password\n").exitCode, 0);

    Outcome connect = tarnctl(with({"--json", "connect"}), env);
    ASSERT_EQ(connect.exitCode, 0) << connect.out << tunnel.log();
    auto tunnelDoc = nlohmann::json::parse(connect.out)["tunnel"];
    ASSERT_EQ(tunnelDoc["state"], "running") << connect.out;
    EXPECT_EQ(tunnelDoc["mode"], "proxies_only");
    EXPECT_EQ(tunnelDoc["kill_switch"], false);
    EXPECT_TRUE(tools::acceptsConnections(tunnelDoc["http_port"].get<int>()));

    Outcome status = tarnctl(with({"status"}), env);
    EXPECT_NE(status.out.find("running, SOCKS5 127.0.0.1:" + std::to_string(tunnelDoc["socks_port"].get<int>())),
              std::string::npos)
        << status.out;

    Outcome disconnect = tarnctl(with({"disconnect"}), env);
    ASSERT_EQ(disconnect.exitCode, 0) << disconnect.out;
    EXPECT_NE(disconnect.out.find("Tunnel: idle."), std::string::npos) << disconnect.out;
    EXPECT_FALSE(tools::acceptsConnections(tunnelDoc["http_port"].get<int>()));

    // Without a service the profile is handed over all the same, and connect says how to start
    // one, failing: nothing is protected yet.
    ::kill(tunnel.process().pid(), SIGTERM);
    ASSERT_TRUE(tunnel.process().wait(10s));
    Outcome alone = tarnctl(with({"--json", "connect"}), env);
    EXPECT_EQ(alone.exitCode, 11);
    EXPECT_NE(alone.out.find("no tunnel service runs to use it: not running (start it"), std::string::npos) << alone.out;
    EXPECT_TRUE(fs::exists(tunnel.container().xrayConfigURL())) << "a service started later connects";

    // A tunnel whose core dies: connect reports why instead of waiting out its time.
    Tunnel broken({"--core", "/bin/false"});
    ASSERT_EQ(broken.waitForState("idle").state, "idle");
    Outcome failed = tarnctl({"--base-url", backend.url(), "--keychain", "file", "--state-dir", state.path().string(),
                              "--app-group-root", broken.groupDir().parent_path().string(), "--json", "connect"},
                             {"TARN_TUNNEL_DIR=" + broken.runDir().string()});
    EXPECT_EQ(failed.exitCode, 10) << failed.out;
    EXPECT_NE(failed.out.find("the tunnel cannot run the profile: the core exited with status 1"), std::string::npos)
        << failed.out;
}

TEST(TarnctlWithTunnel, DemoFetchesAPageThroughTheTunnel) {
    SKIP_WITHOUT_CORE();
    if (!tools::findOnPath("v2ray")) GTEST_SKIP() << "the devserver's endpoint needs v2ray";
    TempDir tmp;
    Outcome demo = tarnctl({"demo"}, {std::string("TARN_DEVSERVER=") + TARN_DEVSERVER_PATH, std::string("TARN_TUNNEL=") + TARN_TUNNEL_PATH,
                                  "TMPDIR=" + tmp.path().string()},
                       "", 60s);
    ASSERT_EQ(demo.exitCode, 0) << demo.out;
    for (const char* text : {"Fetch a page through the tunnel", "/app/ios/release through the HTTP proxy 127.0.0.1:",
                             ": status 200,", "The tunnel stopped its core"}) {
        EXPECT_NE(demo.out.find(text), std::string::npos) << text << "\n" << demo.out;
    }
    EXPECT_TRUE(fs::is_empty(tmp.path())) << "the demo's temporary directory is removed";
}

}  // namespace
}  // namespace tarn::tunnel::test
