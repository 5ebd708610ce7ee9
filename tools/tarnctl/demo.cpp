// `tarnctl demo`: the whole library at work against a development backend started for the
// occasion, in numbered steps a person can follow. Everything it writes lives in a temporary
// directory (state, file key store, app-group directory), and the backend is stopped on every way
// out, failures included.
#include "commands/commands.hpp"
#include "common/subprocess.hpp"
#include "errors.hpp"

#include <tarn/logic/connect_eligibility.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

namespace tarnctl {

namespace {

constexpr const char* demoEmail = "demo@tarn.dev";
constexpr const char* demoPassword = "demo-password";

std::optional<std::filesystem::path> locateDevServer(const std::string& given) {
    auto executable = [](const std::filesystem::path& p) {
        std::error_code ec;
        return std::filesystem::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
    };
    if (!given.empty()) return std::filesystem::path(given);
    if (const char* env = std::getenv("TARN_DEVSERVER"); env && *env) return std::filesystem::path(env);
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        // In a build tree tarnctl is <build>/tools/tarnctl/tarnctl; installed, both share a bin/.
        for (const auto& candidate : {self.parent_path() / "../../devserver/tarn-devserver", self.parent_path() / "tarn-devserver"}) {
            if (executable(candidate)) return std::filesystem::weakly_canonical(candidate);
        }
    }
    return tarn::tools::findOnPath("tarn-devserver");
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
    auto program = locateDevServer(options.devserver);
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
        tarn::tools::ServerProcess server(*program, {"--port", "0", "--quiet"}, temp.path() / "devserver.log", SIGTERM,
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
        auto session = std::make_unique<App>(local);
        App& app = *session;
        SyncClient& client = app.client();

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

        steps.start("Diagnostics report (what a support request would carry)");
        Steps::block(diagnosticsReport(app));

        steps.start("Disconnect and sign out");
        app.container().clearVPNConfig();
        Steps::say(std::filesystem::exists(connected.files.back()) ? "The profile is still there!"
                                                                   : "The connection profile is removed.");
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
