// End to end on loopback: tarn-devserver with its real VLESS endpoint issues a profile, the
// library hands it over, tarn-tunnel runs it, and an HTTP request through the local proxy reaches
// a web server; clearing the profile takes the proxy away; a revoked id is refused.
#include "devserver_process.hpp"
#include "harness.hpp"

namespace tarn::tunnel::test {
namespace {

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tools::findOnPath("v2ray")) GTEST_SKIP() << "v2ray is not installed (scripts/bootstrap)";
        backend_.emplace(std::vector<std::string>{"--vless-endpoint", "--quiet"});
        token_ = backend_->loginDemo()["access_token"];

        web_.Get("/hello", [](const httplib::Request&, httplib::Response& res) { res.set_content("through the tunnel", "text/plain"); });
        webPort_ = web_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(webPort_, 0);
        webThread_ = std::thread([this] { web_.listen_after_bind(); });
    }
    void TearDown() override {
        web_.stop();
        if (webThread_.joinable()) webThread_.join();
    }

    VLESSConfig fetchProfile() {
        auto r = backend_->post("/vpn/config",
                                {{"server_id", "de-1"}, {"device_id", "e2e-device"}, {"protocol", "vless"}, {"platform", "linux"}}, token_);
        if (r.status != 200) throw std::runtime_error("vpn/config failed: " + describe(r));
        return JSONDecoder::tarn().decode<VLESSConfig>(r.body);
    }
    // The page through the tunnel's HTTP proxy: the status, or -1 when the proxy is not there.
    std::pair<int, std::string> fetchThrough(int proxyPort) {
        httplib::Client web("127.0.0.1", webPort_);
        web.set_proxy("127.0.0.1", proxyPort);
        web.set_connection_timeout(3);
        web.set_read_timeout(5);
        auto r = web.Get("/hello");
        return r ? std::pair{r->status, r->body} : std::pair{-1, std::string()};
    }

    std::optional<devserver::test::DevServerProcess> backend_;
    std::string token_;
    httplib::Server web_;
    int webPort_ = 0;
    std::thread webThread_;
};

TEST_F(EndToEnd, ConnectCarriesTrafficDisconnectRemovesTheProxyRevokeIsRefused) {
    Tunnel tunnel;
    VLESSConfig config = fetchProfile();
    auto runs = [&](const VLESSConfig& c) {
        return [fp = profileFingerprint(c.xrayJSON)](const TunnelState& s) { return s.state == "running" && s.profile == fp; };
    };

    // Connect.
    tunnel.container().write(config);
    TunnelState running = tunnel.waitFor(runs(config));
    ASSERT_EQ(running.state, "running") << running.reason << tunnel.log() << backend_->log();
    EXPECT_EQ(fetchThrough(running.httpPort), std::pair(200, std::string("through the tunnel")));

    // Disconnect.
    tunnel.container().clearVPNConfig();
    ASSERT_EQ(tunnel.waitForState("idle").state, "idle");
    EXPECT_FALSE(tools::acceptsConnections(running.httpPort));
    EXPECT_EQ(fetchThrough(running.httpPort).first, -1);

    // Revoke: the endpoint no longer knows the id the running profile carries.
    tunnel.container().write(config);
    ASSERT_EQ(tunnel.waitFor(runs(config)).state, "running") << tunnel.log();
    ASSERT_EQ(fetchThrough(running.httpPort).first, 200);
    ASSERT_EQ(backend_->post("/vpn/revoke", {{"device_id", "e2e-device"}}, token_).status, 200);
    EXPECT_NE(fetchThrough(running.httpPort).first, 200);

    // A fresh profile after the revocation carries traffic again.
    VLESSConfig fresh = fetchProfile();
    ASSERT_NE(fresh.xrayJSON, config.xrayJSON);
    tunnel.container().write(fresh);
    ASSERT_EQ(tunnel.waitFor(runs(fresh)).state, "running") << tunnel.log();
    EXPECT_EQ(fetchThrough(running.httpPort).first, 200);
}

}  // namespace
}  // namespace tarn::tunnel::test
