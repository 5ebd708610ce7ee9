// The man page, the completions and the suggestions, read from a small command tree shaped like
// tarnctl's: global options that take values, nested subcommands, a positional argument, a
// hidden option. The completion scripts are run by the real shells.
#include "common/cli_docs.hpp"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

namespace tarn::cli {
namespace {

struct Tree {
    CLI::App root{"tool: a test tool", "tool"};
    std::string text;
    bool flag = false;
    std::vector<std::string> words;

    Tree() {
        root.add_option("--base-url", text, "Backend");
        root.add_option("--keychain", text, "Key store")->check(CLI::IsMember({"secret-service", "file"}));
        root.add_flag("--json", flag, "JSON output");
        root.add_flag("--secret-switch", flag, "not for people")->group("");
        auto* login = root.add_subcommand("login", "Sign in");
        login->add_option("--email", text, "Address");
        login->add_option("EMAIL", text, "Address");
        root.add_subcommand("servers", "List .servers");
        auto* api = root.add_subcommand("api", "Operations");
        api->add_subcommand("vpnConfig", "A profile")->add_option("--server-id", text, "Server");
        api->add_subcommand("me", "The user");
        auto* help = root.add_subcommand("help", "Help");
        help->add_option("COMMAND", words, "Command");
    }
};

TEST(CliDocs, ClosestMatchSaysWhatWasMeantOrNothing) {
    const std::vector<std::string> commands{"login", "logout", "servers", "status", "connect", "vpnConfig", "--json"};
    const struct {
        const char* typed;
        std::optional<std::string> meant;
    } cases[] = {
        {"sevrers", "servers"},      // two letters swapped
        {"servrs", "servers"},       // one dropped
        {"lgin", "login"},
        {"vpnconfig", "vpnConfig"},  // only the case differs
        {"--jsn", "--json"},
        {"conn", "connect"},         // the only command it begins
        {"stat", "status"},
        {"lo", std::nullopt},        // too short to guess between login and logout
        {"xyzzy", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(closestMatch(c.typed, commands), c.meant) << c.typed;
}

TEST(CliDocs, SuggestionFollowsTheCommandPathAndSkipsValues) {
    Tree t;
    const struct {
        std::vector<std::string> args;
        std::optional<std::string> meant;
    } cases[] = {
        {{"sevrers"}, "servers"},
        {{"--base-url", "sevrers", "servers", "--jsn"}, "--json"},  // a value is never taken for a command
        {{"--base-url=x", "sevrers"}, "servers"},
        {{"api", "vpnconfig"}, "vpnConfig"},
        {{"api", "vpnConfig", "--server-di", "1"}, "--server-id"},
        {{"login", "someone@example.com"}, std::nullopt},  // a positional argument, not a command
        {{"servers", "--json"}, std::nullopt},
        {{"--", "sevrers"}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(suggestionFor(t.root, c.args), c.meant) << ::testing::PrintToString(c.args);
}

TEST(CliDocs, ManPageListsEveryVisibleCommandAndOption) {
    Tree t;
    const std::string page = manPage(t.root, "tool 1.2", {{"Exit status", "0 fine\n\n  .literal line"}});
    for (const char* part : {".TH TOOL 1 \"\" \"tool 1.2\"", "tool \\- a test tool", ".SS \"tool api vpnConfig\"",
                             "\\fB\\-\\-server\\-id\\fR \\fITEXT\\fR", "\\fB\\-\\-keychain\\fR", "one of: secret\\-service file",
                             ".SH EXIT STATUS", "\\&.literal line", "List .servers"}) {
        EXPECT_NE(page.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(page.find("secret\\-switch"), std::string::npos);
    // A line of the page that starts with a dot is a request to roff, never text of ours.
    for (std::size_t at = 0; (at = page.find("\n.", at)) != std::string::npos; ++at) {
        EXPECT_NE(page.compare(at, 10, "\n.literal "), 0);
    }
}

// Runs `shell` on a script that loads the completion and prints what it offers.
std::string run(const std::string& shell, const std::string& completion, const std::string& probe) {
    const auto dir = std::filesystem::temp_directory_path() / ("cli_docs_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "completion") << completion;
    std::ofstream(dir / "probe") << probe;
    const std::string command = shell + " " + (dir / "probe").string() + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string out;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) out += buffer;
    std::filesystem::remove_all(dir);
    return out;
}

bool have(const std::string& shell) { return std::system(("command -v " + shell + " >/dev/null 2>&1").c_str()) == 0; }

TEST(CliDocs, CompletionScriptsCompleteInEachShell) {
    Tree t;
    // What each shell offers after the typed words, one probe per line of the table below.
    const struct {
        std::vector<std::string> words;  // the last one is being typed
        std::vector<std::string> expected;
    } cases[] = {
        {{"se"}, {"servers"}},
        {{"--base-url", "servers", "api", "v"}, {"vpnConfig"}},  // the value of --base-url is not a command
        {{"api", "vpnConfig", "--se"}, {"--server-id"}},
        {{"--keychain", ""}, {"file", "secret-service"}},
        {{"servers", "--js"}, {"--json"}},  // global options follow any command
    };
    std::string bash = "source \"$(dirname \"$0\")/completion\"\n";
    std::string fish = "source (dirname (status filename))/completion\n";
    std::string zsh = "compadd() { [[ $1 == -- ]] && shift; local w; for w in \"$@\"; do [[ $w == ${PREFIX}* ]] && print -r -- $w; done; }\n"
                      "source \"$(dirname \"$0\")/completion\"\n";
    for (const auto& c : cases) {
        std::string quoted, line;
        for (const auto& w : c.words) quoted += " '" + w + "'";
        for (const auto& w : c.words) line += " " + w;
        bash += "COMP_WORDS=(tool" + quoted + "); COMP_CWORD=" + std::to_string(c.words.size()) +
                "; COMPREPLY=(); _tool; printf '%s\\n' \"${COMPREPLY[@]}\" | sort | tr '\\n' ' '; echo\n";
        fish += "complete -C 'tool" + line + "' | cut -f1 | sort | string join ' '\n";
        zsh += "words=(tool" + quoted + "); CURRENT=" + std::to_string(c.words.size() + 1) + "; PREFIX='" + c.words.back() +
               "'; _tool | sort | tr '\\n' ' '; echo\n";
    }
    std::string expected;
    for (const auto& c : cases) {
        for (const auto& w : c.expected) expected += w + " ";
        expected += "\n";
    }
    EXPECT_EQ(run("bash", completionScript(t.root, Shell::bash), bash), expected);
    // Each shell is checked where it is installed (the build machines install all three).
    if (have("zsh")) {
        EXPECT_EQ(run("zsh -f", completionScript(t.root, Shell::zsh), zsh), expected);
    }
    if (have("fish")) {
        std::string fishExpected;
        for (const auto& c : cases) {
            std::string line;
            for (const auto& w : c.expected) line += (line.empty() ? "" : " ") + w;
            fishExpected += line + "\n";
        }
        EXPECT_EQ(run("fish --no-config", completionScript(t.root, Shell::fish), fish), fishExpected);
    }
}

}  // namespace
}  // namespace tarn::cli
