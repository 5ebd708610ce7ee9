// tarnctl against a backend that answers with hostile text: echoed tokens, the password and the
// Telegram session secret, terminal escape sequences and invalid UTF-8. For every answer, every
// channel tarnctl writes to (human stdout, --json, stderr, the stored last error, the diagnostics
// report, the files of the state directory but the secret store) must be free of the secrets and
// of raw control characters.
#include "cli_harness.hpp"

#include <httplib.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace tarnctl::test {
namespace {

namespace fs = std::filesystem;

const std::string kAccess = "hostile-access-7Qx9Zt";
const std::string kRefresh = "hostile-refresh-3Kd2Wy";
const std::string kPassword = "hostile-pass-8Wm4Rv";
const std::string kSessionID = "TgSessionHostile_0123456789";
const std::string kSessionSecret = "TgSecretHostile_9876543210abcdef";
const std::string kEmail = "victim.person@example.test";
const std::string kVLESSID = "8d3c5f1e-2b4a-4c6d-9e8f-0a1b2c3d4e5f";
const std::string kTerminalAttack = "\x1b[2J\x1b]0;pwned\x07\r\nfake: line\xc2\x9b" "31m\xe2\x80\xae" "gnp.exe\x7f";

std::string userJSON(const std::string& name) {
    return R"({"id":"u1","email":")" + kEmail + R"(","name":)" + name +
           R"(,"subscription_status":"active","vpn_access_status":"enabled",)"
           R"("created_at":"2024-05-01T12:00:00Z","last_sync_at":"2024-05-01T12:00:00Z"})";
}

std::string authJSON() {
    return R"({"access_token":")" + kAccess + R"(","refresh_token":")" + kRefresh + R"(","user":)" +
           userJSON("\"Victim\"") + "}";
}

using Answer = std::function<void(const httplib::Request&, httplib::Response&)>;

// A backend whose answers a row replaces by path prefix; sign-in and `me` work by default.
class HostileBackend {
public:
    explicit HostileBackend(std::map<std::string, Answer> answers) : answers_(std::move(answers)) {
        auto handle = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
        server_.Get(".*", handle);
        server_.Post(".*", handle);
        server_.Delete(".*", handle);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~HostileBackend() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    void dispatch(const httplib::Request& req, httplib::Response& res) {
        for (const auto& [prefix, answer] : answers_) {
            if (req.path.rfind(prefix, 0) == 0) return answer(req, res);
        }
        if (req.path == "/auth/login") return res.set_content(authJSON(), "application/json");
        if (req.path == "/me") return res.set_content(userJSON("\"Victim\""), "application/json");
        res.status = 404;
    }

    std::map<std::string, Answer> answers_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

Answer status(int code, std::string body) {
    return [code, body](const httplib::Request&, httplib::Response& res) {
        res.status = code;
        res.set_content(body, "application/json");
    };
}

struct Row {
    std::string name;
    std::map<std::string, Answer> answers;
    std::vector<std::string> command;  // after the common options; run with and without --json
    bool signedIn = true;
    /// Secrets the command cannot know, so cannot redact on the terminal; they must still never
    /// be kept (last error) nor reach the diagnostics report.
    std::vector<std::string> unknownToTheCommand = {};
    /// Further secrets that must reach no channel (pairs the backend issued during the row).
    std::vector<std::string> alsoSecret = {};
    /// A profile handed to the tunnel beforehand, whose VLESS id is then a secret on every channel.
    bool connected = false;
};

// A sign-in that issues a new pair each time and names the user after the pair it issued before,
// as a backend that echoes what the client holds would.
Answer echoingThePreviousPair() {
    auto issued = std::make_shared<int>(0);
    return [issued](const httplib::Request&, httplib::Response& res) {
        auto pair = [](int n) {
            return n == 0 ? std::pair(kAccess, kRefresh)
                          : std::pair(kAccess + "-" + std::to_string(n), kRefresh + "-" + std::to_string(n));
        };
        const int n = (*issued)++;
        std::string name = "\"Victim\"";
        if (n != 0) {  // built step by step: GCC 12 at -O3 sees a false overlap in `"\"" + std::string`
            name = "\"";
            name += pair(n - 1).first;
            name += ' ';
            name += pair(n - 1).second;
            name += '"';
        }
        res.set_content(R"({"access_token":")" + pair(n).first + R"(","refresh_token":")" + pair(n).second +
                            R"(","user":)" + userJSON(name) + "}",
                        "application/json");
    };
}

std::vector<Row> rows() {
    Answer echoHeaders = [](const httplib::Request& req, httplib::Response& res) {
        std::string text = "request headers:\n";
        for (const auto& [name, value] : req.headers) text += name + ": " + value + "\n";
        res.status = 500;
        res.set_content(text, "text/plain");
    };
    const std::string deepLink = "https://t.me/tarn_bot?start=" + kSessionID + "_" + kSessionSecret;
    return {
        {"RefreshTokenEchoed", {{"/me", status(500, R"({"detail":"refresh token )" + kRefresh + R"( revoked"})")}},
         {"whoami"}},
        {"RequestHeadersEchoed", {{"/me", echoHeaders}}, {"whoami"}},
        {"EmailAndPasswordEchoed",
         {{"/auth/login", status(422, R"({"detail":[{"loc":["body","password"],"msg":"weak","input":{"email":")" +
                                          kEmail + R"(","password":")" + kPassword + R"("}}]})")}},
         {"login", "--email", kEmail},
         false},
        {"SessionSecretEchoed", {{"/auth/telegram/session/", status(500, "bad secret " + kSessionSecret)}},
         {"api", "telegramSessionStatus", "--id", kSessionID, "--secret", kSessionSecret}},
        {"SessionSecretInTheDeepLink",
         {{"/auth/telegram/session",
           status(200, R"({"flow_version":2,"session":{"id":")" + kSessionID + R"(","secret":")" + kSessionSecret +
                           R"("},"deeplink":")" + deepLink + R"(","expires":"2030-01-01T00:00:00Z"})")}},
         {"api", "createTelegramSession"}},
        {"EscapeSequencesInTheUser",
         {{"/me", status(200, userJSON(R"("\u001b[2J\u001b]0;pwned\u0007\r\nEvil\u009b31m\u202egnp.exe\u007f")"))}},
         {"whoami"}},
        {"TokensInARecord", {{"/me", status(200, userJSON("\"" + kAccess + " " + kRefresh + "\""))}}, {"whoami"}},
        {"TokenInAnEnumerationValue",
         {{"/me", status(200, R"({"id":"u1","subscription_status":"\u001b[2J )" + kAccess +
                                  R"(","vpn_access_status":"enabled"})")}},
         {"whoami"}},
        {"InvalidUTF8InAnError", {{"/me", status(500, "\xff\xfe " + kTerminalAttack + " \xc0\xaf")}}, {"whoami"}},
        {"InvalidUTF8InARecord", {{"/me", status(200, userJSON("\"\xff\x1b[2J\""))}}, {"whoami"}},
        {"PasswordEchoedAfterTheSignIn", {{"/me", status(500, R"({"detail":"user with )" + kPassword + R"( is locked"})")}},
         {"whoami"}, true, {kPassword}},
        {"EarlierPairEchoedAtTheNextSignIn", {{"/auth/login", echoingThePreviousPair()}}, {"login", "--email", kEmail},
         true, {}, {kAccess + "-1", kRefresh + "-1"}},
        {"VLESSIdEchoed", {{"/me", status(502, "upstream refused the client " + kVLESSID + " of this device")}},
         {"whoami"}, true, {}, {}, true},
    };
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// Raw bytes that would drive a terminal: C0 but the line feed, DEL, C1 (as UTF-8) and the
// bidirectional controls.
std::string rawControl(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        auto third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
        bool c1 = c == 0xC2 && next >= 0x80 && next <= 0x9F;
        bool bidi = c == 0xE2 && ((next == 0x80 && third >= 0xAA && third <= 0xAE) ||
                                  (next == 0x81 && third >= 0xA6 && third <= 0xA9));
        if ((c < 0x20 && c != '\n') || c == 0x7F || c1 || bidi) {
            return "byte " + std::to_string(c) + " at " + std::to_string(i) + " in: " + text;
        }
    }
    return "";
}

class HostileAnswers : public ::testing::TestWithParam<Row> {};

TEST_P(HostileAnswers, NoSecretOrControlCharacterReachesAnyChannel) {
    const Row& row = GetParam();
    TempDir dir;
    HostileBackend backend(row.answers);
    const fs::path state = dir.path() / "state";
    fs::create_directories(dir.path() / "groups");
    auto tarnctl = [&](std::vector<std::string> args, const std::string& input = "") {
        std::vector<std::string> all = {"--base-url", backend.url(), "--state-dir", state.string(), "--keychain",
                                        "file", "--app-group-root", (dir.path() / "groups").string()};
        all.insert(all.end(), args.begin(), args.end());
        return run(TARNCTL_PATH, all, input, {{"TARN_BASE_URL", std::nullopt}});
    };
    if (row.signedIn) {
        Result login = tarnctl({"login", "--email", kEmail}, kPassword + "\n");
        ASSERT_EQ(login.exitCode, 0) << login;
    }
    std::vector<std::string> secrets = {kAccess, kRefresh, kPassword, kSessionSecret};
    secrets.insert(secrets.end(), row.alsoSecret.begin(), row.alsoSecret.end());
    if (row.connected) {
        const fs::path group = dir.path() / "groups" / "group.dev.tarn.vpn";
        fs::create_directories(group);
        fs::permissions(group, fs::perms::owner_all);
        const std::string xray = R"({"outbounds":[{"protocol":"vless","settings":{"vnext":[{"users":[{"id":")" + kVLESSID +
                                 R"("}]}]}}]})";
        std::ofstream(group / "xray-config.json") << xray;
        std::ofstream(group / "vless-config.json")
            << Json{{"uri", "vless://" + kVLESSID + "@vpn.example.test:443?security=reality"},
                    {"xray_json", xray},
                    {"server_id", "de-1"},
                    {"user_id", "u1"},
                    {"subscription_status", "active"},
                    {"vpn_access_status", "enabled"}}
                   .dump();
        secrets.push_back(kVLESSID);
    }

    // channel name -> text
    std::vector<std::pair<std::string, std::string>> channels;
    std::vector<std::pair<std::string, std::string>> withoutPersonalData;
    Result human = tarnctl(row.command, kPassword + "\n");
    channels.emplace_back("stdout", human.out);
    channels.emplace_back("stderr", human.err);
    std::vector<std::string> jsonArgs = {"--json"};
    jsonArgs.insert(jsonArgs.end(), row.command.begin(), row.command.end());
    Result json = tarnctl(jsonArgs, kPassword + "\n");
    channels.emplace_back("--json stdout", json.out);
    channels.emplace_back("--json stderr", json.err);
    EXPECT_FALSE(json.json().is_null()) << "--json must stay one valid JSON document: " << json;

    Result report = tarnctl({"diagnostics"});
    Result jsonReport = tarnctl({"--json", "diagnostics"});
    EXPECT_FALSE(jsonReport.json().is_null()) << jsonReport;
    withoutPersonalData.emplace_back("diagnostics", report.out + report.err);
    withoutPersonalData.emplace_back("--json diagnostics", jsonReport.out + jsonReport.err);
    for (const auto& entry : fs::recursive_directory_iterator(state)) {
        if (!entry.is_regular_file() || entry.path().string().find("/keychain/") != std::string::npos) continue;
        std::string text = readFile(entry.path());
        if (entry.path().filename() == "defaults.json") {
            withoutPersonalData.emplace_back("last error in " + entry.path().string(), text);
        } else {
            channels.emplace_back(entry.path().string(), text);
        }
    }
    channels.insert(channels.end(), withoutPersonalData.begin(), withoutPersonalData.end());

    auto unknown = [&](const std::string& secret) {
        return std::find(row.unknownToTheCommand.begin(), row.unknownToTheCommand.end(), secret) !=
               row.unknownToTheCommand.end();
    };
    for (const auto& [channel, text] : channels) {
        for (const std::string& secret : secrets) {
            if (unknown(secret)) continue;
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << channel << ":\n" << text;
        }
        EXPECT_EQ(rawControl(text), "") << channel;
    }
    for (const auto& [channel, text] : withoutPersonalData) {
        EXPECT_EQ(text.find(kEmail), std::string::npos) << "e-mail address in " << channel << ":\n" << text;
        for (const std::string& secret : row.unknownToTheCommand) {
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " kept in " << channel << ":\n" << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostileAnswers, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& p) { return p.param.name; });

}  // namespace
}  // namespace tarnctl::test
