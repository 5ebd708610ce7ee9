// tarnctl: the command-line client of Tarn VPN Core. Parses the command line, builds the App and
// runs one command; every failure ends as one line on stderr (and, with --json, one JSON object on
// stdout) and a distinct exit code.
#include "app.hpp"
#include "commands/commands.hpp"
#include "common/cli_docs.hpp"
#include "deadline.hpp"
#include "errors.hpp"

#include <CLI/CLI.hpp>

#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#ifndef TARNCTL_VERSION
#define TARNCTL_VERSION "0.0.0"
#endif

namespace {

using namespace tarnctl;

int report(const ErrorReport& error, bool json) {
    // The parts of a message that quote the server are redacted and escaped already; escaping the
    // whole line again keeps it one line whatever a command put into it. Redacting it again would
    // rewrite our own words wherever they equal a secret, and so tell the secret.
    const std::string message = escaped(error.message);
    std::cerr << "tarnctl: " << message << '\n' << std::flush;
    if (json) {
        JsonObject detail;
        detail.integer("exit_code", error.exitCode).string("kind", error.kind).string("message", message);
        for (const auto& [key, value] : error.extra) detail.raw(key, value);
        std::cout << JsonObject().raw("error", detail.str()).str() << '\n' << std::flush;
    }
    return error.exitCode;
}

// From here on the command ends within --deadline, whatever it is waiting for. The demo is left
// out: it runs a server of its own that an abrupt exit would leave behind.
void startDeadline(const GlobalOptions& globals) {
    std::ostringstream limit;
    limit << globals.deadlineSeconds;
    const bool json = globals.json;
    tarnctl::CommandDeadline::start(
        std::chrono::milliseconds(static_cast<std::int64_t>(globals.deadlineSeconds * 1000)),
        [json, limit = limit.str()](const std::string& step, int exitCode) {
            report({exitCode, exitCode == exitNetwork ? "network" : "local",
                    "gave up after " + limit + " s (--deadline) while " + step, {}},
                   json);
            // The command's thread is stuck where it is; nothing it holds needs tidying that the
            // kernel does not do (locks are released with the process).
            std::_Exit(exitCode);
        });
}

std::vector<tarn::cli::ManSection> manSections() {
    return {
        {"Exit status", exitCodeHelp},
        {"Environment",
         "TARN_BASE_URL\n  the backend when --base-url is not given\n\n"
         "XDG_STATE_HOME\n  the state directory is $XDG_STATE_HOME/tarnctl (else ~/.local/state/tarnctl)"},
        {"Files",
         "~/.local/state/tarnctl/\n  device identifier, the file key store (when there is no Secret Service), the last "
         "error and the HTTP cache\n\n"
         "/var/lib/tarn/app-groups/group.dev.tarn.vpn/\n  the profile handed to the tunnel service"},
        {"Examples",
         "  tarnctl demo\n  tarnctl login you@example.com\n  tarnctl servers\n  tarnctl connect\n"
         "  tarnctl --json status\n  tarnctl api vpnConfig --server-id ID"},
        {"See also", "tarn-tunnel(1), tarn-devserver(1)"},
    };
}

// `tarnctl help [COMMAND [SUBCOMMAND]]`: the same text as --help, found by name.
int printHelp(const CLI::App& cli, const std::vector<std::string>& topic, bool json) {
    const CLI::App* app = &cli;
    for (const auto& word : topic) {
        const CLI::App* next = nullptr;
        std::vector<std::string> names;
        for (const CLI::App* sub : app->get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); })) {
            names.push_back(sub->get_name());
            if (sub->get_name() == word) next = sub;
        }
        if (next == nullptr) {
            std::string message = "no command `" + word + "`";
            if (auto meant = tarn::cli::closestMatch(word, names)) message += " (did you mean `" + *meant + "`?)";
            return report({exitUsage, "usage", oneLine(message), {}}, json);
        }
        app = next;
    }
    std::string path = "tarnctl";
    for (std::size_t i = 0; i + 1 < topic.size(); ++i) path += " " + topic[i];
    std::cout << app->help(topic.empty() ? "" : path);
    return exitOK;
}

int run(int argc, char** argv) {
    CLI::App cli("tarnctl: the Tarn VPN command-line client", "tarnctl");
    cli.fallthrough();  // global options may also follow the command
    cli.require_subcommand(0, 1);  // no command is reported below, with the usual exit code
    cli.set_version_flag("--version", std::string("tarnctl ") + TARNCTL_VERSION);
    cli.footer(std::string("Run `tarnctl help COMMAND` or `tarnctl COMMAND --help` for the options of a command.\n\n") +
               exitCodeHelp);

    GlobalOptions globals;
    globals.baseURL = GlobalOptions::defaultBaseURL();
    globals.stateDir = GlobalOptions::defaultStateDir();
    std::string appGroupRoot;
    std::string caFile;
    cli.add_option("--base-url", globals.baseURL, "Backend base URL (default: $TARN_BASE_URL or http://127.0.0.1:8787)");
    cli.add_flag("--json", globals.json, "Machine-readable output: one JSON document on stdout");
    cli.add_option("--keychain", globals.keychain,
                   "Where the tokens live: secret-service or file (default: the Secret Service when the session "
                   "bus offers one, else files under the state directory)")
        ->check(CLI::IsMember({"secret-service", "file"}));
    cli.add_option("--state-dir", globals.stateDir,
                   "Device id, file key store and last error (default: $XDG_STATE_HOME/tarnctl or ~/.local/state/tarnctl)");
    cli.add_option("--app-group-root", appGroupRoot,
                   "Directory shared with the tunnel, holding group.dev.tarn.vpn/ (default: /var/lib/tarn/app-groups)");
    cli.add_option("--timeout", globals.timeoutSeconds, "Seconds allowed for each request (default: 60)");
    cli.add_option("--deadline", globals.deadlineSeconds,
                   "Seconds allowed for the whole command, not counting waits for your input (default: 300)");
    cli.add_flag("--allow-plain-http", globals.allowPlainHTTP,
                 "Allow an http:// base URL on another machine (passwords and tokens travel unencrypted)");
    cli.add_option("--ca-file", caFile, "PEM file of certificate authorities to trust instead of the system's");
    bool noCache = false;
    cli.add_flag("--no-cache", noCache, "Neither use nor keep the backend's cacheable answers (state directory's http-cache/)");
    cli.add_flag("--trace", globals.trace,
                 "Print to standard error when each request ends: method, path, status and time (never a host, header or body)");
    // A later value overrides an earlier one, so that scripts can put defaults in front.
    for (CLI::Option* option : cli.get_options()) {
        if (option->get_expected_min() > 0) option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }

    LoginOptions login;
    auto* loginCmd = cli.add_subcommand("login", "Sign in (password by default)");
    auto* emailOption = loginCmd->add_option("--email", login.email, "Email address (asked when missing)");
    loginCmd->add_option("EMAIL", login.email, "Email address, as an alternative to --email")->excludes(emailOption);
    auto* emailCode = loginCmd->add_flag("--email-code", login.emailCode, "Sign in with a code sent by email");
    auto* telegram = loginCmd->add_flag("--telegram", login.telegram, "Sign in through the Telegram bot");
    auto* google = loginCmd->add_flag("--google", login.google, "Sign in with Google in a browser");
    emailCode->excludes(telegram)->excludes(google);
    telegram->excludes(google);
    loginCmd->add_flag("--password-stdin", login.passwordStdin,
                       "Read the password from the first line of standard input instead of asking for it");
    loginCmd->add_flag("--accept-terms", login.acceptTerms,
                       "With --email-code: accept the terms and the processing of personal data (new accounts)");
    auto* logoutCmd = cli.add_subcommand("logout", "Sign out and remove the tokens from the secret store");
    auto* whoamiCmd = cli.add_subcommand("whoami", "Show the signed-in user");

    auto* devicesCmd = cli.add_subcommand("devices", "List the account's devices (or remove one)");
    devicesCmd->require_subcommand(0, 1);
    auto* devicesList = devicesCmd->add_subcommand("list", "List the account's devices");
    std::string removeID;
    auto* devicesRemove = devicesCmd->add_subcommand("remove", "Remove a device from the account, freeing its slot");
    devicesRemove->add_option("ID", removeID, "Device number from `tarnctl devices`")->required();

    auto* serversCmd = cli.add_subcommand("servers", "List the VPN servers, least loaded first");
    std::string serverID;
    auto* connectCmd = cli.add_subcommand("connect", "Fetch a server's profile, check eligibility, hand it to the tunnel");
    connectCmd->add_option("SERVER", serverID, "Server id (default: the least loaded available server)");
    auto* disconnectCmd = cli.add_subcommand("disconnect", "Remove the profile handed to the tunnel");
    auto* statusCmd = cli.add_subcommand("status", "Sign-in, connection and local state");
    auto* diagnosticsCmd = cli.add_subcommand("diagnostics", "The diagnostics report for support requests");

    UpdateCheckOptions update;
    auto* updateCmd = cli.add_subcommand("update-check", "Compare an app version with the published release");
    updateCmd->add_option("--app-version", update.appVersion, "Version to check (default: tarnctl's own)");
    updateCmd->add_option("--build", update.build, "Build number to check (default: 1)");

    auto* catalogCmd = cli.add_subcommand("catalog", "Tariffs, prices and payment methods");
    CheckoutOptions checkout;
    std::int64_t checkoutDevices = 0;
    auto* checkoutCmd = cli.add_subcommand("checkout", "Start a payment and print its confirmation link");
    checkoutCmd->add_option("TARIFF", checkout.tariff, "Tariff id from `tarnctl catalog`")->required();
    auto* devicesOption = checkoutCmd->add_option("--devices", checkoutDevices, "Device limit to buy (default: the tariff's)");
    checkoutCmd->add_option("--method", checkout.method, "Payment method id (default: the first offered)");
    checkoutCmd->add_flag("--recurring", checkout.recurring, "Opt in to recurring payment");
    checkoutCmd->add_option("--promo", checkout.promo, "Promo code");

    auto api = registerApiCommand(cli);

    DemoOptions demo;
    auto* demoCmd = cli.add_subcommand("demo", "Start tarn-devserver and walk through the whole library");
    demoCmd->add_option("--devserver", demo.devserver, "Path of tarn-devserver (default: found next to tarnctl)");
    demoCmd->add_flag("--keep", demo.keep, "Keep the temporary directory");

    std::string shellName;
    auto* completionCmd = cli.add_subcommand("completion", "Print the shell completion script (bash, zsh or fish)");
    completionCmd->add_option("SHELL", shellName, "bash, zsh or fish")->required()->check(CLI::IsMember({"bash", "zsh", "fish"}));
    completionCmd->footer("Load it for this shell:  source <(tarnctl completion bash)\n"
                          "The package installs all three where the shells look for them.");
    std::vector<std::string> helpTopic;
    auto* helpCmd = cli.add_subcommand("help", "Show the help of tarnctl or of a command");
    helpCmd->add_option("COMMAND", helpTopic, "A command, and a subcommand of it (`tarnctl help api vpnConfig`)");
    // Read by the build to write the manual page; not something a person types.
    bool manPage = false;
    cli.add_flag("--man-page", manPage, "Print the manual page (roff)")->group("");

    // Every command's help says which options may come with any command.
    const std::string globalHelp = tarn::cli::globalOptionsText(cli);
    std::vector<CLI::App*> pending = cli.get_subcommands([](CLI::App*) { return true; });
    while (!pending.empty()) {
        CLI::App* sub = pending.back();
        pending.pop_back();
        const std::string footer = sub->get_footer();
        sub->footer(footer.empty() ? globalHelp : footer + "\n\n" + globalHelp);
        for (CLI::App* child : sub->get_subcommands([](CLI::App*) { return true; })) pending.push_back(child);
    }

    // --json is known only after parsing; look for it first so that even a usage error can be
    // reported in JSON.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--json") globals.json = true;
    }
    try {
        cli.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = oneLine(e.what());
        // The suggestion is one of our own command or option names, never the user's text.
        if (auto meant = tarn::cli::suggestionFor(cli, std::vector<std::string>(argv + 1, argv + argc))) {
            message += " (did you mean `" + *meant + "`?)";
        } else {
            message += " (see `tarnctl --help`)";
        }
        return report({exitUsage, "usage", message, {}}, globals.json);
    }
    if (manPage) {
        std::cout << tarn::cli::manPage(cli, std::string("tarnctl ") + TARNCTL_VERSION, manSections());
        return exitOK;
    }
    if (completionCmd->parsed()) {
        std::cout << tarn::cli::completionScript(cli, *tarn::cli::shellNamed(shellName));
        return exitOK;
    }
    if (helpCmd->parsed()) return printHelp(cli, helpTopic, globals.json);
    // A bare `tarnctl` is someone finding their way: the overview, not an error.
    if (cli.get_subcommands().empty() && !globals.json) {
        std::cout << cli.help();
        return exitOK;
    }
    if (!appGroupRoot.empty()) globals.appGroupRoot = std::filesystem::absolute(appGroupRoot);
    if (!caFile.empty()) globals.caFile = caFile;
    globals.httpCache = !noCache;
    if (devicesOption->count() > 0) checkout.devices = checkoutDevices;

    std::unique_ptr<App> app;
    try {
        if (demoCmd->parsed()) return runDemo(globals, demo);
        app = std::make_unique<App>(globals);
        startDeadline(globals);
        if (loginCmd->parsed()) return runLogin(*app, login);
        if (logoutCmd->parsed()) return runLogout(*app);
        if (whoamiCmd->parsed()) return runWhoami(*app);
        if (devicesCmd->parsed()) {
            if (devicesRemove->parsed()) return runDeviceRemove(*app, removeID);
            (void)devicesList;
            return runDevices(*app);
        }
        if (serversCmd->parsed()) return runServers(*app);
        if (connectCmd->parsed()) return runConnect(*app, serverID);
        if (disconnectCmd->parsed()) return runDisconnect(*app);
        if (statusCmd->parsed()) return runStatus(*app);
        if (diagnosticsCmd->parsed()) return runDiagnostics(*app);
        if (updateCmd->parsed()) return runUpdateCheck(*app, update);
        if (catalogCmd->parsed()) return runCatalog(*app);
        if (checkoutCmd->parsed()) return runCheckout(*app, checkout);
        if (apiChosen(*api)) return runApi(*app, *api);
        throw usageError("no command given (see `tarnctl --help`)");
    } catch (...) {
        ErrorReport error = describeError(std::current_exception(), globals.baseURL);
        if (app && error.exitCode != exitUsage) app->recordLastError(error);
        return report(error, globals.json);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away (tarnctl servers | head) is not a failure of ours.
    ::signal(SIGPIPE, SIG_IGN);
    return run(argc, argv);
}
