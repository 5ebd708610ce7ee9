// App: what every command works with. The global options, and the library objects built from
// them on first use (secret store, token store, defaults, device identity, shared container,
// client), so that a command that needs no network or keychain never touches them.
#pragma once

#include "errors.hpp"
#include "output.hpp"
#include "terminal.hpp"

#include <tarn/api/blocking_client.hpp>
#include <tarn/api/http_cache_config.hpp>
#include <tarn/logic/connect_eligibility.hpp>
#include <tarn/storage/defaults.hpp>
#include <tarn/storage/device_identity.hpp>
#include <tarn/storage/keychain.hpp>
#include <tarn/storage/shared_container.hpp>
#include <tarn/storage/token_store.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarnctl {

/// Names under which tarnctl keeps its state; the README lists them.
inline constexpr const char* keychainService = "dev.tarn.vpn";
/// The account of the default backend's sign-in: the one item tarnctl kept before it kept one per
/// backend, which therefore stays the default backend's.
inline constexpr const char* keychainAccount = "tarnctl";
/// The backend tarnctl talks to unless told otherwise (tarn-devserver's default address).
inline constexpr const char* defaultBackendURL = "http://127.0.0.1:8787";
/// The legacy home of a device identifier (read by DeviceIdentity, never written).
inline constexpr const char* deviceKeychainAccount = "tarnctl.device";
inline constexpr const char* defaultsPrefix = "dev.tarn.vpn";
inline constexpr const char* lastErrorKey = "dev.tarn.vpn.tarnctl.last-error.v2";
/// Where older tarnctl versions kept the last error, server text included; removed on sight.
inline constexpr const char* legacyLastErrorKey = "dev.tarn.vpn.tarnctl.last-error";

/// The secret-store account of the sign-in at `baseURL`: one per backend origin (scheme, host and
/// port), so that one backend's tokens are never sent to another. The default backend keeps
/// `keychainAccount`; any other is "tarnctl <origin>" (longer origins end in a hash of themselves,
/// as the file store limits the name).
std::string keychainAccountFor(const tarn::URL& baseURL);

/// Remembers a profile's VLESS id for redaction (see rememberSecret).
void rememberProfileSecret(const tarn::VLESSConfig& profile);
inline constexpr const char* appGroupID = "group.dev.tarn.vpn";
inline constexpr const char* clientPlatform = "linux";

struct GlobalOptions {
    std::string baseURL;
    bool json = false;
    std::string keychain;  // "", "secret-service" or "file"
    std::filesystem::path stateDir;
    std::optional<std::filesystem::path> appGroupRoot;
    double timeoutSeconds = 60;
    /// The bound on the whole command: several requests, lock waits and secret-store calls.
    double deadlineSeconds = 300;
    std::optional<std::string> caFile;
    /// Accept plain http to hosts other than this machine (with a warning).
    bool allowPlainHTTP = false;
    /// Keep the backend's cacheable answers under the state directory (http-cache/).
    bool httpCache = true;
    /// Say on standard error when each request ends and what it took (--trace).
    bool trace = false;

    /// $TARN_BASE_URL, else http://127.0.0.1:8787 (tarn-devserver's default port).
    static std::string defaultBaseURL();
    /// $XDG_STATE_HOME/tarnctl, else ~/.local/state/tarnctl.
    static std::filesystem::path defaultStateDir();
};

class App {
public:
    /// Checks the options (throws a usage error); builds nothing yet.
    explicit App(GlobalOptions options);
    ~App();

    const GlobalOptions& options() const noexcept { return options_; }
    const Output& out() const noexcept { return out_; }
    Input& input() noexcept { return input_; }

    tarn::BlockingClient& client();
    /// Where the last answer of the client came from: the network, the HTTP cache as stored, the
    /// cache after the backend said it is unchanged, or the cache because the backend failed.
    tarn::HttpCacheResult lastCacheResult() const noexcept { return lastCacheResult_.load(); }
    /// With --trace, one line on standard error: the time since the command started and `what`.
    void trace(std::string_view what) const;
    tarn::TokenStore& tokenStore();
    /// "secret-service" or "file": the backend actually in use.
    std::string keychainKind();
    /// Where the tokens live, for people: the Secret Service item or the file store's directory.
    std::string keychainDescription();
    std::filesystem::path keychainFileRoot() const { return options_.stateDir / "keychain"; }
    tarn::Defaults& defaults();
    std::string deviceID();
    tarn::SharedContainer container() const;

    /// Where the tokens go, said before a sign-in (with a warning for the plain-file store), and a
    /// check that the store takes an item, so that a locked keyring or an unwritable directory
    /// fails before the password is asked or the server is contacted.
    void prepareToStoreTokens();

    /// True when a token pair is stored (the pair itself is never shown).
    bool signedIn();
    /// Saves a pair that a sign-in handed to the caller instead of storing it itself.
    void saveTokens(const tarn::AuthResponse& auth);

    /// The last failure of any command, kept for the diagnostics report: its kind and record
    /// (our own words, never the server's). Recording never fails.
    void recordLastError(const ErrorReport& error) noexcept;
    std::optional<std::string> lastError();

    /// What the tunnel would do now: connected while a readable profile is handed over,
    /// disconnected without one, failed when the files cannot be read.
    tarn::VPNConnectionState vpnState(std::optional<tarn::VLESSConfig>* profile = nullptr) const;

private:
    std::shared_ptr<tarn::Keychain> keychain();
    /// Remembers, for redaction, the secrets this machine holds beyond what the command will
    /// touch: the stored pair and the VLESS id of the profile handed to the tunnel.
    void rememberHeldSecrets() noexcept;

    GlobalOptions options_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    // Written by the client's I/O thread, read by the command's.
    std::atomic<tarn::HttpCacheResult> lastCacheResult_{tarn::HttpCacheResult::network};
    Output out_;
    Input input_;
    tarn::URL baseURL_;
    std::shared_ptr<tarn::Keychain> keychain_;
    std::shared_ptr<tarn::TokenStore> tokenStore_;
    std::shared_ptr<tarn::Defaults> defaults_;
    std::unique_ptr<tarn::DeviceIdentity> identity_;
    /// Damaged copies of the defaults file beside it before this run first touched it.
    std::size_t damagedDefaultsAtStart_ = 0;
    std::unique_ptr<tarn::BlockingClient> client_;
};

}  // namespace tarnctl
