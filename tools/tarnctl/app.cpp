#include "app.hpp"

#include "errors.hpp"

#include <tarn/api/json.hpp>
#include <tarn/storage/file_keychain.hpp>
#include <tarn/storage/secret_service_keychain.hpp>

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>

#ifndef TARNCTL_VERSION
#define TARNCTL_VERSION "0.0.0"
#endif

namespace tarnctl {

std::string GlobalOptions::defaultBaseURL() {
    const char* env = std::getenv("TARN_BASE_URL");
    return env && *env ? env : "http://127.0.0.1:8787";
}

std::filesystem::path GlobalOptions::defaultStateDir() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') return std::filesystem::path(xdg) / "tarnctl";
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::filesystem::path(home) / ".local" / "state" / "tarnctl";
    }
    return std::filesystem::temp_directory_path() / ("tarnctl-" + std::to_string(::getuid()));
}

namespace {

tarn::URL checkedBaseURL(const std::string& text) {
    auto url = tarn::URL::parse(text);
    auto scheme = url ? url->scheme() : std::nullopt;
    for (auto& c : scheme ? *scheme : std::string()) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!url || !scheme || (*scheme != "http" && *scheme != "https") || !url->host() || url->host()->empty() ||
        url->percentEncodedQuery() || url->fragment()) {
        throw usageError("--base-url must be an http:// or https:// URL without query or fragment, not \"" + text + "\"");
    }
    return *url;
}

}  // namespace

App::App(GlobalOptions options) : options_(std::move(options)), out_(options_.json), baseURL_(checkedBaseURL(options_.baseURL)) {
    if (!(options_.timeoutSeconds > 0) || options_.timeoutSeconds > 86'400) {
        throw usageError("--timeout must be a number of seconds above 0");
    }
    if (options_.stateDir.empty() || options_.stateDir.is_relative()) {
        options_.stateDir = std::filesystem::absolute(options_.stateDir.empty() ? "." : options_.stateDir);
    }
}

App::~App() = default;

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

namespace {

// Every pair that passes through the store, in either direction, is remembered for redaction:
// that is every token the client attaches or receives, without reading the store any more often.
class RememberingTokenStore : public tarn::TokenStore {
public:
    explicit RememberingTokenStore(std::shared_ptr<tarn::TokenStore> inner) : inner_(std::move(inner)) {}

    std::optional<tarn::AuthTokens> loadTokens() override {
        std::optional<tarn::AuthTokens> tokens = inner_->loadTokens();
        if (tokens) remember(*tokens);
        return tokens;
    }
    void save(const tarn::AuthTokens& tokens) override {
        remember(tokens);
        inner_->save(tokens);
    }
    void clear() override { inner_->clear(); }

private:
    static void remember(const tarn::AuthTokens& tokens) {
        rememberSecret(tokens.accessToken);
        rememberSecret(tokens.refreshToken);
    }
    std::shared_ptr<tarn::TokenStore> inner_;
};

}  // namespace

tarn::TokenStore& App::tokenStore() {
    if (!tokenStore_) {
        tokenStore_ = std::make_shared<RememberingTokenStore>(
            std::make_shared<tarn::KeychainTokenStore>(keychainService, keychainAccount, keychain()));
    }
    return *tokenStore_;
}

SyncClient& App::client() {
    if (!client_) {
        tokenStore();
        SessionSettings settings;
        settings.timeout = std::chrono::milliseconds(std::llround(options_.timeoutSeconds * 1000));
        settings.caFile = options_.caFile;
        settings.userAgent = std::string("tarnctl/") + TARNCTL_VERSION;
        client_ = std::make_unique<SyncClient>(baseURL_, tokenStore_, settings);
    }
    return *client_;
}

tarn::Defaults& App::defaults() {
    if (!defaults_) defaults_ = std::make_shared<tarn::JSONFileDefaults>(options_.stateDir / "defaults.json");
    return *defaults_;
}

std::string App::deviceID() {
    if (!identity_) {
        defaults();
        auto legacy = std::make_shared<tarn::KeychainTokenStore>(keychainService, deviceKeychainAccount, keychain());
        identity_ = std::make_unique<tarn::DeviceIdentity>(defaults_, legacy, defaultsPrefix);
    }
    return identity_->deviceID();
}

tarn::SharedContainer App::container() const {
    if (!options_.appGroupRoot) return tarn::SharedContainer(appGroupID);
    // A root named on the command line gets its group directory, which an installer would
    // otherwise create; without it the files would silently go to a private temporary directory.
    std::filesystem::path group = *options_.appGroupRoot / appGroupID;
    std::error_code ec;
    if (std::filesystem::is_directory(*options_.appGroupRoot, ec) && !std::filesystem::exists(group, ec)) {
        if (::mkdir(group.c_str(), 0700) != 0 && errno != EEXIST) {
            throw std::filesystem::filesystem_error("cannot create the app-group directory", group,
                                                    std::error_code(errno, std::generic_category()));
        }
    }
    return tarn::SharedContainer(appGroupID, *options_.appGroupRoot);
}

bool App::signedIn() { return tokenStore().loadTokens().has_value(); }

void App::saveTokens(const tarn::AuthResponse& auth) { tokenStore().save({auth.accessToken, auth.refreshToken}); }

void App::recordLastError(const std::string& line) noexcept {
    try {
        // Kept for support requests, so it holds what the message says (kind, status, a short
        // reason) and never a credential or a raw answer, even if a caller passed one.
        defaults().setString(lastErrorKey, oneLine(line));
    } catch (...) {
        // The error being recorded is already on the screen; failing to keep a copy is not news.
    }
}

std::optional<std::string> App::lastError() {
    try {
        // A file written by an older tarnctl may still hold a raw answer.
        std::optional<std::string> stored = defaults().stringForKey(lastErrorKey);
        if (stored) return oneLine(*stored);
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
        tarn::VLESSConfig config = shared.readConfig();
        if (profile) *profile = std::move(config);
        return tarn::VPNConnectionState::connected();
    } catch (const std::exception& e) {
        return tarn::VPNConnectionState::failed(std::string("the connection profile cannot be read: ") + e.what());
    }
}

}  // namespace tarnctl
