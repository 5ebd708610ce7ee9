// tarn-tunnel: runs the connection profile that the application hands over in the shared
// directory, in the foreground (as a systemd user service or from a terminal) until SIGTERM or
// SIGINT.
#include "service.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include <CLI/CLI.hpp>

#include "common/cli_docs.hpp"

namespace {

int stopPipe[2] = {-1, -1};

extern "C" void requestStop(int) {
    int saved = errno;
    char byte = 1;
    [[maybe_unused]] auto n = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

int main(int argc, char** argv) {
    tarn::tunnel::ServiceOptions options;
    std::string appGroupRoot = options.appGroupRoot.string();
    std::string runDirectory;
    std::string core;
    double startTimeout = 10;
    CLI::App app{"Tarn tunnel service: runs the VPN profile handed over by the application", "tarn-tunnel"};
    app.add_option("--app-group-root", appGroupRoot, "Directory shared with the application")->capture_default_str();
    app.add_option("--app-group", options.appGroupID, "Application group (a directory below the root)")->capture_default_str();
    app.add_option("--run-dir", runDirectory,
                   "Private directory for the state file and the core's configuration (default: " +
                       options.runDirectory.string() + ", with --system " + tarn::tunnel::systemRunDirectory().string() + ")");
    app.add_option("--core", core, "Xray-compatible core to run (default: xray on $PATH, else v2ray)");
    app.add_option("--socks-port", options.ports.socks, "Loopback SOCKS5 port added to profiles without inbounds; 0: any free port")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--http-port", options.ports.http, "Loopback HTTP proxy port added to profiles without inbounds; 0: any free port")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--start-timeout", startTimeout, "Seconds the core has to open its proxy port")
        ->check(CLI::Range(1.0, 300.0))
        ->capture_default_str();
    app.add_flag("--system", options.systemMode,
                 "Route every flow of the host through the profile, with a kill switch (needs CAP_NET_ADMIN)");
    app.add_flag("--allow-lan", options.allowLAN, "In system mode: reach the local network directly");
    app.add_option("--core-group", options.coreGroup, "In system mode: the group the core runs with; its traffic goes around the tunnel")
        ->capture_default_str();
    bool removeRules = false;
    app.add_flag("--remove-rules", removeRules, "Remove the system mode's rules and routes (lifting the kill switch) and exit");
    // Read by the build to write the manual page.
    bool manPage = false;
    app.add_flag("--man-page", manPage, "Print the manual page (roff)")->group("");
    CLI11_PARSE(app, argc, argv);
    if (manPage) {
        std::cout << tarn::cli::manPage(
            app, "tarn-tunnel " TARN_TUNNEL_VERSION,
            {{"Description",
              "Watches the shared directory for the profile tarnctl connect hands over, checks it (only the "
              "outbounds, routing, DNS and policy of a profile are used; its listeners are rebuilt on loopback), and "
              "runs it with an Xray-compatible core. Without --system the core offers SOCKS5 and HTTP proxies on "
              "loopback; with --system every TCP and UDP flow of the host goes through the profile and a kill switch "
              "drops whatever would leave beside it until the profile is removed."},
             {"Exit status", "0 stopped on request\n\n1 failed to start\n\n2 usage error\n\n"
                             "3 another tarn-tunnel already runs on this run directory"},
             {"Files", "$XDG_RUNTIME_DIR/tarn-tunnel/state.json (with --system /run/tarn-tunnel/state.json)\n  the "
                       "service's state, read by tarnctl status"},
             {"See also", "tarnctl(1), /usr/share/doc/tarnctl/tarn-tunnel.md"}});
        return 0;
    }
    if (runDirectory.empty())
        runDirectory = (options.systemMode || removeRules ? tarn::tunnel::systemRunDirectory() : options.runDirectory).string();
    if (removeRules) {
        std::string problems;
        try {
            std::filesystem::path directory = std::filesystem::absolute(runDirectory);
            tarn::tunnel::ensurePrivateDirectory(directory, true);
            problems = tarn::tunnel::removeSystemRouting(directory);
        } catch (const std::exception& e) {
            problems = e.what();
        }
        if (!problems.empty()) std::cerr << "tarn-tunnel: " << problems << "\n";
        return problems.empty() ? 0 : 1;
    }
    options.appGroupRoot = appGroupRoot;
    options.runDirectory = std::filesystem::absolute(runDirectory);
    options.core = core;
    options.startTimeout = std::chrono::milliseconds(static_cast<long>(startTimeout * 1000));

    // Signals become a byte in a pipe that the service's loop polls, so that stopping happens on
    // the loop's own terms: the core is stopped and "stopped" published before we exit.
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::cerr << "tarn-tunnel: cannot create a pipe\n";
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = requestStop;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);

    try {
        tarn::tunnel::Service service(options);
        service.run(stopPipe[0]);
    } catch (const tarn::tunnel::AlreadyRunning& e) {
        // Its own exit status, which the unit does not restart on: waiting will not change it.
        std::cerr << "tarn-tunnel: " << e.what() << "\n";
        return 3;
    } catch (const std::exception& e) {
        std::cerr << "tarn-tunnel: " << tarn::tunnel::redactUUIDs(e.what()) << "\n";
        return 1;
    }
    return 0;
}
