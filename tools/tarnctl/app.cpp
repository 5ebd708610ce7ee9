#include "app.hpp"

#include "deadline.hpp"
#include "errors.hpp"

#include <tarn/api/api_client.hpp>
#include <tarn/json/json.hpp>
#include <tarn/platform/ascii.hpp>
#include <tarn/platform/digest.hpp>
#include <tarn/storage/file_keychain.hpp>
#include <tarn/storage/secret_service_keychain.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifndef TARNCTL_VERSION
#define TARNCTL_VERSION "0.0.0"
#endif

namespace tarnctl {

namespace fs = std::filesystem;

std::string GlobalOptions::defaultBaseURL() {
    const char* env = std::getenv("TARN_BASE_URL");
    return env && *env ? env : defaultBackendURL;
}

namespace {

// "GET /me: 200 in 1.8 ms (network)". The trace's path has its query values redacted already,
// and it carries no host, header or body.
std::string traceLine(const tarn::HttpTrace& exchange) {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", static_cast<double>(exchange.duration.count()) / 1000.0);
    std::string line = exchange.method;
    line += ' ';
    line += exchange.path;
    line += ": ";
    if (exchange.statusCode) {
        line += std::to_string(*exchange.statusCode);
    } else {
        line += tarn::to_string(exchange.transportError.value_or(tarn::TransportError::Code::other));
    }
    line += " in ";
    line += took;
    line += " ms";
    switch (exchange.cacheResult) {
        case tarn::HttpCacheResult::network: break;
        case tarn::HttpCacheResult::stored: line += " (stored answer)"; break;
        case tarn::HttpCacheResult::revalidated: line += " (stored answer, revalidated)"; break;
        case tarn::HttpCacheResult::staleAfterError: line += " (stale stored answer)"; break;
    }
    return line;
}

// scheme://host[:port], lower case, the scheme's default port left out.
std::string originOf(const tarn::URL& url) {
    std::string scheme = tarn::ascii::lowered(url.scheme().value_or(""));
    std::string origin = scheme + "://" + tarn::ascii::lowered(url.host().value_or(""));
    if (auto port = url.port(); port && !((scheme == "http" && *port == 80) || (scheme == "https" && *port == 443))) {
        origin += ":" + std::to_string(*port);
    }
    return origin;
}

}  // namespace

void rememberProfileSecret(const tarn::VLESSConfig& profile) {
    // The VLESS id is the user part of the profile's vless:// link; whoever has it can use the tunnel.
    if (auto link = tarn::URL::parse(profile.uri); link && link->user()) rememberSecret(*link->user());
}

std::string keychainAccountFor(const tarn::URL& baseURL) {
    const std::string origin = originOf(baseURL);
    if (auto defaultURL = tarn::URL::parse(defaultBackendURL); defaultURL && origin == originOf(*defaultURL)) {
        return keychainAccount;
    }
    std::string account = std::string(keychainAccount) + " " + origin;
    // The file store takes service and account of at most 120 bytes together.
    constexpr std::size_t longest = 100;
    if (account.size() <= longest) return account;
    // The digest only tells long origins apart; accounts already stored under it must keep their name.
    return account.substr(0, longest - 17) + "#" + tarn::digest::hexValue(tarn::digest::fnv1a(origin));
}

std::filesystem::path GlobalOptions::defaultStateDir() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') return std::filesystem::path(xdg) / "tarnctl";
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::filesystem::path(home) / ".local" / "state" / "tarnctl";
    }
    return std::filesystem::temp_directory_path() / ("tarnctl-" + std::to_string(::getuid()));
}

namespace {

tarn::URL checkedBaseURL(const std::string& text, bool allowPlainHTTP, const Output& out) {
    auto url = tarn::URL::parse(text);
    if (url && url->user()) {
        // Not echoed: the point is that the text holds a password.
        throw usageError("--base-url must not carry a user name or password (user@host); they would travel with "
                         "every request");
    }
    const tarn::APIClientOptions options{.allowPlainHTTP = true};
    if (!url || !tarn::APIClient::isUsableBaseURL(*url, options) || url->percentEncodedQuery() || url->fragment()) {
        throw usageError("--base-url must be an http:// or https:// URL without query or fragment, not \"" + text + "\"");
    }
    if (!tarn::APIClient::isUsableBaseURL(*url)) {
        if (!allowPlainHTTP) {
            throw usageError("--base-url " + text + " is plain http to a host that is not this machine: passwords and "
                             "tokens would cross the network unencrypted. Use https://, or pass --allow-plain-http "
                             "if you accept that");
        }
        out.note("warning: --allow-plain-http: passwords and tokens go to " + *url->host() +
                 " unencrypted; anyone on the network path can read them");
    }
    return *url;
}

// What the file system said, in words that point at the remedy; empty when it was an ordinary
// denial, for which the general hint is right.
std::string fileStoreCause(const tarn::FileKeychain::Failure& failure) {
    // A write fails on its temporary file, whose random name tells nobody anything.
    const bool temporary = failure.path.filename().string().rfind(".tmp-", 0) == 0;
    const std::string path = (temporary ? failure.path.parent_path() : failure.path).string();
    const int code = failure.code.value();
    if (code == ENOSPC || code == EDQUOT) return "has no space left for " + path + " (the disk or the quota is full)";
    if (code == EROFS) return "is on a read-only file system (" + path + ")";
    if (code == EISDIR) return "has a directory in the way of the item " + path + "; remove it";
    if (code == ELOOP) return "has a symbolic link in the way of " + path + "; remove it";
    if (code == EPERM) {
        return "is not private to this user: " + failure.what + ", " + path +
               "; it must be owned by this user with no group or other access";
    }
    if (code == EACCES) return {};
    return "could not be used: " + failure.code.message() + " (" + path + ")";
}

// A failure of the file key store names its directory and the real cause; the status alone
// cannot tell a full disk from an unwritable directory or one that others can reach.
[[noreturn]] void explainFileStoreFailure(const tarn::KeychainError& error, const tarn::FileKeychain& store) {
    const fs::path& root = store.root();
    std::string cause = error.status() == tarn::errSecInvalidKeychain
                            ? "is not private to this user: it must be owned by this user with no group or other access"
                            : "could not be read or written: see that this user owns it and may write there";
    if (auto failure = store.lastFailure()) {
        std::string known = fileStoreCause(*failure);
        if (!known.empty()) cause = std::move(known);
    }
    // The status, not what(): its reason would say the cause a second time, without the path.
    throw CliError(exitLocal, "local",
                   "secret store failure: KeychainError.unhandled(" + std::to_string(error.status()) +
                       "): the key store " + root.string() + " " + cause);
}

// A Secret Service failure names the item involved, so that it can be found with secret-tool or
// Seahorse, beside the status and what it usually means.
[[noreturn]] void explainSecretServiceFailure(const tarn::KeychainError& error, const std::string& where) {
    throw CliError(exitLocal, "local",
                   "secret store failure: KeychainError.unhandled(" + std::to_string(error.status()) + ") in " + where +
                       ": " + keychainStatusText(error.status()));
}

// The token store as the client sees it: a stored value that is not a token pair is this
// machine's problem, not an undecodable answer of the server, and is reported as such, as is a
// file key store that fails, with its path.
class ExplainedTokenStore : public tarn::TokenStore {
public:
    ExplainedTokenStore(std::shared_ptr<tarn::TokenStore> store, std::string where,
                        std::shared_ptr<tarn::FileKeychain> fileStore)
        : store_(std::move(store)), where_(std::move(where)), fileStore_(std::move(fileStore)) {}

    std::optional<tarn::AuthTokens> loadTokens() override {
        CommandDeadline::Step step("using the secret store, " + where_, exitLocal);
        try {
            std::optional<tarn::AuthTokens> tokens = store_->loadTokens();
            if (tokens) remember(*tokens);
            return tokens;
        } catch (const tarn::DecodingError&) {
            throw CliError(exitLocal, "local",
                           "the sign-in stored in " + where_ +
                               " is not a token pair; run `tarnctl logout` to remove it, then sign in again");
        } catch (const tarn::KeychainError& error) {
            explain(error);
        }
    }
    void save(const tarn::AuthTokens& tokens) override {
        CommandDeadline::Step step("using the secret store, " + where_, exitLocal);
        remember(tokens);
        try {
            store_->save(tokens);
        } catch (const tarn::KeychainError& error) {
            explain(error);
        }
    }
    void clear() override {
        CommandDeadline::Step step("using the secret store, " + where_, exitLocal);
        try {
            store_->clear();
        } catch (const tarn::KeychainError& error) {
            explain(error);
        }
    }

    // The wrapped store's lock is the one other tarnctl processes and the app take: without it a
    // refresh here could spend a refresh token another process is spending.
    std::unique_ptr<tarn::SessionLock> tryLockSession() override { return store_->tryLockSession(); }

private:
    // Every pair that passes through the store, in either direction, is remembered for redaction:
    // that is every token the client attaches or receives, without reading the store any more often.
    static void remember(const tarn::AuthTokens& tokens) {
        rememberSecret(tokens.accessToken);
        rememberSecret(tokens.refreshToken);
    }

    [[noreturn]] void explain(const tarn::KeychainError& error) {
        if (fileStore_) explainFileStoreFailure(error, *fileStore_);
        explainSecretServiceFailure(error, where_);
    }

    std::shared_ptr<tarn::TokenStore> store_;
    std::string where_;
    std::shared_ptr<tarn::FileKeychain> fileStore_;
};

}  // namespace

App::App(GlobalOptions options) : options_(std::move(options)), out_(options_.json), baseURL_(checkedBaseURL(options_.baseURL, options_.allowPlainHTTP, out_)) {
    if (!(options_.timeoutSeconds > 0) || options_.timeoutSeconds > 86'400) {
        throw usageError("--timeout must be a number of seconds above 0");
    }
    if (!(options_.deadlineSeconds > 0) || options_.deadlineSeconds > 86'400) {
        throw usageError("--deadline must be a number of seconds above 0");
    }
    if (options_.stateDir.empty() || options_.stateDir.is_relative()) {
        options_.stateDir = std::filesystem::absolute(options_.stateDir.empty() ? "." : options_.stateDir);
    }
}

App::~App() = default;

void App::trace(std::string_view what) const {
    if (!options_.trace) return;
    const auto since = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_);
    char offset[32];
    std::snprintf(offset, sizeof offset, "%.1f", since.count());
    // One write per line: the client's I/O thread traces too.
    std::string line = "trace: +";
    line += offset;
    line += " ms  ";
    line += what;
    line += '\n';
    std::cerr << line << std::flush;
}

std::shared_ptr<tarn::Keychain> App::keychain() {
    if (keychain_) return keychain_;
    if (options_.keychain == "file") {
        keychain_ = std::make_shared<tarn::FileKeychain>(keychainFileRoot());
    } else if (options_.keychain == "secret-service") {
        keychain_ = std::make_shared<tarn::SecretServiceKeychain>();
    } else {
        keychain_ = tarn::makePlatformKeychain(std::chrono::seconds(5), keychainFileRoot());
    }
    return keychain_;
}

std::string App::keychainKind() {
    return dynamic_cast<tarn::SecretServiceKeychain*>(keychain().get()) ? "secret-service" : "file";
}

std::string App::keychainDescription() {
    if (keychainKind() == "secret-service") {
        return std::string("the Secret Service (service ") + keychainService + ", account " + keychainAccountFor(baseURL_) + ")";
    }
    return "a file under " + keychainFileRoot().string();
}

tarn::TokenStore& App::tokenStore() {
    if (!tokenStore_) {
        // One sign-in per backend: a token pair goes only to the origin that issued it.
        tokenStore_ = std::make_shared<ExplainedTokenStore>(
            std::make_shared<tarn::KeychainTokenStore>(keychainService, keychainAccountFor(baseURL_), keychain()),
            keychainDescription(), std::dynamic_pointer_cast<tarn::FileKeychain>(keychain()));
    }
    return *tokenStore_;
}

void App::prepareToStoreTokens() {
    CommandDeadline::Step step("checking that the secret store takes an item", exitLocal);
    // Adding and removing an item of its own shows the store takes one, without a prompt.
    tarn::KeychainAttributes probe{.itemClass = tarn::KeychainItemClass::genericPassword,
                                   .service = keychainService,
                                   .account = std::string(keychainAccount) + ".write-check",
                                   .useDataProtectionKeychain = true,
                                   .valueData = std::string()};
    tarn::OSStatus status = keychain()->add(probe);
    // The same failure the sign-in would have met after talking to the server.
    if (status != tarn::errSecSuccess && status != tarn::errSecDuplicateItem) {
        auto error = tarn::KeychainError::unhandled(status);
        if (auto files = std::dynamic_pointer_cast<tarn::FileKeychain>(keychain())) explainFileStoreFailure(error, *files);
        explainSecretServiceFailure(error, keychainDescription());
    }
    probe.valueData.reset();
    probe.useAuthenticationContext = tarn::KeychainAuthenticationContext{.interactionNotAllowed = true};
    keychain()->deleteItem(probe);
    if (keychainKind() == "file") {
        out_.note("Warning: no Secret Service answers on the session bus, so the tokens will be kept unencrypted in " +
                  keychainDescription() + ", readable by this user only (--keychain secret-service insists on it).");
    } else {
        out_.note("The tokens will be kept in " + keychainDescription() + ".");
    }
}

tarn::BlockingClient& App::client() {
    if (!client_) {
        tokenStore();
        rememberHeldSecrets();
        const std::chrono::milliseconds timeout(std::llround(options_.timeoutSeconds * 1000));
        tarn::APIClientOptions options;
        options.allowPlainHTTP = options_.allowPlainHTTP;
        options.requestTimeout = timeout;
        options.userAgent = std::string("tarnctl/") + TARNCTL_VERSION;
        options.trace = [this](const tarn::HttpTrace& exchange) {
            lastCacheResult_.store(exchange.cacheResult);
            if (options_.trace) trace(traceLine(exchange));
        };
        tarn::CurlSessionConfig session;
        session.caFile = options_.caFile;
        // On disk, so that the next command revalidates rather than downloads, and the server
        // list is there when the backend is down and allowed that.
        if (options_.httpCache) session.cache = tarn::HttpCacheConfig{.directory = options_.stateDir / "http-cache"};
        else session.cache.reset();
        session.connectTimeout = std::min(session.connectTimeout, timeout);
        client_ = std::make_unique<tarn::BlockingClient>(baseURL_, tokenStore_, std::move(options), std::move(session));
        // Between local steps, a command with a client is waiting for the server.
        CommandDeadline::setBaseStep("waiting for " + options_.baseURL, exitNetwork);
    }
    return *client_;
}

namespace {

std::size_t damagedDefaultsCopies(const fs::path& stateDir) {
    std::size_t count = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(stateDir, ec)) {
        if (entry.path().filename().string().rfind("defaults.json.corrupt.", 0) == 0) ++count;
    }
    return count;
}

}  // namespace

tarn::Defaults& App::defaults() {
    if (!defaults_) {
        damagedDefaultsAtStart_ = damagedDefaultsCopies(options_.stateDir);
        defaults_ = std::make_shared<tarn::JSONFileDefaults>(options_.stateDir / "defaults.json");
    }
    return *defaults_;
}

void App::rememberHeldSecrets() noexcept {
    // A backend may echo a pair this command never sends (the one a sign-in replaces), or the
    // VLESS id of the profile in use; neither may reach the terminal. Failures are left to the
    // steps that need the store or the profile.
    try {
        if (auto tokens = tokenStore_->loadTokens()) {
            rememberSecret(tokens->accessToken);
            rememberSecret(tokens->refreshToken);
        }
    } catch (...) {
    }
    try {
        std::optional<tarn::VLESSConfig> profile;
        if (vpnState(&profile).kind() == tarn::VPNConnectionState::Kind::connected && profile) {
            rememberProfileSecret(*profile);
        }
    } catch (...) {
    }
}

std::string App::deviceID() {
    const bool first = !identity_;
    std::error_code ec;
    const fs::path defaultsFile = options_.stateDir / "defaults.json";
    CommandDeadline::Step step("reading the device identifier from " + defaultsFile.string(), exitLocal);
    if (first) {
        defaults();
        auto legacy = std::make_shared<tarn::KeychainTokenStore>(keychainService, deviceKeychainAccount, keychain());
        identity_ = std::make_unique<tarn::DeviceIdentity>(defaults_, legacy, defaultsPrefix);
    }
    std::string id = identity_->deviceID();
    // Every new identifier is a new device to the server, taking a slot of the account's limit:
    // beyond the first run, never make one without saying so.
    auto origin = identity_->origin();
    if (!first || !origin || origin->source != tarn::DeviceIdentity::Origin::Source::generated) return id;
    if (!origin->saved) {
        out_.note("Warning: this device has a new identifier, " + id + ", which cannot be kept (" +
                  escaped(origin->problem) + "); the next run will make another, and the server counts each as a new device.");
    } else if (damagedDefaultsCopies(options_.stateDir) > damagedDefaultsAtStart_) {
        // Only a file this run found damaged can have lost an identifier; a file that merely
        // never held one (a fresh directory, or one where only an error was recorded) has not.
        out_.note("Note: " + defaultsFile.string() +
                  " was damaged and held no device identifier (damaged copies are kept beside it as "
                  "defaults.json.corrupt.N); this device has a new identifier, " + id +
                  ", which the server counts as a new device.");
    }
    return id;
}

tarn::SharedContainer App::container() const {
    if (!options_.appGroupRoot) return tarn::SharedContainer(appGroupID);
    // A root named on the command line gets its group directory, which an installer would
    // otherwise create; without it the files would silently go to a private temporary directory.
    std::filesystem::path group = *options_.appGroupRoot / appGroupID;
    std::error_code ec;
    if (!std::filesystem::is_directory(*options_.appGroupRoot, ec)) {
        // A mistyped root must not send the profile where the tunnel never looks.
        throw usageError("--app-group-root " + options_.appGroupRoot->string() + " is not an existing directory");
    }
    if (!std::filesystem::exists(group, ec)) {
        if (::mkdir(group.c_str(), 0700) != 0 && errno != EEXIST) {
            throw std::filesystem::filesystem_error("cannot create the app-group directory", group,
                                                    std::error_code(errno, std::generic_category()));
        }
    }
    return tarn::SharedContainer(appGroupID, *options_.appGroupRoot);
}

bool App::signedIn() { return tokenStore().loadTokens().has_value(); }

void App::saveTokens(const tarn::AuthResponse& auth) { tokenStore().save({auth.accessToken, auth.refreshToken}); }

void App::recordLastError(const ErrorReport& error) noexcept {
    try {
        CommandDeadline::Step step("recording the error in " + (options_.stateDir / "defaults.json").string(), exitLocal);
        // Kept for support requests: the kind and our own words (with the status), never what the
        // server wrote, which may echo a credential this run did not know to redact.
        defaults().setString(lastErrorKey, keptLine(error));
        defaults().removeObject(legacyLastErrorKey);
    } catch (...) {
        // The error being recorded is already on the screen; failing to keep a copy is not news.
    }
}

std::optional<std::string> App::lastError() {
    try {
        // An older tarnctl kept the server's words under another key: they are dropped, not shown.
        if (defaults().stringForKey(legacyLastErrorKey)) defaults().removeObject(legacyLastErrorKey);
        std::optional<std::string> stored = defaults().stringForKey(lastErrorKey);
        if (stored) return escaped(*stored);
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

tarn::VPNConnectionState App::vpnState(std::optional<tarn::VLESSConfig>* profile) const {
    tarn::SharedContainer shared = container();
    std::error_code ec;
    if (!std::filesystem::exists(shared.vlessConfigURL(), ec)) return tarn::VPNConnectionState::disconnected();
    try {
        auto config = shared.readMatchingConfig();
        if (!config) {
            return tarn::VPNConnectionState::failed("xray-config.json does not belong to the profile beside it in " +
                                                    shared.url().string() + "; run `tarnctl connect` again");
        }
        if (profile) *profile = std::move(*config);
        return tarn::VPNConnectionState::connected();
    } catch (const tarn::DecodingError& e) {
        // The description may quote the profile, which the server wrote; the state goes into the
        // diagnostics report.
        return tarn::VPNConnectionState::failed("the connection profile in " + shared.url().string() + " is damaged (" +
                                                std::string(tarn::to_string(e.kind())) + " at " + e.codingPathString() +
                                                "); run `tarnctl connect` again");
    } catch (const std::exception& e) {
        return tarn::VPNConnectionState::failed(std::string("the connection profile cannot be read: ") + e.what());
    }
}

}  // namespace tarnctl
