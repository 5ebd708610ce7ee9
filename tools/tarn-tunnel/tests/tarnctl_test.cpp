// tarnctl with the tunnel service: connect waits until the profile runs and says where the
// proxies are, status shows them, disconnect waits for the core to stop; and the demo fetches a
// page through the tunnel.
#include "cli_harness.hpp"
#include "harness.hpp"

namespace tarn::tunnel::test {
namespace {

using tarnctl::test::DevServer;
using tarnctl::test::Result;
using tarnctl::test::run;

// tarnctl with the state under `state`, signed in at `backend`, handing profiles to `tunnel`.
Result tarnctl(const DevServer& backend, const Tunnel& tunnel, const TempDir& state, std::vector<std::string> args,
               const std::string& input = "") {
    args.insert(args.begin(), {"--base-url", backend.url(), "--keychain", "file", "--state-dir", state.path().string(),
                               "--app-group-root", tunnel.groupDir().parent_path().string()});
    return run(TARNCTL_PATH, args, input, {{"TARN_TUNNEL_DIR", tunnel.runDir().string()}});
}

TEST(TarnctlWithTunnel, ConnectWaitsForTheTunnelAndDisconnectStopsIt) {
    SKIP_WITHOUT_CORE();
    DevServer backend({"--vless-endpoint", "--quiet"});
    Tunnel tunnel;
    TempDir state;
    ASSERT_EQ(tarnctl(backend, tunnel, state, {"login"}, "demo@tarn.dev\ndemo-password\n").exitCode, 0);

    Result connect = tarnctl(backend, tunnel, state, {"--json", "connect"});
    ASSERT_EQ(connect.exitCode, 0) << connect << tunnel.log();
    auto tunnelDoc = connect.json()["tunnel"];
    ASSERT_EQ(tunnelDoc["state"], "running") << connect;
    EXPECT_EQ(tunnelDoc["mode"], "proxies_only");
    EXPECT_EQ(tunnelDoc["kill_switch"], false);
    EXPECT_TRUE(tools::acceptsConnections(tunnelDoc["http_port"].get<int>()));

    Result status = tarnctl(backend, tunnel, state, {"status"});
    EXPECT_NE(status.out.find("running, SOCKS5 127.0.0.1:" + std::to_string(tunnelDoc["socks_port"].get<int>())),
              std::string::npos)
        << status;

    Result disconnect = tarnctl(backend, tunnel, state, {"disconnect"});
    ASSERT_EQ(disconnect.exitCode, 0) << disconnect;
    EXPECT_NE(disconnect.out.find("Tunnel: idle."), std::string::npos) << disconnect;
    EXPECT_FALSE(tools::acceptsConnections(tunnelDoc["http_port"].get<int>()));

    // Without a service the profile is handed over all the same, and connect says how to start
    // one, failing: nothing is protected yet.
    ::kill(tunnel.process().pid(), SIGTERM);
    ASSERT_TRUE(tunnel.process().wait(10s));
    Result alone = tarnctl(backend, tunnel, state, {"--json", "connect"});
    EXPECT_EQ(alone.exitCode, 11);
    EXPECT_NE(alone.out.find("no tunnel service runs to use it: not running (start it"), std::string::npos) << alone;
    EXPECT_TRUE(fs::exists(tunnel.container().xrayConfigURL())) << "a service started later connects";

    // A tunnel whose core dies: connect reports why instead of waiting out its time.
    Tunnel broken({"--core", "/bin/false"});
    ASSERT_EQ(broken.waitForState("idle").state, "idle");
    Result failed = tarnctl(backend, broken, state, {"--json", "connect"});
    EXPECT_EQ(failed.exitCode, 10) << failed;
    EXPECT_NE(failed.out.find("the tunnel cannot run the profile: the core exited with status 1"), std::string::npos)
        << failed;
}

TEST(TarnctlWithTunnel, DemoFetchesAPageThroughTheTunnel) {
    SKIP_WITHOUT_CORE();
    if (!tools::findOnPath("v2ray")) GTEST_SKIP() << "the devserver's endpoint needs v2ray";
    TempDir tmp;
    Result demo = run(TARNCTL_PATH, {"demo"}, "",
                      {{"TARN_DEVSERVER", TARN_DEVSERVER_PATH}, {"TARN_TUNNEL", TARN_TUNNEL_PATH}, {"TMPDIR", tmp.path().string()}},
                      60s);
    ASSERT_EQ(demo.exitCode, 0) << demo;
    for (const char* text : {"Fetch a page through the tunnel", "/app/ios/release through the HTTP proxy 127.0.0.1:",
                             ": status 200,", "The tunnel stopped its core"}) {
        EXPECT_NE(demo.out.find(text), std::string::npos) << text << "\n" << demo;
    }
    EXPECT_TRUE(fs::is_empty(tmp.path())) << "the demo's temporary directory is removed";
}

}  // namespace
}  // namespace tarn::tunnel::test
