// `tarnctl api OPERATION [--field value]...`: every endpoint operation of the client by its name,
// with its arguments as options, printing the decoded result as JSON. The operations, their
// summaries and their arguments come from the library's description (tarn/api/operations.hpp);
// this file adds only what tarnctl does its own way: prompting for a password, keeping and
// redacting tokens, checking Telegram input before a request, confirming a deletion.
#include "commands.hpp"

#include "../errors.hpp"

#include <tarn/json/json.hpp>
#include <tarn/api/operations.hpp>
#include <tarn/text/redaction.hpp>
#include <tarn/logic/telegram_contract.hpp>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

namespace tarnctl {

namespace {

// `password` is asked for without echo, or read from standard input with --password-stdin; the
// --password option still works but leaves the password in the process list and shell history.
// `confirm` is the --yes of an operation that cannot be undone.
enum class FieldKind { text, optionalText, integer, flag, body, password, confirm };

struct FieldOption {
    std::string name;  // the option without "--"
    FieldKind kind;
    std::string help;
    std::string fallback = {};  // used when the option is absent; "<device>" is this device's id
    bool secret = false;        // remembered for redaction as soon as it is read
};

constexpr const char* thisDevice = "<device>";

class Args;

struct OperationEntry {
    std::string name;
    std::string summary;
    std::vector<FieldOption> fields;
    std::function<std::string(Args&)> call;  // returns the result as JSON
};

}  // namespace

struct ApiCommand {
    CLI::App* command = nullptr;
    bool list = false;
    bool showSecrets = false;
    std::vector<std::pair<const OperationEntry*, CLI::App*>> operations;
    // Option storage per operation and field; std::map keeps the addresses CLI11 binds to stable.
    std::map<std::string, std::map<std::string, std::string>> values;
    std::map<std::string, std::map<std::string, bool>> flags;
    std::map<std::string, std::map<std::string, CLI::Option*>> options;
};

namespace {

class Args {
public:
    Args(App& app, ApiCommand& command, const OperationEntry& op) : app_(app), command_(command), op_(op) {}

    App& app() { return app_; }
    tarn::BlockingClient& client() { return app_.client(); }
    bool showSecrets() const { return command_.showSecrets; }

    bool given(const std::string& name) { return command_.options[op_.name][name]->count() > 0; }

    std::string text(const std::string& name) {
        const FieldOption& wanted = field(name);
        if (given(name)) {
            const std::string& value = command_.values[op_.name][name];
            if (wanted.secret) rememberSecret(value);
            return value;
        }
        if (wanted.fallback == thisDevice) return app_.deviceID();
        if (!wanted.fallback.empty()) return wanted.fallback;
        throw usageError(op_.name + " needs --" + name);
    }

    std::optional<std::string> optionalText(const std::string& name) {
        if (!given(name)) return std::nullopt;
        return text(name);
    }

    std::int64_t integer(const std::string& name) {
        std::string value = text(name);
        std::int64_t n = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec != std::errc() || end != value.data() + value.size()) {
            throw usageError("--" + name + " must be a whole number, not \"" + value + "\"");
        }
        return n;
    }

    bool flag(const std::string& name) { return command_.flags[op_.name][name]; }

    std::string password() {
        std::string password;
        if (given("password")) {
            password = command_.values[op_.name]["password"];
        } else if (flag("password-stdin")) {
            Input::Result line = app_.input().readLine();
            if (line.status != Input::Status::line) throw usageError("standard input ended before the password");
            password = line.text;
        } else {
            password = app_.input().promptSecret("Password: ", "the password");
        }
        rememberSecret(password);
        return password;
    }

    /// Goes on only with --yes, or when the person at the terminal types the word asked for.
    void confirm(std::string_view what) {
        if (flag("yes")) return;
        if (!Input::stdinIsTerminal()) throw usageError(op_.name + " cannot be undone: confirm with --yes");
        std::string typed = trimmed(app_.input().prompt(
            "This will " + std::string(what) + " and cannot be undone. Type DELETE to go on: ", "the confirmation"));
        if (typed != "DELETE") throw usageError("not confirmed; nothing was changed");
    }

    /// The request record from --body: JSON text, "@file" or "-" for standard input.
    template <class T>
    T body() {
        std::string text = this->text("body");
        if (text == "-") {
            std::string all;
            for (Input::Result r; (r = app_.input().readLine()).status == Input::Status::line;) all += r.text + "\n";
            text = all;
        } else if (!text.empty() && text[0] == '@') {
            std::ifstream in(text.substr(1), std::ios::binary);
            if (!in) throw usageError("cannot read " + text.substr(1));
            std::stringstream ss;
            ss << in.rdbuf();
            text = ss.str();
        }
        try {
            return tarn::JSONDecoder::tarn().decode<T>(text);
        } catch (const tarn::DecodingError& e) {
            std::string path = e.codingPathString();
            throw usageError("--body does not describe the request: " + std::string(tarn::to_string(e.kind())) + " at " +
                             (path.empty() ? "(top level)" : path) + ": " + oneLine(e.debugDescription()));
        }
    }

private:
    const FieldOption& field(const std::string& name) const {
        for (const auto& f : op_.fields) {
            if (f.name == name) return f;
        }
        throw std::logic_error("no field " + name + " in " + op_.name);
    }

    App& app_;
    ApiCommand& command_;
    const OperationEntry& op_;
};

constexpr const char* redacted = "<redacted>";

std::string authJSON(tarn::AuthResponse auth, bool showSecrets) {
    if (!showSecrets) auth.accessToken = auth.refreshToken = redacted;
    return encodeRecord(auth);
}

// The library hands these sign-ins to the caller without storing them; keep the CLI signed in
// the same way as after any other sign-in.
std::string storedAuthJSON(Args& a, const tarn::AuthResponse& auth) {
    a.app().saveTokens(auth);
    return authJSON(auth, a.showSecrets());
}

void checkTelegramSession(const std::string& id, const std::string& secret) {
    rememberSecret(secret);
    if (!tarn::TelegramAuthContract::isValidSessionID(id)) {
        throw usageError("--id is not a Telegram session id (20 to 128 characters of A-Z a-z 0-9 _ -)");
    }
    if (!tarn::TelegramAuthContract::isValidSessionSecret(secret)) {
        throw usageError("--secret is not a Telegram session secret (20 to 256 characters of A-Z a-z 0-9 _ -)");
    }
}

const std::string emptyResult = "{}";

template <class T>
std::string resultJSON(const T& answer) {
    return encodeRecord(answer);
}
template <class T>
std::string resultJSON(const std::vector<T>& answer) {
    std::vector<std::string> items;
    for (const auto& item : answer) items.push_back(encodeRecord(item));
    return jsonArray(items);
}

FieldOption passwordField() {
    return {"password", FieldKind::password, "password (asked without echo when neither this nor --password-stdin is given)",
            {}, true};
}

// Help for the arguments by name ("operation.name" where one name means different things).
std::string helpFor(std::string_view operation, const std::string& name) {
    static const std::map<std::string, std::string, std::less<>> help = {
        {"email", "email address"},
        {"name", "display name"},
        {"accepted-terms", "accept the terms"},
        {"accepted-personal-data-processing", "accept the processing of personal data"},
        {"challenge-id", "challenge_id from requestEmailCode"},
        {"code", "the code"},
        {"verifyTelegramSession.code", "six-digit code from the bot"},
        {"identity-token", "Apple identity token"},
        {"authorization-code", "Apple authorization code"},
        {"id", "session id"},
        {"secret", "session secret"},
        {"oauthSessionStatus.id", "auth_session_id from createOAuthSession"},
        {"removeAccountDevice.id", "device number"},
        {"server-id", "server id"},
    };
    if (auto found = help.find(std::string(operation) + "." + name); found != help.end()) return found->second;
    if (auto found = help.find(name); found != help.end()) return found->second;
    return name;
}

// The option of one argument of the description: its name with dashes, this device and this
// platform where the argument names them.
FieldOption optionOf(std::string_view operation, const tarn::operations::Field& f) {
    std::string name(f.name);
    std::replace(name.begin(), name.end(), '_', '-');
    if (name == "password") return passwordField();
    if (name == "device-id") return {name, FieldKind::text, "device identifier (default: this device's)", thisDevice};
    if (name == "platform") return {name, FieldKind::text, "client platform (default: linux)", clientPlatform};
    if (name == "provider") return {name, FieldKind::text, "identity provider (default: google)", "google"};
    FieldKind kind = f.type == "boolean"   ? FieldKind::flag
                     : f.type == "integer" ? FieldKind::integer
                     : f.required          ? FieldKind::text
                                           : FieldKind::optionalText;
    return {name, kind, helpFor(operation, name), {}, f.secret};
}

// What tarnctl does its own way for an operation; every other one is called as described.
struct Behaviour {
    std::function<std::string(Args&)> call;
    std::string summary = {};  // replaces the description's, when tarnctl does more
    bool confirms = false;     // cannot be undone: --yes or a typed confirmation
};

const std::map<std::string_view, Behaviour>& behaviours() {
    namespace ops = tarn::operations;
    static const std::map<std::string_view, Behaviour> table = {
        {ops::Login::name,
         {[](Args& a) {
             std::string email = a.text("email");
             return authJSON(a.client().login(email, a.password()), a.showSecrets());
         }}},
        {ops::Register::name,
         {[](Args& a) {
             std::string email = a.text("email");
             return authJSON(a.client().registerAccount(email, a.password(), a.optionalText("name"),
                                                        a.flag("accepted-terms"),
                                                        a.flag("accepted-personal-data-processing")),
                             a.showSecrets());
         }}},
        {ops::RequestEmailCode::name,
         {[](Args& a) {
             return encodeRecord(a.client().requestEmailCode(a.text("email"), a.text("device-id"), a.text("platform")));
         }}},
        {ops::VerifyEmailCode::name,
         {[](Args& a) {
             return authJSON(a.client().verifyEmailCode(a.text("challenge-id"), a.text("code"), a.flag("accepted-terms"),
                                                        a.flag("accepted-personal-data-processing")),
                             a.showSecrets());
         }}},
        {ops::LoginWithApple::name,
         {[](Args& a) {
             return authJSON(a.client().loginWithApple(a.text("identity-token"), a.optionalText("authorization-code"),
                                                       a.optionalText("name"), a.text("device-id")),
                             a.showSecrets());
         }}},
        {ops::CreateTelegramSession::name,
         {[](Args& a) {
              tarn::TelegramAuthSession session = a.client().createTelegramSession(a.text("device-id"));
              if (a.showSecrets()) return encodeRecord(session);
              rememberSecret(session.session.secret);
              // A backend may also put the secret into the deep link (or elsewhere): it is
              // redacted wherever it appears, in its raw and its JSON-escaped form.
              std::string literal = jsonString(session.session.secret);
              tarn::Redactor secrets;
              secrets.add(session.session.secret).add(std::string_view(literal).substr(1, literal.size() - 2));
              return secrets.redact(encodeRecord(session));
          },
          "Open a Telegram bot sign-in (the secret is redacted unless --show-secrets)"}},
        {ops::TelegramSessionStatusOperation::name,
         {[](Args& a) {
             checkTelegramSession(a.text("id"), a.text("secret"));
             tarn::TelegramSessionStatus status = a.client().telegramSessionStatus(a.text("id"), a.text("secret"));
             JsonObject doc;
             doc.string("status", tarn::rawValue(status.status));
             if (status.error) doc.string("error", redactedOutside(*status.error));
             return doc.str();
         }}},
        {ops::VerifyTelegramSession::name,
         {[](Args& a) {
              checkTelegramSession(a.text("id"), a.text("secret"));
              if (!tarn::TelegramAuthContract::normalizedUserCode(a.text("code"))) {
                  throw usageError("--code must be exactly six digits");
              }
              return storedAuthJSON(a, a.client().verifyTelegramSession(a.text("id"), a.text("secret"), a.text("code")));
          },
          "Finish a Telegram sign-in with the bot's code; stores the tokens"}},
        {ops::CreateOAuthSession::name,
         {[](Args& a) {
             auto provider = tarn::fromRawValue<tarn::OAuthProvider>(a.text("provider"));
             if (!provider) throw usageError("--provider must be google");
             return encodeRecord(a.client().createOAuthSession(*provider, a.text("device-id")));
         }}},
        {ops::OAuthSessionStatusOperation::name,
         {[](Args& a) {
              tarn::OAuthSessionStatus status = a.client().oauthSessionStatus(a.text("id"));
              if (status.auth) {
                  a.app().saveTokens(*status.auth);
                  if (!a.showSecrets()) status.auth->accessToken = status.auth->refreshToken = redacted;
              }
              return encodeRecord(status);
          },
          "State of a browser sign-in; stores the tokens once it is confirmed"}},
        {ops::DeleteAccount::name,
         {[](Args& a) {
              std::string deviceID = a.text("device-id");
              a.confirm("delete the account");
              a.client().deleteAccount(deviceID);
              return emptyResult;
          },
          {},
          true}},
        {ops::RemoveAccountDevice::name, {[](Args& a) { return encodeRecord(a.client().removeAccountDevice(a.integer("id"))); }}},
        {ops::VPNConfig::name,
         {[](Args& a) {
             return encodeRecord(a.client().vpnConfig(a.text("server-id"), a.text("device-id"), a.text("platform")));
         }}},
        {ops::RevokeVPN::name,
         {[](Args& a) {
             a.client().revokeVPN(a.text("device-id"));
             return emptyResult;
         }}},
    };
    return table;
}

// The plain call of an operation without arguments, or with its request record from --body.
template <class Op>
std::string describedCall(Args& a) {
    using Arguments = typename Op::Arguments;
    auto arguments = [&] {
        if constexpr (tarn::operations::takesRecord<Op>) {
            return a.body<Arguments>();
        } else {
            static_assert(std::is_same_v<Arguments, tarn::EmptyBody>,
                          "an operation with arguments of its own needs a Behaviour that reads them");
            return Arguments{};
        }
    }();
    if constexpr (std::is_void_v<typename Op::Answer>) {
        Op::call(a.client(), std::move(arguments));
        return emptyResult;
    } else {
        return resultJSON(Op::call(a.client(), std::move(arguments)));
    }
}

template <class Op>
OperationEntry entryOf() {
    OperationEntry entry{std::string(Op::name), std::string(Op::summary), {}, {}};
    if constexpr (tarn::operations::takesRecord<Op>) {
        entry.fields.push_back({"body", FieldKind::body, "the request record as JSON text, @FILE or - (standard input)"});
    } else {
        for (const auto& f : tarn::operations::fields<Op>()) entry.fields.push_back(optionOf(Op::name, f));
    }
    auto own = behaviours().find(Op::name);
    if (own == behaviours().end()) {
        if constexpr (tarn::operations::takesRecord<Op> || std::is_same_v<typename Op::Arguments, tarn::EmptyBody>) {
            entry.call = describedCall<Op>;
        } else {
            throw std::logic_error("tarnctl api: no way to read the arguments of " + entry.name);
        }
    } else {
        entry.call = own->second.call;
        if (!own->second.summary.empty()) entry.summary = own->second.summary;
        if (own->second.confirms) {
            entry.fields.push_back(
                {"yes", FieldKind::confirm, "go on without asking (needed when standard input is not a terminal)"});
        }
    }
    return entry;
}

const std::vector<OperationEntry>& operationTable() {
    static const std::vector<OperationEntry> table = [] {
        std::vector<OperationEntry> entries;
        tarn::operations::forEach([&]<class Op>() { entries.push_back(entryOf<Op>()); });
        return entries;
    }();
    return table;
}

std::string usageOf(const FieldOption& f) {
    switch (f.kind) {
        case FieldKind::flag:
        case FieldKind::confirm: return "[--" + f.name + "]";
        case FieldKind::password: return "[--password-stdin]";
        case FieldKind::optionalText: return "[--" + f.name + " TEXT]";
        case FieldKind::integer: return "--" + f.name + " N";
        case FieldKind::body: return "--body JSON";
        case FieldKind::text: return f.fallback.empty() ? "--" + f.name + " TEXT" : "[--" + f.name + " TEXT]";
    }
    return {};
}

std::string_view kindName(FieldKind kind) {
    switch (kind) {
        case FieldKind::text:
        case FieldKind::optionalText: return "string";
        case FieldKind::integer: return "integer";
        case FieldKind::flag:
        case FieldKind::confirm: return "boolean";
        case FieldKind::password: return "string";
        case FieldKind::body: return "json";
    }
    return {};
}

bool isRequired(const FieldOption& f) {
    return (f.kind == FieldKind::text || f.kind == FieldKind::integer || f.kind == FieldKind::body) && f.fallback.empty();
}

void printList(App& app) {
    const auto& table = operationTable();
    if (app.out().json()) {
        std::vector<std::string> ops;
        for (const auto& op : table) {
            std::vector<std::string> fields;
            for (const auto& f : op.fields) {
                fields.push_back(JsonObject()
                                     .string("name", f.name)
                                     .string("type", kindName(f.kind))
                                     .boolean("required", isRequired(f))
                                     .string("help", f.help)
                                     .str());
            }
            ops.push_back(
                JsonObject().string("name", op.name).string("summary", op.summary).raw("arguments", jsonArray(fields)).str());
        }
        app.out().document(jsonArray(ops));
        return;
    }
    std::size_t width = 0;
    for (const auto& op : table) width = std::max(width, op.name.size());
    for (const auto& op : table) {
        std::string args;
        for (const auto& f : op.fields) {
            args += ' ';
            args += usageOf(f);
        }
        std::cout << op.name << std::string(width - op.name.size() + 2, ' ') << op.summary << '\n';
        if (!args.empty()) std::cout << std::string(width + 1, ' ') << args << '\n';
    }
    std::cout << "\nRun `tarnctl api OPERATION --help` for the meaning of each argument.\n";
}

}  // namespace

std::shared_ptr<ApiCommand> registerApiCommand(CLI::App& parent) {
    auto cmd = std::make_shared<ApiCommand>();
    cmd->command = parent.add_subcommand("api", "Call any endpoint operation by name; prints its result as JSON");
    cmd->command->add_flag("--list", cmd->list, "List the operations and their arguments");
    cmd->command->add_flag("--show-secrets", cmd->showSecrets,
                           "Print tokens and Telegram session secrets instead of <redacted>");
    cmd->command->require_subcommand(0, 1);
    cmd->command->footer("Record arguments (--body) take the record's JSON as the backend spells it. Run "
                         "`tarnctl api --list` for every operation and `tarnctl api OPERATION --help` for one.");
    for (const auto& op : operationTable()) {
        CLI::App* sub = cmd->command->add_subcommand(op.name, op.summary);
        auto& values = cmd->values[op.name];
        auto& flags = cmd->flags[op.name];
        auto& options = cmd->options[op.name];
        for (const auto& f : op.fields) {
            if (f.kind == FieldKind::flag || f.kind == FieldKind::confirm) {
                options[f.name] = sub->add_flag("--" + f.name, flags[f.name], f.help);
            } else if (f.kind == FieldKind::password) {
                options[f.name] = sub->add_option("--" + f.name, values[f.name], f.help);
                options[f.name + "-stdin"] = sub->add_flag("--" + f.name + "-stdin", flags[f.name + "-stdin"],
                                                           "read the password from the first line of standard input");
                options[f.name + "-stdin"]->excludes(options[f.name]);
            } else {
                CLI::Option* option = sub->add_option("--" + f.name, values[f.name], f.help);
                if (isRequired(f)) option->required();
                options[f.name] = option;
            }
        }
        cmd->operations.emplace_back(&op, sub);
    }
    return cmd;
}

bool apiChosen(const ApiCommand& command) { return command.command->parsed(); }

int runApi(App& app, ApiCommand& command) {
    if (command.list) {
        printList(app);
        return exitOK;
    }
    if (command.showSecrets) showRememberedSecrets();
    for (auto& [op, sub] : command.operations) {
        if (!sub->parsed()) continue;
        Args args(app, command, *op);
        std::cout << op->call(args) << '\n';
        return exitOK;
    }
    throw usageError("name an operation, or use `tarnctl api --list`");
}

}  // namespace tarnctl
