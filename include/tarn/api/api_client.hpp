// APIClient: the typed, asynchronous client of the backend's REST API. One operation per endpoint,
// each an asio::awaitable; bearer authentication from a TokenStore; a 401 on an authorized call
// triggers one token refresh shared by every concurrent caller, then one repeat.
//
// The client has no mutable state of its own: copies share the same refresh gate, and one client
// may be used from many coroutines on many threads at once. Nothing runs until an operation is
// awaited; destroying the client while calls or a refresh are in flight is safe (they keep what
// they need).
//
// Processes that share one token store (the app, tarnctl) take turns through the store's session
// lock around a refresh and a sign-out: only one of them spends a refresh token, the others repeat
// with the pair it stored, and a refresh never saves over a sign-out.
//
// Failures are exceptions: APIError for HTTP outcomes, TransportError from the session,
// DecodingError / EncodingError from the JSON coders, whatever the TokenStore throws, and
// SessionLockTimeout when another holder kept the store's lock far longer than a refresh takes.
// Use from plain code: asio::co_spawn(io, client.me(), asio::use_future).get().
#pragma once

#include "tarn/export.hpp"
#include "tarn/api/http.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/storage/token_store.hpp"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

/// How a client may be configured beyond its base URL, session and token store.
struct TARN_EXPORT APIClientOptions {
    /// Plain http is accepted only for loopback hosts ("localhost", 127.0.0.0/8, ::1), where no
    /// one else can read the traffic. Set this to send passwords and tokens unencrypted to any
    /// host, e.g. a staging backend on a private network.
    bool allowPlainHTTP = false;
};

class TARN_EXPORT APIClient {
public:
    /// Stores baseURL as given (with or without a trailing "/"), the session and the optional
    /// token store (nullptr: no token is ever attached or stored).
    /// Throws APIError::invalidBaseURL when baseURL is not an absolute http or https URL with a
    /// host, when it carries a user name or password (they would travel with every request and
    /// show in every log of the URL), or when it is plain http to a host that is not loopback and
    /// options.allowPlainHTTP is not set.
    APIClient(URL baseURL, std::shared_ptr<HttpSession> session, std::shared_ptr<TokenStore> tokenStore = nullptr,
              APIClientOptions options = {});

    /// Whether a base URL passes the checks of the constructor, for callers that want to
    /// validate input before building a client.
    static bool isUsableBaseURL(const URL& baseURL, const APIClientOptions& options = {});
    /// Whether host (as URL::host() gives it) can only be this machine: "localhost" and its
    /// subdomains, 127.0.0.0/8, ::1 and IPv4-mapped loopback addresses.
    static bool isLoopbackHost(std::string_view host);

    // -- Sign-in and session flows ------------------------------------------------------------

    /// Password sign-in; the returned pair is saved to the token store.
    asio::awaitable<AuthResponse> login(std::string email, std::string password) const;
    /// Account creation (`register` is a reserved word in C++); the returned pair is saved.
    asio::awaitable<AuthResponse> registerAccount(std::string email, std::string password,
                                                  std::optional<std::string> name, bool acceptedTerms,
                                                  bool acceptedPersonalDataProcessing) const;
    /// Asks for an e-mailed code; the address is trimmed and lower-cased before sending.
    asio::awaitable<EmailCodeChallenge> requestEmailCode(std::string email, std::string deviceID,
                                                         std::string platform) const;
    /// Submits the code (only its numeric characters are sent); the returned pair is saved.
    asio::awaitable<AuthResponse> verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                                                  bool acceptedPersonalDataProcessing) const;
    /// Sign in with Apple; the returned pair is saved.
    asio::awaitable<AuthResponse> loginWithApple(std::string identityToken, std::optional<std::string> authorizationCode,
                                                 std::optional<std::string> name, std::string deviceID) const;
    /// Opens a Telegram bot session (flow version 2).
    asio::awaitable<TelegramAuthSession> createTelegramSession(std::string deviceID) const;
    /// Polls a Telegram session. Throws APIError::invalidResponse without sending anything when
    /// the identifier or the secret is malformed. The secret travels only in a header.
    asio::awaitable<TelegramSessionStatus> telegramSessionStatus(std::string id, std::string secret) const;
    /// Completes a Telegram session with the six-digit code. Nothing is stored: the tokens reach
    /// the caller only. Throws APIError::invalidResponse before sending on malformed input.
    asio::awaitable<AuthResponse> verifyTelegramSession(std::string id, std::string secret, std::string code) const;
    asio::awaitable<OAuthAuthSession> createOAuthSession(OAuthProvider provider, std::string deviceID) const;
    /// Polls an OAuth session; a present `auth` is handed to the caller, not stored.
    asio::awaitable<OAuthSessionStatus> oauthSessionStatus(std::string id) const;
    /// Signs out on the backend and clears the token store, holding the store's session lock
    /// throughout, so the backend is told the current refresh token and no refresh in flight
    /// elsewhere saves a pair afterwards. Never fails.
    asio::awaitable<void> logout() const;
    /// Deletes the account; the token store is cleared after success only.
    asio::awaitable<void> deleteAccount(std::string deviceID) const;

    // -- Account, VPN, billing, telemetry -----------------------------------------------------

    asio::awaitable<CRMUser> me() const;
    asio::awaitable<UserSyncResponse> syncUser(UserSyncRequest request) const;
    asio::awaitable<CRMUser> subscriptionStatus() const;
    asio::awaitable<AccountDevicesResponse> accountDevices() const;
    asio::awaitable<AccountDeviceRemovalResponse> removeAccountDevice(std::int64_t id) const;
    asio::awaitable<UserSyncResponse> verifyAppleTransaction(AppleTransactionPayload payload) const;
    asio::awaitable<BillingCatalog> billingCatalog() const;
    asio::awaitable<BillingCheckoutResponse> createBillingCheckout(BillingCheckoutRequest request) const;
    asio::awaitable<std::vector<VPNServer>> servers() const;
    /// The connection profile of one server for this device (protocol "vless").
    asio::awaitable<VLESSConfig> vpnConfig(std::string serverID, std::string deviceID, std::string platform) const;
    asio::awaitable<void> revokeVPN(std::string deviceID) const;
    asio::awaitable<void> recordAppEvent(AppEventPayload payload) const;
    /// Sent without a token, so it works before sign-in.
    asio::awaitable<void> recordAnonymousAppEvent(AppEventPayload payload) const;
    asio::awaitable<void> registerPushToken(PushTokenRequest request) const;
    asio::awaitable<void> deletePushToken(PushTokenRequest request) const;
    /// The published release; sent without a token.
    asio::awaitable<IOSAppRelease> appRelease() const;

    const URL& baseURL() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn
