// The real tarn-tunnel binary following the shared directory, with a core that needs no network
// (a "freedom" profile) or a fake core that crashes.
#include "harness.hpp"

#include <signal.h>

#include <fstream>

namespace tarn::tunnel::test {
namespace {

const std::string directProfile = R"({"outbounds":[{"protocol":"freedom","settings":{}}]})";
const std::string otherDirectProfile = R"({"outbounds":[{"protocol":"freedom","settings":{"domainStrategy":"AsIs"}}]})";

TEST(TunnelService, FollowsTheProfileFromHandOverToClearAndStop) {
    SKIP_WITHOUT_CORE();
    Tunnel tunnel;
    EXPECT_EQ(tunnel.waitForState("idle").state, "idle") << tunnel.log();

    tunnel.container().write(profile(directProfile));
    TunnelState first = tunnel.waitForState("running");
    ASSERT_EQ(first.state, "running") << first.reason << tunnel.log();
    EXPECT_EQ(first.profile, profileFingerprint(directProfile));
    EXPECT_EQ(first.serverID, "de-1");
    ASSERT_GT(first.socksPort, 0);
    ASSERT_GT(first.httpPort, 0);
    EXPECT_TRUE(tools::acceptsConnections(first.socksPort));
    EXPECT_FALSE(fs::exists(tunnel.runDir() / "core-config.json")) << "the credential stays on disk only until the core read it";
    struct stat st {};
    ASSERT_EQ(::stat(tunnel.runDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A new profile replaces the running one, on the same ports.
    tunnel.container().write(profile(otherDirectProfile, "nl-1"));
    TunnelState second = tunnel.waitFor(
        [](const TunnelState& s) { return s.state == "running" && s.profile == profileFingerprint(otherDirectProfile); });
    ASSERT_EQ(second.state, "running") << second.reason << tunnel.log();
    EXPECT_EQ(second.serverID, "nl-1");
    EXPECT_EQ(second.socksPort, first.socksPort);

    tunnel.container().clearVPNConfig();
    TunnelState idle = tunnel.waitForState("idle");
    EXPECT_EQ(idle.state, "idle") << tunnel.log();
    EXPECT_EQ(idle.socksPort, 0);
    EXPECT_FALSE(tools::acceptsConnections(first.socksPort));
    EXPECT_FALSE(fs::exists(tunnel.runDir() / "core-config.json"));

    tunnel.container().write(profile(directProfile));
    ASSERT_EQ(tunnel.waitForState("running").state, "running") << tunnel.log();
    ::kill(tunnel.process().pid(), SIGTERM);
    auto exit = tunnel.process().wait(10s);
    ASSERT_TRUE(exit);
    EXPECT_TRUE(exit->success());
    EXPECT_EQ(tunnel.waitForState("stopped", 0ms).state, "stopped");
    EXPECT_FALSE(tools::acceptsConnections(first.socksPort)) << "the core must end with the service";
}

TEST(TunnelService, RefusesFilesOtherUsersCouldReadOrChange) {
    SKIP_WITHOUT_CORE();
    Tunnel tunnel;
    tunnel.container().write(profile(directProfile));
    ASSERT_EQ(tunnel.waitForState("running").state, "running") << tunnel.log();

    ASSERT_EQ(::chmod(tunnel.container().xrayConfigURL().c_str(), 0644), 0);
    TunnelState refused = tunnel.waitForState("failed");
    ASSERT_EQ(refused.state, "failed") << tunnel.log();
    EXPECT_NE(refused.reason.find("xray-config.json is open to other users"), std::string::npos) << refused.reason;
    EXPECT_FALSE(fs::exists(tunnel.runDir() / "core-config.json"));

    ASSERT_EQ(::chmod(tunnel.container().xrayConfigURL().c_str(), 0600), 0);
    EXPECT_EQ(tunnel.waitForState("running").state, "running") << tunnel.log();
}

TEST(TunnelService, ReportsWhyAProfileCannotRun) {
    TempDir scripts;
    // A core that quotes the client id in its last words and dies: the reason must not repeat it.
    fs::path crashing = scripts.path() / "crashing-core";
    std::ofstream(crashing) << "#!/bin/sh\necho 'rejected user 0b6e3a52-7d7e-4b3c-9a51-5e2f7c1d2a90'\nexit 3\n";
    fs::permissions(crashing, fs::perms::owner_all);

    struct Case {
        const char* name;
        std::string core;
        std::string xray;
        std::string reason;
        bool retries;
    };
    const Case cases[] = {
        {"crashing core", crashing.string(), directProfile, "exited with status 3: rejected user <redacted>", true},
        {"open proxy", "/bin/true", R"({"inbounds":[{"port":1,"protocol":"socks"}],"outbounds":[{"protocol":"freedom"}]})",
         "does not listen on a loopback address only", false},
        {"not JSON", "/bin/true", "{", "not a JSON object", false},
        {"a tag that is a number", "/bin/true",
         R"({"inbounds":[{"tag":7,"listen":"127.0.0.1","port":1,"protocol":"socks"}],"outbounds":[{"protocol":"freedom"}]})",
         "tag is not a string", false},
        {"nested 100,000 levels deep", "/bin/true", std::string(100000, '[') + std::string(100000, ']'), "nested more than", false},
        {"larger than any profile", "/bin/true",
         R"({"outbounds":[{"protocol":"freedom"}],"x":")" + std::string(5 << 20, 'a') + "\"}", "larger than", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tunnel tunnel({"--core", c.core});
        tunnel.container().write(profile(c.xray));
        TunnelState failed = tunnel.waitForState("failed");
        ASSERT_EQ(failed.state, "failed") << tunnel.log();
        EXPECT_NE(failed.reason.find(c.reason), std::string::npos) << failed.reason;
        EXPECT_EQ(tunnel.log().find("0b6e3a52-7d7e"), std::string::npos) << tunnel.log();
        if (c.retries) {
            // The first restart comes after a second's pause.
            TunnelState again = tunnel.waitFor([](const TunnelState& s) { return s.restarts >= 1; }, 5s);
            EXPECT_GE(again.restarts, 1) << tunnel.log();
        }
        EXPECT_FALSE(tunnel.process().wait(0ms)) << "a profile must not end the service";
        ::kill(tunnel.process().pid(), SIGTERM);
        auto exit = tunnel.process().wait(1s);
        ASSERT_TRUE(exit) << "SIGTERM not honoured within a second";
        EXPECT_TRUE(exit->success());
    }
}

TEST(TunnelService, HoldsItsRunDirectoryAloneAndCleansUpAfterAKilledOne) {
    // What a service killed outright leaves behind: the credential, a state that claims to run
    // under a pid that is alive (ours), a half-written file, and a link where the core's log goes.
    TempDir elsewhere;
    const fs::path target = elsewhere.path() / "target";
    std::ofstream(target) << "keep";
    Tunnel tunnel({"--core", "/bin/true"}, [&](const fs::path& run) {
        writePrivateFile(run / "core-config.json", "{\"id\":\"0b6e3a52-7d7e-4b3c-9a51-5e2f7c1d2a90\"}");
        writePrivateFile(run / "state.json.tmp-99999", "{");
        writePrivateFile(stateFile(run), encodeState({"running", "", "", "de-1", 1, 2, ::getpid(), 0, 0}));
        EXPECT_FALSE(readLiveState(run)) << "nothing holds the directory";
        fs::create_symlink(target, run / "core.log");
    });
    TunnelState idle = tunnel.waitFor([&](const TunnelState& s) { return s.state == "idle" && s.pid == tunnel.process().pid(); });
    ASSERT_EQ(idle.state, "idle") << tunnel.log();
    EXPECT_EQ(readLiveState(tunnel.runDir()), idle);
    for (const char* leftover : {"core-config.json", "state.json.tmp-99999", "core.log"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(tunnel.runDir() / leftover))) << leftover;

    // The core's log is made afresh, never through a link.
    fs::create_symlink(target, tunnel.runDir() / "core.log");
    tunnel.container().write(profile(directProfile));
    ASSERT_EQ(tunnel.waitForState("failed").state, "failed") << tunnel.log();
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");

    // A second service on the same run directory is refused and names the first.
    auto second = tunnel.startAnother(elsewhere.path() / "second.log");
    auto exit = second->wait(5s);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 3);
    std::ifstream secondLog(elsewhere.path() / "second.log");
    std::string said(std::istreambuf_iterator<char>(secondLog), {});
    EXPECT_NE(said.find("pid " + std::to_string(tunnel.process().pid())), std::string::npos) << said;
    EXPECT_FALSE(tunnel.process().wait(0ms)) << "the first one goes on";
}

TEST(TunnelService, RunsAHostileProfileWithoutItsOpenProxyOrItsLogFile) {
    SKIP_WITHOUT_CORE();
    TempDir home;
    const fs::path chosen = home.path() / ".bashrc";
    const int open = tools::freeLoopbackPort();
    const std::string hostile = R"({"outbounds":[{"protocol":"freedom","settings":{}}],
        "inboundDetour":[{"listen":"0.0.0.0","port":)" + std::to_string(open) + R"(,"protocol":"socks","settings":{"auth":"noauth"}}],
        "Log":{"error":")" + chosen.string() + R"(","loglevel":"debug"}})";
    Tunnel tunnel;
    tunnel.container().write(profile(hostile));
    TunnelState running = tunnel.waitForState("running");
    ASSERT_EQ(running.state, "running") << running.reason << tunnel.log();
    EXPECT_TRUE(tools::acceptsConnections(running.socksPort));
    // A proxy on 0.0.0.0 would answer on loopback too.
    EXPECT_FALSE(tools::acceptsConnections(open, 300ms)) << "the profile's own proxy on every interface runs";
    EXPECT_FALSE(fs::exists(chosen)) << "the core writes a file of the profile's choosing";
    EXPECT_NE(tunnel.log().find("left out of the profile"), std::string::npos) << tunnel.log();
}

}  // namespace
}  // namespace tarn::tunnel::test
