// APIClient: the typed, asynchronous client of the backend's REST API. One operation per endpoint;
// bearer authentication from a TokenStore; a 401 on an authorized call triggers one token refresh
// shared by every concurrent caller, then one repeat.
//
// Every operation takes an Asio completion token as its last argument. Without one it returns an
// asio::awaitable (`co_await client.me()`), the coroutine itself with no extra cost. Any other
// token (a callback, asio::use_future, asio::experimental::deferred or as_tuple(...), a handler
// with a bound cancellation slot) receives void(std::exception_ptr, T), or
// void(std::exception_ptr) for the operations without a result. For those tokens the operation
// runs as a coroutine on the session's executor (HttpSession::executor(); CurlSession: the
// executor it was built with), as the operations of any Asio I/O object do, and the handler is
// invoked through its associated executor (bind_executor to a strand to be called there). A
// session without an executor of its own runs the operation on the handler's associated executor
// instead. Emitting the signal of a bound cancellation slot aborts the exchange in flight
// (TransportError cancelled).
// For plain blocking calls, BlockingClient (tarn/api/blocking_client.hpp) does the driving.
// tarn/api/operations.hpp describes every operation once (method, path, authorization, argument
// and answer records); the bindings reach the operations through it.
//
// Copies of a client share its refresh gate and its token store's thread, and one client may be
// used from many coroutines on many threads at once. A token store that may block (a keychain;
// see TokenStore::mayBlock) is only ever called on that thread, which the client starts at its
// first store call, so a slow keychain never holds up the executor the calls run on. Nothing
// runs until an operation is awaited or initiated; destroying the client while calls or a
// refresh are in flight is safe (they keep what they need).
//
// Processes that share one token store (the app, tarnctl) take turns through the store's session
// lock around a refresh and a sign-out: only one of them spends a refresh token, the others repeat
// with the pair it stored, and a refresh never saves over a sign-out.
//
// Failures are exceptions, all derived from tarn::Error: APIError for HTTP outcomes,
// TransportError from the session, DecodingError / EncodingError from the JSON coders,
// SessionLockTimeout when another holder kept the store's lock far longer than a refresh takes,
// and whatever the TokenStore throws (KeychainError from the keychain store).
#pragma once

#include "tarn/export.hpp"
#include "tarn/api/client_options.hpp"
#include "tarn/api/http.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/storage/token_store.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/system_executor.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn {

namespace detail {

template <class T>
struct CompletionSignatureOf {
    using type = void(std::exception_ptr, T);
};
template <>
struct CompletionSignatureOf<void> {
    using type = void(std::exception_ptr);
};

// Starts an operation for a token other than use_awaitable: co_spawn carries the handler's
// associated executor and cancellation slot over to the coroutine.
struct InitiateOperation {
    template <class Handler, class T>
    void operator()(Handler&& handler, asio::awaitable<T> operation, asio::any_io_executor sessionExecutor) const {
        if (!sessionExecutor) sessionExecutor = fallbackExecutor(handler);
        asio::co_spawn(sessionExecutor, std::move(operation), std::forward<Handler>(handler));
    }

    // Some handlers' executors cannot run a coroutine (use_future's only forwards to the system
    // executor): the system executor then runs it directly.
    template <class Handler>
    static asio::any_io_executor fallbackExecutor(const Handler& handler) {
        auto associated = asio::get_associated_executor(handler, asio::system_executor());
        if constexpr (std::is_constructible_v<asio::any_io_executor, decltype(associated)>) {
            return associated;
        } else {
            return asio::system_executor();
        }
    }
};

}  // namespace detail

class TARN_EXPORT APIClient {
public:
    /// Stores baseURL as given (with or without a trailing "/"), the session and the optional
    /// token store (nullptr: no token is ever attached or stored).
    /// Throws std::invalid_argument for options that cannot work: a request timeout that is not
    /// positive, no call allowed in flight, an extra header that is refused (see
    /// APIClientOptions::extraHeaders).
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

    /// The token an operation completes with when none is given: it returns an awaitable.
    using DefaultToken = asio::use_awaitable_t<>;

    // -- Sign-in and session flows ------------------------------------------------------------

    /// Password sign-in; the returned pair is saved to the token store.
    template <class Token = DefaultToken>
    auto login(std::string email, std::string password, Token&& token = {}) const {
        return complete(loginOp(std::move(email), std::move(password)), std::forward<Token>(token));
    }
    /// Account creation (`register` is a reserved word in C++); the returned pair is saved.
    template <class Token = DefaultToken>
    auto registerAccount(std::string email, std::string password, std::optional<std::string> name, bool acceptedTerms,
                         bool acceptedPersonalDataProcessing, Token&& token = {}) const {
        return complete(registerAccountOp(std::move(email), std::move(password), std::move(name), acceptedTerms,
                                          acceptedPersonalDataProcessing),
                        std::forward<Token>(token));
    }
    /// Asks for an e-mailed code; the address is trimmed and lower-cased before sending.
    template <class Token = DefaultToken>
    auto requestEmailCode(std::string email, std::string deviceID, std::string platform, Token&& token = {}) const {
        return complete(requestEmailCodeOp(std::move(email), std::move(deviceID), std::move(platform)),
                        std::forward<Token>(token));
    }
    /// Submits the code (only its numeric characters are sent); the returned pair is saved.
    template <class Token = DefaultToken>
    auto verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                         bool acceptedPersonalDataProcessing, Token&& token = {}) const {
        return complete(
            verifyEmailCodeOp(std::move(challengeID), std::move(code), acceptedTerms, acceptedPersonalDataProcessing),
            std::forward<Token>(token));
    }
    /// Sign in with Apple; the returned pair is saved.
    template <class Token = DefaultToken>
    auto loginWithApple(std::string identityToken, std::optional<std::string> authorizationCode,
                        std::optional<std::string> name, std::string deviceID, Token&& token = {}) const {
        return complete(loginWithAppleOp(std::move(identityToken), std::move(authorizationCode), std::move(name),
                                         std::move(deviceID)),
                        std::forward<Token>(token));
    }
    /// Opens a Telegram bot session (flow version 2).
    template <class Token = DefaultToken>
    auto createTelegramSession(std::string deviceID, Token&& token = {}) const {
        return complete(createTelegramSessionOp(std::move(deviceID)), std::forward<Token>(token));
    }
    /// Polls a Telegram session. Throws APIError::invalidResponse without sending anything when
    /// the identifier or the secret is malformed. The secret travels only in a header.
    template <class Token = DefaultToken>
    auto telegramSessionStatus(std::string id, std::string secret, Token&& token = {}) const {
        return complete(telegramSessionStatusOp(std::move(id), std::move(secret)), std::forward<Token>(token));
    }
    /// Completes a Telegram session with the six-digit code. Nothing is stored: the tokens reach
    /// the caller only. Throws APIError::invalidResponse before sending on malformed input.
    template <class Token = DefaultToken>
    auto verifyTelegramSession(std::string id, std::string secret, std::string code, Token&& token = {}) const {
        return complete(verifyTelegramSessionOp(std::move(id), std::move(secret), std::move(code)),
                        std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto createOAuthSession(OAuthProvider provider, std::string deviceID, Token&& token = {}) const {
        return complete(createOAuthSessionOp(provider, std::move(deviceID)), std::forward<Token>(token));
    }
    /// Polls an OAuth session; a present `auth` is handed to the caller, not stored.
    template <class Token = DefaultToken>
    auto oauthSessionStatus(std::string id, Token&& token = {}) const {
        return complete(oauthSessionStatusOp(std::move(id)), std::forward<Token>(token));
    }
    /// Signs out on the backend and clears the token store, holding the store's session lock
    /// throughout, so the backend is told the current refresh token and no refresh in flight
    /// elsewhere saves a pair afterwards. Never fails.
    template <class Token = DefaultToken>
    auto logout(Token&& token = {}) const {
        return complete(logoutOp(), std::forward<Token>(token));
    }
    /// Deletes the account; the token store is cleared after success only.
    template <class Token = DefaultToken>
    auto deleteAccount(std::string deviceID, Token&& token = {}) const {
        return complete(deleteAccountOp(std::move(deviceID)), std::forward<Token>(token));
    }

    // -- Account, VPN, billing, telemetry -----------------------------------------------------

    template <class Token = DefaultToken>
    auto me(Token&& token = {}) const {
        return complete(meOp(), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto syncUser(UserSyncRequest request, Token&& token = {}) const {
        return complete(syncUserOp(std::move(request)), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto subscriptionStatus(Token&& token = {}) const {
        return complete(subscriptionStatusOp(), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto accountDevices(Token&& token = {}) const {
        return complete(accountDevicesOp(), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto removeAccountDevice(std::int64_t id, Token&& token = {}) const {
        return complete(removeAccountDeviceOp(id), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto verifyAppleTransaction(AppleTransactionPayload payload, Token&& token = {}) const {
        return complete(verifyAppleTransactionOp(std::move(payload)), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto billingCatalog(Token&& token = {}) const {
        return complete(billingCatalogOp(), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto createBillingCheckout(BillingCheckoutRequest request, Token&& token = {}) const {
        return complete(createBillingCheckoutOp(std::move(request)), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto servers(Token&& token = {}) const {
        return complete(serversOp(), std::forward<Token>(token));
    }
    /// The connection profile of one server for this device (protocol "vless").
    template <class Token = DefaultToken>
    auto vpnConfig(std::string serverID, std::string deviceID, std::string platform, Token&& token = {}) const {
        return complete(vpnConfigOp(std::move(serverID), std::move(deviceID), std::move(platform)),
                        std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto revokeVPN(std::string deviceID, Token&& token = {}) const {
        return complete(revokeVPNOp(std::move(deviceID)), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto recordAppEvent(AppEventPayload payload, Token&& token = {}) const {
        return complete(recordAppEventOp(std::move(payload)), std::forward<Token>(token));
    }
    /// Sent without a token, so it works before sign-in.
    template <class Token = DefaultToken>
    auto recordAnonymousAppEvent(AppEventPayload payload, Token&& token = {}) const {
        return complete(recordAnonymousAppEventOp(std::move(payload)), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto registerPushToken(PushTokenRequest request, Token&& token = {}) const {
        return complete(registerPushTokenOp(std::move(request)), std::forward<Token>(token));
    }
    template <class Token = DefaultToken>
    auto deletePushToken(PushTokenRequest request, Token&& token = {}) const {
        return complete(deletePushTokenOp(std::move(request)), std::forward<Token>(token));
    }
    /// The published release; sent without a token.
    template <class Token = DefaultToken>
    auto appRelease(Token&& token = {}) const {
        return complete(appReleaseOp(), std::forward<Token>(token));
    }

    const URL& baseURL() const;

    struct Impl;

private:
    template <class T, class Token>
    auto complete(asio::awaitable<T> operation, Token&& token) const {
        if constexpr (std::is_same_v<std::decay_t<Token>, DefaultToken>) {
            return operation;
        } else {
            // The executor is taken now: a deferred operation may start after this client is gone.
            return asio::async_initiate<Token, typename detail::CompletionSignatureOf<T>::type>(
                detail::InitiateOperation{}, token, std::move(operation), sessionExecutor());
        }
    }

    asio::any_io_executor sessionExecutor() const;

    // What each public operation wraps: the whole of its work, in src/.
    asio::awaitable<AuthResponse> loginOp(std::string email, std::string password) const;
    asio::awaitable<AuthResponse> registerAccountOp(std::string email, std::string password,
                                                    std::optional<std::string> name, bool acceptedTerms,
                                                    bool acceptedPersonalDataProcessing) const;
    asio::awaitable<EmailCodeChallenge> requestEmailCodeOp(std::string email, std::string deviceID,
                                                           std::string platform) const;
    asio::awaitable<AuthResponse> verifyEmailCodeOp(std::string challengeID, std::string code, bool acceptedTerms,
                                                    bool acceptedPersonalDataProcessing) const;
    asio::awaitable<AuthResponse> loginWithAppleOp(std::string identityToken,
                                                   std::optional<std::string> authorizationCode,
                                                   std::optional<std::string> name, std::string deviceID) const;
    asio::awaitable<TelegramAuthSession> createTelegramSessionOp(std::string deviceID) const;
    asio::awaitable<TelegramSessionStatus> telegramSessionStatusOp(std::string id, std::string secret) const;
    asio::awaitable<AuthResponse> verifyTelegramSessionOp(std::string id, std::string secret, std::string code) const;
    asio::awaitable<OAuthAuthSession> createOAuthSessionOp(OAuthProvider provider, std::string deviceID) const;
    asio::awaitable<OAuthSessionStatus> oauthSessionStatusOp(std::string id) const;
    asio::awaitable<void> logoutOp() const;
    asio::awaitable<void> deleteAccountOp(std::string deviceID) const;
    asio::awaitable<CRMUser> meOp() const;
    asio::awaitable<UserSyncResponse> syncUserOp(UserSyncRequest request) const;
    asio::awaitable<CRMUser> subscriptionStatusOp() const;
    asio::awaitable<AccountDevicesResponse> accountDevicesOp() const;
    asio::awaitable<AccountDeviceRemovalResponse> removeAccountDeviceOp(std::int64_t id) const;
    asio::awaitable<UserSyncResponse> verifyAppleTransactionOp(AppleTransactionPayload payload) const;
    asio::awaitable<BillingCatalog> billingCatalogOp() const;
    asio::awaitable<BillingCheckoutResponse> createBillingCheckoutOp(BillingCheckoutRequest request) const;
    asio::awaitable<std::vector<VPNServer>> serversOp() const;
    asio::awaitable<VLESSConfig> vpnConfigOp(std::string serverID, std::string deviceID, std::string platform) const;
    asio::awaitable<void> revokeVPNOp(std::string deviceID) const;
    asio::awaitable<void> recordAppEventOp(AppEventPayload payload) const;
    asio::awaitable<void> recordAnonymousAppEventOp(AppEventPayload payload) const;
    asio::awaitable<void> registerPushTokenOp(PushTokenRequest request) const;
    asio::awaitable<void> deletePushTokenOp(PushTokenRequest request) const;
    asio::awaitable<IOSAppRelease> appReleaseOp() const;

    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn
