// Signing in (password, e-mail code, Telegram bot, Google), signing out, and who is signed in.
#include "commands.hpp"

#include "../deadline.hpp"
#include "../errors.hpp"
#include "common/subprocess.hpp"

#ifdef TARNCTL_HAVE_QRENCODE
#include <qrencode.h>
#endif

#include <tarn/api/api_error.hpp>
#include <tarn/logic/email_otp.hpp>
#include <tarn/logic/telegram_contract.hpp>
#include <tarn/platform/ascii.hpp>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <iostream>
#include <thread>

namespace tarnctl {

namespace {

using Clock = std::chrono::system_clock;

tarn::Timestamp now() { return std::chrono::time_point_cast<std::chrono::microseconds>(Clock::now()); }

std::int64_t secondsUntil(tarn::Timestamp t) {
    auto left = std::chrono::ceil<std::chrono::seconds>(t - now()).count();
    return left > 0 ? left : 0;
}

bool isServerError(const tarn::APIError& e, std::int64_t status) {
    return e.kind() == tarn::APIError::Kind::server && e.statusCode() == status;
}

std::string displayName(const tarn::CRMUser& user) {
    if (user.email) return *user.email;
    if (user.telegramUsername) return "@" + *user.telegramUsername;
    if (user.name) return *user.name;
    return user.id;
}

int finishLogin(App& app, const tarn::CRMUser& user, std::string_view method) {
    if (app.out().json()) {
        app.out().document(JsonObject()
                               .boolean("signed_in", true)
                               .string("method", method)
                               .raw("user", encodeRecord(user))
                               .str());
    } else {
        std::cout << "Signed in as " << shown(displayName(user)) << ". Subscription: " << subscriptionSummary(user) << ".\n";
    }
    return exitOK;
}

// -- Password ---------------------------------------------------------------------------------

int loginWithPassword(App& app, const LoginOptions& options) {
    std::string email = trimmed(options.email.empty() ? app.input().prompt("Email: ", "the email address") : options.email);
    if (email.empty()) throw usageError("an email address is needed");
    std::string password;
    if (options.passwordStdin) {
        Input::Result line = app.input().readLine();
        if (line.status != Input::Status::line) throw usageError("standard input ended before the password");
        password = line.text;
    } else {
        password = app.input().promptSecret("Password: ", "the password");
    }
    rememberSecret(password);
    try {
        return finishLogin(app, app.client().login(email, password).user, "password");
    } catch (const tarn::APIError& e) {
        if (e.kind() == tarn::APIError::Kind::unauthorized) {
            throw CliError(exitUnauthorized, "unauthorized", "the email address or the password is wrong");
        }
        throw;
    }
}

// -- E-mail code ------------------------------------------------------------------------------

std::string resendHint(const tarn::EmailOTPFlowState& flow) {
    if (flow.canResend(now())) return "r: send a new code";
    if (flow.resendAvailableAt()) return "new code possible in " + std::to_string(secondsUntil(*flow.resendAvailableAt())) + " s";
    return "";
}

int loginWithEmailCode(App& app, const LoginOptions& options) {
    std::string email = trimmed(options.email.empty() ? app.input().prompt("Email: ", "the email address") : options.email);
    if (!tarn::EmailValidator::isValid(email)) throw usageError("not a valid email address: \"" + email + "\"");

    tarn::BlockingClient& client = app.client();
    std::string deviceID = app.deviceID();
    tarn::EmailOTPFlowState flow;
    auto requestCode = [&] {
        flow.beginRequest(email);
        try {
            flow.receive(client.requestEmailCode(flow.email(), deviceID, clientPlatform), now());
        } catch (const std::exception& e) {
            flow.failRequest(e.what());
            throw;
        }
        app.out().note("A code was sent to " + flow.email() + "; it is valid for " +
                       std::to_string(secondsUntil(flow.expiresAt().value_or(now()))) + " s.");
    };
    requestCode();

    tarn::AuthResponse auth;
    for (;;) {
        flow.restore(now());
        std::string hint = resendHint(flow);
        std::string line = trimmed(app.input().prompt("Code" + (hint.empty() ? "" : " (" + hint + ")") + ": ", "the code"));
        if (line.empty()) continue;
        if (line == "r" || line == "R") {
            if (!flow.canResend(now())) {
                app.out().note(flow.resendAvailableAt() ? "A new code can be sent in " +
                                                              std::to_string(secondsUntil(*flow.resendAvailableAt())) + " s."
                                                        : "A new code cannot be sent now.");
                continue;
            }
            try {
                requestCode();
            } catch (const tarn::APIError& e) {
                if (!isServerError(e, 429)) throw;
                app.out().note("The server asks to wait before sending another code.");
            }
            continue;
        }
        if (!flow.beginVerification(now())) {
            app.out().note(shown(flow.message().value_or("The code has expired.")) + " (The code has expired; type r for a new one.)");
            continue;
        }
        try {
            auth = client.verifyEmailCode(*flow.challengeID(), line, options.acceptTerms, options.acceptTerms);
            flow.markAuthenticated();
            break;
        } catch (const tarn::APIError& e) {
            if (e.kind() != tarn::APIError::Kind::server) throw;
            switch (e.statusCode()) {
                case 400: flow.failVerification("That code is not right; try again."); break;
                case 410: flow.failVerification("This code can no longer be used; type r for a new one."); break;
                case 429: flow.failVerification("Too many wrong codes; type r for a new one."); break;
                case 422:
                    throw CliError(exitUsage, "usage",
                                   "a new account needs your consent to the terms and to the processing of personal "
                                   "data: run again with --accept-terms");
                default: throw;
            }
            app.out().note(*flow.message());
        }
    }
    return finishLogin(app, auth.user, "email-code");
}

// -- Telegram ---------------------------------------------------------------------------------

// Light modules are drawn as blocks and dark ones as blanks, two rows to a line with half blocks,
// inside a light margin: on a dark terminal that is dark-on-light, as scanners expect.
void showQRCode(const Output& out, const std::string& text) {
#ifdef TARNCTL_HAVE_QRENCODE
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_L),
                                                          &QRcode_free);
    if (!code) return;
    constexpr int margin = 2;
    const int size = code->width;
    auto light = [&](int row, int column) {
        row -= margin;
        column -= margin;
        if (row < 0 || column < 0 || row >= size || column >= size) return true;
        return (code->data[row * size + column] & 1) == 0;
    };
    std::string art;
    for (int row = 0; row < size + 2 * margin; row += 2) {
        for (int column = 0; column < size + 2 * margin; ++column) {
            bool top = light(row, column), bottom = row + 1 < size + 2 * margin ? light(row + 1, column) : false;
            art += top ? (bottom ? "█" : "▀") : (bottom ? "▄" : " ");
        }
        art += '\n';
    }
    out.note(art);
#else
    (void)out;
    (void)text;
#endif
}

int loginWithTelegram(App& app) {
    tarn::BlockingClient& client = app.client();
    tarn::TelegramAuthSession session = client.createTelegramSession(app.deviceID());
    const std::string& id = session.session.id;
    const std::string& secret = session.session.secret;
    rememberSecret(secret);
    if (session.flowVersion != tarn::TelegramAuthContract::flowVersion) {
        throw CliError(exitServer, "server",
                       "the server opened a Telegram sign-in of flow version " + std::to_string(session.flowVersion) +
                           "; this client speaks version " + std::to_string(tarn::TelegramAuthContract::flowVersion));
    }
    auto link = tarn::TelegramAuthContract::validatedDeepLink(session.telegramBotDeepLink, id, secret);
    if (!link) {
        throw CliError(exitServer, "server", "the server's Telegram link fails the client's checks, so it is not shown");
    }
    app.out().note("Open this link in Telegram and press Start:\n\n  " + shown(link->absoluteString()) + "\n");
    showQRCode(app.out(), link->absoluteString());
    app.out().note("Then type the six-digit code the bot sends you and press Enter.");

    Spinner spinner;
    bool announced = false;
    auto nextPoll = std::chrono::steady_clock::now();
    tarn::AuthResponse auth;
    for (;;) {
        if (now() >= session.expiresAt) {
            throw CliError(exitUnauthorized, "unauthorized",
                           "the Telegram sign-in expired; run `tarnctl login --telegram` again");
        }
        // Short waits keep the spinner turning between polls.
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - std::chrono::steady_clock::now());
        Input::Result input = app.input().readLine(std::clamp(wait, std::chrono::milliseconds(0), std::chrono::milliseconds(150)));
        if (input.status == Input::Status::eof) {
            spinner.clear();
            throw usageError("standard input ended before the Telegram code was entered");
        }
        if (input.status == Input::Status::line) {
            std::string typed = trimmed(input.text);
            if (typed.empty()) continue;
            spinner.clear();
            auto code = tarn::TelegramAuthContract::normalizedUserCode(typed);
            if (!code) {
                app.out().note("The code is six digits; try again.");
                continue;
            }
            try {
                auth = client.verifyTelegramSession(id, secret, *code);
                break;
            } catch (const tarn::APIError& e) {
                if (!isServerError(e, 400)) throw;
                app.out().note("That code is not right; try again.");
                continue;
            }
        }
        if (std::chrono::steady_clock::now() < nextPoll) {
            if (!announced) spinner.tick("Waiting for you to press Start in the bot…");
            continue;
        }
        tarn::TelegramSessionStatus status = client.telegramSessionStatus(id, secret);
        nextPoll = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        switch (status.status) {
            case tarn::TelegramSessionState::pending:
                spinner.tick("Waiting for you to press Start in the bot…");
                break;
            case tarn::TelegramSessionState::codeReady:
            case tarn::TelegramSessionState::confirmed:
                if (!announced) {
                    spinner.clear();
                    app.out().note("The bot has sent you a code. Type it and press Enter:");
                    announced = true;
                }
                break;
            default:
                spinner.clear();
                throw CliError::quoting(exitUnauthorized, "unauthorized",
                                        "the Telegram sign-in ended (" + std::string(tarn::rawValue(status.status)) +
                                            "); run `tarnctl login --telegram` again",
                                        status.error);
        }
    }
    // The verification hands the pair to the caller instead of storing it.
    app.saveTokens(auth);
    return finishLogin(app, auth.user, "telegram");
}

// -- Google -----------------------------------------------------------------------------------

int loginWithGoogle(App& app) {
    tarn::BlockingClient& client = app.client();
    tarn::OAuthAuthSession session = client.createOAuthSession(tarn::OAuthProvider::google, app.deviceID());
    const tarn::URL& url = session.authorizationURL;
    const std::string scheme = url.scheme().value_or("");
    if (!tarn::ascii::equalsIgnoringCase(scheme, "https") && !tarn::ascii::equalsIgnoringCase(scheme, "http")) {
        throw CliError(exitServer, "server", "the server's authorization URL is not a web address, so it is not opened");
    }
    bool opened = false;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland)) {
        if (auto opener = tarn::tools::findOnPath("xdg-open")) {
            opened = tarn::tools::startDetached(*opener, {url.absoluteString()});
        }
    }
    app.out().note(std::string(opened ? "Your browser should show the Google sign-in now. If it does not, open:"
                                       : "Open this page in a browser to sign in with Google:") +
                   "\n\n  " + shown(url.absoluteString()) + "\n");

    Spinner spinner;
    for (;;) {
        if (now() >= session.expiresAt) {
            spinner.clear();
            throw CliError(exitUnauthorized, "unauthorized", "the Google sign-in expired; run `tarnctl login --google` again");
        }
        tarn::OAuthSessionStatus status = client.oauthSessionStatus(session.authSessionID);
        switch (status.status) {
            case tarn::OAuthSessionState::pending:
                break;
            case tarn::OAuthSessionState::confirmed:
                spinner.clear();
                if (!status.auth) {
                    throw CliError::quoting(exitUnauthorized, "unauthorized",
                                            "the sign-in was confirmed but its result was already handed out", status.error);
                }
                // The status poll hands the pair to the caller instead of storing it.
                app.saveTokens(*status.auth);
                return finishLogin(app, status.auth->user, "google");
            case tarn::OAuthSessionState::expired:
            case tarn::OAuthSessionState::conflict:
                spinner.clear();
                throw CliError::quoting(exitUnauthorized, "unauthorized",
                                        "the Google sign-in ended (" + std::string(tarn::rawValue(status.status)) + ")",
                                        status.error);
        }
        CommandDeadline::UserWait waitingForTheBrowser;
        for (int i = 0; i < 10; ++i) {
            spinner.tick("Waiting for the browser sign-in…");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

}  // namespace

std::string subscriptionSummary(const tarn::CRMUser& user) {
    std::string text(tarn::rawValue(user.subscriptionStatus));
    if (user.plan) text += " (" + std::string(tarn::rawValue(*user.plan)) + ")";
    if (user.expiresAt) {
        text += (*user.expiresAt > now() ? " until " : " ended ") + tarn::formatISO8601(*user.expiresAt).substr(0, 10);
    }
    return text;
}

void printUser(std::ostream& os, const tarn::CRMUser& user) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"Account", user.id},
        {"Email", user.email.value_or("-")},
        {"Name", user.name.value_or("-")},
        {"Subscription", subscriptionSummary(user)},
        {"Source", user.subscriptionSource ? std::string(tarn::rawValue(*user.subscriptionSource)) : "-"},
        {"VPN access", std::string(tarn::rawValue(user.vpnAccessStatus))},
    };
    if (user.telegramUsername || user.telegramUserID) {
        fields.emplace_back("Telegram", user.telegramUsername ? "@" + *user.telegramUsername + (user.telegramUserID ? " (" + *user.telegramUserID + ")" : "")
                                                              : *user.telegramUserID);
    }
    fields.emplace_back("Member since", shortTime(user.createdAt));
    printFields(os, fields);
}

int runLogin(App& app, const LoginOptions& options) {
    app.prepareToStoreTokens();
    if (options.emailCode) return loginWithEmailCode(app, options);
    if (options.telegram) return loginWithTelegram(app);
    if (options.google) return loginWithGoogle(app);
    return loginWithPassword(app, options);
}

int runLogout(App& app) {
    bool wasSignedIn = false;
    bool heldUnreadable = false;
    try {
        wasSignedIn = app.signedIn();
    } catch (const std::exception&) {
        // Signing out clears the store whatever it holds; the check below tells whether it did.
        heldUnreadable = true;
    }
    app.client().logout();
    // The library's logout never fails, even when the secret store could not be cleared; a
    // person who signs out must learn if the tokens are still there.
    if (app.signedIn()) {
        throw CliError(exitLocal, "local", "signed out on the server, but the tokens could not be removed from the secret store");
    }
    if (app.out().json()) {
        app.out().document(JsonObject().boolean("signed_out", true).boolean("was_signed_in", wasSignedIn).str());
    } else {
        std::cout << (wasSignedIn      ? "Signed out.\n"
                      : heldUnreadable ? "Signed out: removed a stored sign-in that could not be read.\n"
                                       : "Not signed in; nothing to sign out.\n");
    }
    return exitOK;
}

int runWhoami(App& app) {
    tarn::CRMUser user = app.client().me();
    if (app.out().json()) {
        app.out().document(encodeRecord(user));
    } else {
        printUser(std::cout, user);
    }
    return exitOK;
}

}  // namespace tarnctl
