#include "core_config.hpp"
#include "common/instance_lock.hpp"
#include "common/tunnel_state.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "harness.hpp"

namespace tarn::tunnel {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;
constexpr const char* clientID = "0b6e3a52-7d7e-4b3c-9a51-5e2f7c1d2a90";

std::string withInbounds(const std::string& inbounds) {
    return R"({"inbounds":)" + inbounds +
           R"(,"outbounds":[{"protocol":"vless","settings":{"vnext":[{"address":"127.0.0.1","port":1,"users":[{"id":")" +
           clientID + R"("}]}]}}]})";
}

TEST(PrepareCoreConfig, AddsLoopbackProxiesOnlyWhenTheProfileHasNone) {
    struct Case {
        const char* name;
        std::string xray;
        int socks, http;  // expected ports
        bool added;
    };
    const Case cases[] = {
        {"no inbounds", R"({"outbounds":[{"protocol":"freedom"}]})", 1111, 2222, true},
        {"empty inbounds", withInbounds("[]"), 1111, 2222, true},
        {"own loopback inbounds",
         withInbounds(R"([{"listen":"127.0.0.1","port":10808,"protocol":"socks"},{"listen":"127.0.0.1","port":"10809","protocol":"http"}])"),
         10808, 10809, false},
        {"IPv6 loopback, no HTTP", withInbounds(R"([{"listen":"::1","port":7000,"protocol":"socks"}])"), 7000, 0, false},
        {"port range has no single port", withInbounds(R"([{"listen":"127.0.0.2","port":"7000-7010","protocol":"socks"}])"), 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CoreConfig out = prepareCoreConfig(c.xray, {1111, 2222});
        EXPECT_EQ(out.socksPort, c.socks);
        EXPECT_EQ(out.httpPort, c.http);
        Json config = Json::parse(out.text);
        EXPECT_EQ(config["log"]["access"], "none") << "the access log names every site visited";
        if (c.added) {
            ASSERT_EQ(config["inbounds"].size(), 2u);
            for (const auto& inbound : config["inbounds"]) EXPECT_EQ(inbound["listen"], "127.0.0.1");
        }
        EXPECT_EQ(config["outbounds"], Json::parse(c.xray)["outbounds"]) << "the profile's route is kept as it is";
    }
}

std::string withMembers(const std::string& members) {
    return R"({"outbounds":[{"protocol":"freedom"}],)" + members + "}";
}

std::string nested(int depth) { return withMembers(R"("routing":{"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}"); }

TEST(PrepareCoreConfig, LeavesOutWhatTheCoreWouldReadBesideTheTunnelsOwnSettings) {
    // Go's decoder, which the core uses, matches member names regardless of case, and the core
    // still reads its legacy spellings of inbounds: none of these may reach it.
    const std::pair<const char*, std::string> cases[] = {
        {"legacy inboundDetour", withMembers(R"("inboundDetour":[{"listen":"0.0.0.0","port":1080,"protocol":"socks"}])")},
        {"legacy inbound", withMembers(R"("inbound":{"listen":"0.0.0.0","port":1080,"protocol":"socks"})")},
        {"log in another case", withMembers(R"("Log":{"error":"/home/user/.bashrc","loglevel":"debug"})")},
        {"log with files", withMembers(R"("log":{"error":"/home/user/.profile","access":"/tmp/visited"})")},
        {"API, statistics, reverse proxy, metrics",
         withMembers(R"("api":{"tag":"api","listen":"0.0.0.0:8080"},"stats":{},"reverse":{"portals":[]},"metrics":{"listen":"0.0.0.0:1"})")},
        {"global Unix socket transport", withMembers(R"("transport":{"dsSettings":{"path":"/home/user/.ssh/authorized_keys"}})")},
    };
    for (const auto& [name, xray] : cases) {
        SCOPED_TRACE(name);
        CoreConfig out = prepareCoreConfig(xray, {1111, 2222});
        Json config = Json::parse(out.text);
        for (const auto& [member, value] : config.items())
            EXPECT_TRUE(member == "log" || member == "inbounds" || member == "outbounds") << member;
        EXPECT_EQ(config["log"], Json::parse(R"({"loglevel":"warning","access":"none"})"));
        for (const auto& inbound : config["inbounds"]) EXPECT_EQ(inbound["listen"], "127.0.0.1");
        EXPECT_FALSE(out.dropped.empty());
    }
}

TEST(PrepareCoreConfig, RefusesWhatItCannotRunSafely) {
    const std::pair<std::string, std::string> cases[] = {
        {"not JSON", "{\"outbounds\":"},
        {"not an object", "[1,2]"},
        {"no outbounds", R"({"inbounds":[]})"},
        {"inbounds not a list", withInbounds(R"({"port":1})")},
        {"wildcard listen", withInbounds(R"([{"listen":"0.0.0.0","port":1080,"protocol":"socks"}])")},
        {"no listen: all interfaces", withInbounds(R"([{"port":1080,"protocol":"socks"}])")},
        {"a LAN address", withInbounds(R"([{"listen":"192.168.1.2","port":1080,"protocol":"http"}])")},
        {"one good, one open", withInbounds(R"([{"listen":"127.0.0.1","port":1,"protocol":"socks"},{"listen":"::","port":2,"protocol":"http"}])")},
        {"inbounds in another case", withMembers(R"("Inbounds":[{"listen":"0.0.0.0","port":1080,"protocol":"socks"}])")},
        {"inbounds with a long s", withMembers(R"("inbound\u017f":[{"listen":"0.0.0.0","port":1080,"protocol":"socks"}])")},
        {"inbounds named twice", withMembers(R"("inbounds":[],"INBOUNDS":[{"listen":"0.0.0.0","port":1,"protocol":"socks"}])")},
        {"listen named twice", withInbounds(R"([{"listen":"127.0.0.1","Listen":"0.0.0.0","port":1,"protocol":"socks"}])")},
        {"tag is a number", withInbounds(R"([{"tag":7,"listen":"127.0.0.1","port":1,"protocol":"socks"}])")},
        {"protocol is a number", withInbounds(R"([{"listen":"127.0.0.1","port":1,"protocol":7}])")},
        {"listen is a number", withInbounds(R"([{"listen":2130706433,"port":1,"protocol":"socks"}])")},
        {"port is negative", withInbounds(R"([{"listen":"127.0.0.1","port":-1,"protocol":"socks"}])")},
        {"a server inbound", withInbounds(R"([{"listen":"127.0.0.1","port":1,"protocol":"vless","settings":{"fallbacks":[{"dest":"/run/x.sock"}]}}])")},
        {"inbound stream settings", withInbounds(R"([{"listen":"127.0.0.1","port":1,"protocol":"socks","streamSettings":{"network":"domainsocket"}}])")},
        {"outbound over a Unix socket",
         R"({"outbounds":[{"protocol":"vless","streamSettings":{"network":"DomainSocket","dsSettings":{"path":"/run/docker.sock"}}}]})"},
        {"outbound not an object", R"({"outbounds":[1]})"},
        {"outbound tag is a list", R"({"outbounds":[{"protocol":"freedom","tag":[]}]})"},
        {"routing is a list", withMembers(R"("routing":[])")},
        {"nested too deep", nested(maxProfileDepth)},
        {"too large", withMembers("\"routing\":{\"x\":\"" + std::string(maxProfileBytes, 'a') + "\"}")},
    };
    for (const auto& [name, xray] : cases) {
        SCOPED_TRACE(name);
        try {
            prepareCoreConfig(xray, {});
            ADD_FAILURE() << "accepted";
        } catch (const ProfileError& e) {
            EXPECT_EQ(std::string(e.what()).find(clientID), std::string::npos) << e.what();
        }
    }
    EXPECT_NO_THROW(prepareCoreConfig(nested(maxProfileDepth - 2), {})) << "real profiles nest a few levels";
}

TEST(RedactUUIDs, HidesEveryClientIDAndNothingElse) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("invalid user ") + clientID, "invalid user <redacted>"},
        {std::string(clientID) + clientID, "<redacted><redacted>"},
        {"0B6E3A52-7D7E-4B3C-9A51-5E2F7C1D2A90.", "<redacted>."},
        {"0b6e3a52-7d7e-4b3c-9a51-5e2f7c1d2a9", "0b6e3a52-7d7e-4b3c-9a51-5e2f7c1d2a9"},  // one digit short
        {"0b6e3a52_7d7e-4b3c-9a51-5e2f7c1d2a90", "0b6e3a52_7d7e-4b3c-9a51-5e2f7c1d2a90"},
        {"listening on 127.0.0.1:10808", "listening on 127.0.0.1:10808"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(redactUUIDs(in), out) << in;
}

TEST(UntrustedFileReason, AcceptsOnlyThisUsersPrivateRegularFiles) {
    test::TempDir dir;
    auto make = [&](const char* name, mode_t mode) {
        fs::path p = dir.path() / name;
        std::ofstream(p) << "{}";
        ::chmod(p.c_str(), mode);
        return p;
    };
    fs::path ok = make("ok", 0600);
    fs::create_symlink(ok, dir.path() / "link");
    fs::create_directory(dir.path() / "dir");
    const std::pair<fs::path, const char*> cases[] = {
        {ok, nullptr},
        {make("readonly", 0400), nullptr},
        {make("group-readable", 0640), "open to other users (mode 640)"},
        {make("world-writable", 0602), "open to other users (mode 602)"},
        {dir.path() / "link", "symbolic link"},
        {dir.path() / "dir", "not a regular file"},
        {dir.path() / "missing", "missing"},
    };
    for (const auto& [path, why] : cases) {
        auto reason = untrustedFileReason(path);
        if (!why) {
            EXPECT_FALSE(reason) << path << ": " << *reason;
        } else {
            ASSERT_TRUE(reason) << path;
            EXPECT_NE(reason->find(why), std::string::npos) << *reason;
        }
    }
    if (::geteuid() == 0) {
        fs::path other = make("other-owner", 0600);
        ASSERT_EQ(::chown(other.c_str(), 4242, 4242), 0);
        ASSERT_TRUE(untrustedFileReason(other));
        EXPECT_NE(untrustedFileReason(other)->find("belongs to user 4242"), std::string::npos);
        // A root service for a shared directory takes a member's file, and only a member's.
        fs::path nobodys = make("nobodys", 0600);
        ASSERT_EQ(::chown(nobodys.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(untrustedFileReason(nobodys, 65534)) << "nobody's primary group is nogroup";
        EXPECT_TRUE(untrustedFileReason(nobodys, 4242));
        EXPECT_TRUE(untrustedFileReason(other, 65534));
        ASSERT_EQ(::chmod(nobodys.c_str(), 0660), 0);
        EXPECT_TRUE(untrustedFileReason(nobodys, 65534)) << "a member's file others may change";
    }
}

TEST(CrashBackoff, DoublesFromOneSecondUpToThirty) {
    const std::pair<int, int> cases[] = {{-1, 1}, {0, 1}, {1, 2}, {3, 8}, {4, 16}, {5, 30}, {40, 30}};
    for (auto [attempt, seconds] : cases) EXPECT_EQ(crashBackoff(attempt), std::chrono::seconds(seconds)) << attempt;
}

TEST(TunnelStateFile, IsBelievedOnlyWhileItsServiceHoldsTheRunDirectory) {
    TunnelState s{"running", "", profileFingerprint("{}"), "de-1", 10808, 10809, ::getpid(), 1700000000, 2};
    EXPECT_EQ(decodeState(encodeState(s)), s);
    for (const char* bad : {"", "[]", "{}", R"({"state":7})", R"({"state":"running","pid":"1"})"}) EXPECT_FALSE(decodeState(bad)) << bad;
    EXPECT_NE(profileFingerprint("{\"a\":1}"), profileFingerprint("{\"a\":2}"));

    // A service in another process: it takes the lock, says so, and waits to be told to end.
    test::TempDir dir;
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    pid_t service = ::fork();
    if (service == 0) {
        InstanceLock lock(dir.path());
        char byte = 1;
        if (::write(ready[1], &byte, 1) != 1 || ::read(done[0], &byte, 1) < 0) ::_exit(1);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(lockHolder(dir.path()), service);
    EXPECT_THROW(InstanceLock{dir.path()}, AlreadyRunning);

    s.pid = service;
    writePrivateFile(stateFile(dir.path()), encodeState(s));
    EXPECT_EQ(readLiveState(dir.path()), s);
    struct stat st {};
    ASSERT_EQ(::stat(stateFile(dir.path()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A live pid that does not hold the lock: a killed service's pid taken by another process.
    s.pid = ::getpid();
    writePrivateFile(stateFile(dir.path()), encodeState(s));
    EXPECT_FALSE(readLiveState(dir.path()));
    s.pid = service;
    s.state = "stopped";
    writePrivateFile(stateFile(dir.path()), encodeState(s));
    EXPECT_FALSE(readLiveState(dir.path()));

    s.state = "running";
    writePrivateFile(stateFile(dir.path()), encodeState(s));
    ASSERT_EQ(::write(done[1], &byte, 1), 1);
    ::waitpid(service, nullptr, 0);
    EXPECT_FALSE(readLiveState(dir.path())) << "the lock goes with the process";
    EXPECT_FALSE(lockHolder(dir.path()));
    for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

}  // namespace
}  // namespace tarn::tunnel
