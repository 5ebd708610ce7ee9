// `tarnctl demo`: the whole library at work against a development backend started for the
// occasion, in numbered steps a person can follow. Everything it writes lives in a temporary
// directory (state, file key store, app-group directory), and the backend is stopped on every way
// out, failures included.
#include "commands/commands.hpp"
#include "common/subprocess.hpp"
#include "errors.hpp"

#include <tarn/logic/connect_eligibility.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

namespace tarnctl {

namespace {

constexpr const char* demoEmail = "demo@tarn.dev";
constexpr const char* demoPassword = "demo-password";

// `name` given explicitly, in the environment variable `env`, beside tarnctl in a build tree
// (`buildTreePath`, relative to <build>) or an installation, or on $PATH.
std::optional<std::filesystem::path> locateProgram(const std::string& given, const char* env, const std::string& name,
                                                   const std::string& buildTreePath) {
    auto executable = [](const std::filesystem::path& p) {
        std::error_code ec;
        return std::filesystem::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
    };
    if (!given.empty()) return std::filesystem::path(given);
    if (const char* value = std::getenv(env); value && *value) return std::filesystem::path(value);
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        // In a build tree tarnctl is <build>/tools/tarnctl/tarnctl; installed, all share a bin/.
        for (const auto& candidate : {self.parent_path() / "../.." / buildTreePath, self.parent_path() / name}) {
            if (executable(candidate)) return std::filesystem::weakly_canonical(candidate);
        }
    }
    return tarn::tools::findOnPath(name);
}

// GET `url` (http://127.0.0.1:...) through the HTTP proxy on 127.0.0.1:`proxyPort`: the status
// code and the size of the answer, or nullopt when the proxy does not answer within 10 s.
std::optional<std::pair<int, std::size_t>> fetchThroughProxy(int proxyPort, const std::string& url) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(proxyPort));
    std::string host = url.substr(url.find("://") + 3);
    host = host.substr(0, host.find('/'));
    std::string request = "GET " + url + " HTTP/1.0\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[4096];
        ssize_t n;
        while (answer.size() < (1 << 20) && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // "HTTP/1.1 200 OK"
    if (!answer.starts_with("HTTP/") || answer.find(' ') == std::string::npos) return std::nullopt;
    int status = std::atoi(answer.c_str() + answer.find(' ') + 1);
    auto body = answer.find("\r\n\r\n");
    return std::pair{status, body == std::string::npos ? 0 : answer.size() - body - 4};
}

// A fresh private directory; removed at the end unless the demo failed or --keep was given.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnctl-demo-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::filesystem::filesystem_error("cannot create a temporary directory", pattern,
                                                    std::error_code(errno, std::generic_category()));
        }
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        if (keep_) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    void keep() { keep_ = true; }
    bool kept() const { return keep_; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

class Steps {
public:
    void start(std::string_view title) { std::cout << '\n' << ++number_ << ". " << title << std::endl; }
    static void say(std::string_view text) { std::cout << "   " << text << '\n'; }
    // Output of the everyday commands, indented under the step.
    static void block(const std::string& text) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) std::cout << "   " << line << '\n';
    }

private:
    int number_ = 0;
};

std::string checkWithV2Ray(const std::filesystem::path& xrayFile) {
    auto v2ray = tarn::tools::findOnPath("v2ray");
    if (!v2ray) return "";
    // V2Ray 4 spells the check "-test -config"; V2Ray 5 has a "test" command.
    if (tarn::tools::captureOutput(*v2ray, {"-test", "-config", xrayFile.string()}) ||
        tarn::tools::captureOutput(*v2ray, {"test", "-c", xrayFile.string()})) {
        return "v2ray accepts xray-config.json as a client configuration.";
    }
    return "v2ray rejects xray-config.json!";
}

}  // namespace

int runDemo(const GlobalOptions& globals, const DemoOptions& options) {
    auto program = locateProgram(options.devserver, "TARN_DEVSERVER", "tarn-devserver", "devserver/tarn-devserver");
    // With a core and the tunnel service at hand, the demo carries real traffic: the backend runs
    // its VLESS endpoint and the profile it hands out connects to it.
    auto tunnelProgram = locateProgram("", "TARN_TUNNEL", "tarn-tunnel", "tools/tarn-tunnel/tarn-tunnel");
    const bool carryTraffic = tunnelProgram && tarn::tools::findOnPath("v2ray");
    if (!program) {
        throw CliError(exitLocal, "local",
                       "tarn-devserver not found: build it (cmake --build build/release --target tarn-devserver), "
                       "set TARN_DEVSERVER, or pass --devserver PATH");
    }
    TemporaryDirectory temp;
    if (options.keep) temp.keep();
    Steps steps;
    try {
        std::cout << "Tarn VPN Core demo: tarnctl and the library against a local development backend.\n"
                  << "Everything is kept in " << temp.path().string() << (options.keep ? "" : " and removed at the end")
                  << ".\n";

        steps.start("Start the development backend");
        // SIGTERM from the kernel should tarnctl die without cleaning up (SIGKILL, a crash): the
        // server then stops as cleanly as on any other way out.
        std::vector<std::string> serverArgs = {"--port", "0", "--quiet"};
        if (carryTraffic) serverArgs.push_back("--vless-endpoint");
        tarn::tools::ServerProcess server(*program, serverArgs, temp.path() / "devserver.log", SIGTERM,
                                          std::chrono::seconds(15));
        Steps::say("tarn-devserver is listening on " + server.url() + " (log: " + (temp.path() / "devserver.log").string() + ")");

        GlobalOptions local = globals;
        local.baseURL = server.url();
        local.json = false;
        local.keychain = "file";
        local.stateDir = temp.path() / "state";
        local.appGroupRoot = temp.path() / "app-groups";
        std::filesystem::create_directories(*local.appGroupRoot);
        ::chmod(local.appGroupRoot->c_str(), 0700);
        const std::filesystem::path tunnelDir = temp.path() / "tunnel";
        std::unique_ptr<tarn::tools::Subprocess> tunnel;
        if (carryTraffic) {
            tarn::tools::SpawnOptions spawn;
            spawn.pipeStdout = false;
            spawn.stderrFile = temp.path() / "tunnel.log";
            spawn.parentDeathSignal = SIGTERM;
            tunnel = std::make_unique<tarn::tools::Subprocess>(
                *tunnelProgram,
                std::vector<std::string>{"--app-group-root", local.appGroupRoot->string(), "--run-dir", tunnelDir.string(),
                                         "--socks-port", "0", "--http-port", "0"},
                spawn);
            Steps::say("The tunnel service, tarn-tunnel, watches " + (*local.appGroupRoot / appGroupID).string() +
                       " (log: " + spawn.stderrFile.string() + ")");
        } else {
            Steps::say("(tarn-tunnel or v2ray is missing: the demo hands the profile over but carries no traffic)");
        }
        auto session = std::make_unique<App>(local);
        App& app = *session;
        tarn::BlockingClient& client = app.client();

        steps.start(std::string("Sign in with a password as ") + demoEmail);
        tarn::AuthResponse auth = client.login(demoEmail, demoPassword);
        Steps::say("Signed in as " + auth.user.email.value_or(auth.user.id) + "; subscription " +
                   subscriptionSummary(auth.user) + ".");
        Steps::say("The token pair is in the " + app.keychainKind() + " secret store under " +
                   app.keychainFileRoot().string() + " (never printed).");
        Steps::say("This machine's device id: " + app.deviceID());

        steps.start("The account's devices");
        std::ostringstream devices;
        printDevices(devices, client.accountDevices(), app.deviceID());
        Steps::block(devices.str());

        steps.start("Servers, least loaded first");
        std::vector<tarn::VPNServer> servers = sortedByLoad(client.servers());
        std::ostringstream serverTable;
        printServers(serverTable, servers);
        Steps::block(serverTable.str());
        // The backend marks the list for revalidation: asked again, it answers 304 and no list.
        (void)client.servers();
        Steps::say("Asked again: " + cacheNote(app.lastCacheResult()).value_or("downloaded again") + ".");

        steps.start("Connect to the least loaded available server");
        ConnectResult connected = connectTo(app, "");
        std::ostringstream decision;
        decision << connected.decision;
        Steps::say("Chosen: " + connected.server.id + " (" + connected.server.city + ", load " +
                   std::to_string(connected.server.load) + "%)");
        Steps::say("Eligibility decision: " + decision.str());
        for (const auto& s : servers) {
            if (s.isAvailable) continue;
            std::ostringstream refused;
            refused << tarn::ConnectEligibility::evaluate(connected.user, s, std::nullopt);
            Steps::say("For comparison, " + s.id + " (unavailable): " + refused.str());
            break;
        }

        steps.start("Files written for the tunnel process");
        Steps::say("Directory " + connected.directory.string());
        for (const auto& f : connected.files) {
            std::error_code ec;
            auto size = std::filesystem::file_size(f, ec);
            Steps::say("  " + f.filename().string() + "  " + (ec ? std::string("?") : std::to_string(size)) + " bytes");
        }
        tarn::VLESSConfig handed = app.container().readConfig();
        Steps::say("Read back by the tunnel's side: profile for server " + handed.serverID + ", subscription " +
                   std::string(tarn::rawValue(handed.subscriptionStatus)) + ", VPN access " +
                   std::string(tarn::rawValue(handed.vpnAccessStatus)) + ".");
        if (std::string check = checkWithV2Ray(connected.files.front()); !check.empty()) Steps::say(check);

        if (tunnel) {
            steps.start("The tunnel runs the profile");
            auto state = waitForTunnel(tunnelDir, connected.config.xrayJSON, tunnelTimeout);
            if (!state) throw CliError(exitLocal, "tunnel", "tarn-tunnel did not start (see tunnel.log)");
            Steps::say("tarn-tunnel is " + describeTunnel(state) + ".");

            steps.start("Fetch a page through the tunnel");
            std::string page = server.url() + "/app/ios/release";
            auto fetched = fetchThroughProxy(state->httpPort, page);
            if (!fetched) throw CliError(exitLocal, "tunnel", "no answer through the tunnel's HTTP proxy");
            Steps::say("GET " + page + " through the HTTP proxy 127.0.0.1:" + std::to_string(state->httpPort) + ": status " +
                       std::to_string(fetched->first) + ", " + std::to_string(fetched->second) + " bytes.");
            Steps::say("It travelled over VLESS to the backend's endpoint, which accepts this device's id only.");
        }

        steps.start("Diagnostics report (what a support request would carry)");
        Steps::block(diagnosticsReport(app));

        steps.start("Disconnect and sign out");
        app.container().clearVPNConfig();
        Steps::say(std::filesystem::exists(connected.files.back()) ? "The profile is still there!"
                                                                   : "The connection profile is removed.");
        if (tunnel) {
            waitForTunnel(tunnelDir, "", tunnelTimeout);
            Steps::say("The tunnel stopped its core: no proxy is listening any more.");
            bool clean = tunnel->stop().success();
            Steps::say(clean ? "tarn-tunnel stopped." : "tarn-tunnel stopped (it did not exit cleanly).");
        }
        client.logout();
        Steps::say(app.signedIn() ? "Signed out, but tokens remain in the secret store!"
                                  : "Signed out; the secret store holds no tokens.");

        steps.start("Stop the development backend");
        // Closing the client first closes its kept-alive connection, which the server would
        // otherwise wait for before it exits.
        session.reset();
        bool clean = server.stop().success();
        Steps::say(clean ? "Stopped." : "Stopped (it did not exit cleanly).");
        std::cout << "\nDone. Try it yourself: run `tarn-devserver`, then `tarnctl login` (" << demoEmail << " / "
                  << demoPassword << "), `tarnctl servers`, `tarnctl connect`.\n";
        return exitOK;
    } catch (...) {
        temp.keep();
        std::cout << "\nThe demo stopped at step above; its files (with the backend's log) are kept in "
                  << temp.path().string() << ".\n"
                  << std::flush;
        throw;
    }
}

}  // namespace tarnctl
