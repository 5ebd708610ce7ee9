// BlockingClient: the APIClient for code that does one thing after another and wants plain
// calls. It owns everything asynchronous itself: an io_context run by one I/O thread of its own,
// and the CurlSession on it. Every operation blocks the calling thread until it ends and returns
// the record or throws what the APIClient operation throws (all derived from tarn::Error).
//
// Thread safety: calls may be made from several threads at once; they run concurrently on the I/O
// thread and share one refresh of an expired token, as the APIClient's do. A call must not be
// made from inside the client's own I/O thread (it would wait for itself): that throws
// std::logic_error.
//
// The destructor lets the calls in flight end, stops the session (idle connections are closed),
// and joins the I/O thread. No call may be in progress on another thread when it starts.
//
// Per call, a view bounds each call by a timeout and a std::stop_token:
//     std::stop_source stop;    // stop.request_stop() from another thread ends the call
//     auto user = client.with({.timeout = 5s, .stop = stop.get_token()}).me();
// An ended call ends only that caller's wait: a token refresh other calls share runs on.
//
// This header brings in no Asio: a program that only blocks compiles without it.
#pragma once

#include "tarn/export.hpp"
#include "tarn/api/client_options.hpp"
#include "tarn/api/curl_session_config.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/storage/token_store.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace tarn {

namespace detail {

struct BlockingAccess;

// The 28 operations, declared once for the client and for its bounded views; implemented in the
// library for exactly those two.
template <class Client>
class TARN_EXPORT BlockingOperations {
public:
    // Each operation is the APIClient operation of the same name, run through its description in
    // tarn/api/operations.hpp; see APIClient for what it sends, stores and throws.

    // -- Sign-in and session flows ------------------------------------------------------------

    AuthResponse login(std::string email, std::string password) const;
    AuthResponse registerAccount(std::string email, std::string password, std::optional<std::string> name,
                                 bool acceptedTerms, bool acceptedPersonalDataProcessing) const;
    EmailCodeChallenge requestEmailCode(std::string email, std::string deviceID, std::string platform) const;
    AuthResponse verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                                 bool acceptedPersonalDataProcessing) const;
    AuthResponse loginWithApple(std::string identityToken, std::optional<std::string> authorizationCode,
                                std::optional<std::string> name, std::string deviceID) const;
    TelegramAuthSession createTelegramSession(std::string deviceID) const;
    TelegramSessionStatus telegramSessionStatus(std::string id, std::string secret) const;
    AuthResponse verifyTelegramSession(std::string id, std::string secret, std::string code) const;
    OAuthAuthSession createOAuthSession(OAuthProvider provider, std::string deviceID) const;
    OAuthSessionStatus oauthSessionStatus(std::string id) const;
    void logout() const;
    void deleteAccount(std::string deviceID) const;

    // -- Account, VPN, billing, telemetry -----------------------------------------------------

    CRMUser me() const;
    UserSyncResponse syncUser(UserSyncRequest request) const;
    CRMUser subscriptionStatus() const;
    AccountDevicesResponse accountDevices() const;
    AccountDeviceRemovalResponse removeAccountDevice(std::int64_t id) const;
    UserSyncResponse verifyAppleTransaction(AppleTransactionPayload payload) const;
    BillingCatalog billingCatalog() const;
    BillingCheckoutResponse createBillingCheckout(BillingCheckoutRequest request) const;
    std::vector<VPNServer> servers() const;
    VLESSConfig vpnConfig(std::string serverID, std::string deviceID, std::string platform) const;
    void revokeVPN(std::string deviceID) const;
    void recordAppEvent(AppEventPayload payload) const;
    void recordAnonymousAppEvent(AppEventPayload payload) const;
    void registerPushToken(PushTokenRequest request) const;
    void deletePushToken(PushTokenRequest request) const;
    IOSAppRelease appRelease() const;

protected:
    BlockingOperations() = default;
    BlockingOperations(const BlockingOperations&) = default;
    BlockingOperations& operator=(const BlockingOperations&) = default;
    ~BlockingOperations() = default;
};

}  // namespace detail

class TARN_EXPORT BlockingClient : public detail::BlockingOperations<BlockingClient> {
public:
    /// What bounds the calls of a view made by with(): each call, from its start to its end
    /// (a token refresh it waits for included), and each call on its own.
    struct Limits {
        /// Past it the call throws TransportError timedOut, as a request timeout does. The
        /// client's request timeout still bounds each request inside the call. Must be positive.
        std::optional<std::chrono::milliseconds> timeout{};
        /// A stop requested from any thread ends the call promptly with TransportError
        /// cancelled; a stop requested before the call starts ends it before anything is sent.
        std::stop_token stop{};
    };

    /// The same operations, each call bounded by the limits. A view refers to its client, which
    /// must outlive it; it is cheap to copy and may be used from several threads at once.
    class Bounded;

    /// Starts the I/O thread. Throws what APIClient's constructor throws for the base URL and the
    /// options, and std::invalid_argument for a session configuration that cannot work; no
    /// thread is left behind then.
    explicit BlockingClient(URL baseURL, std::shared_ptr<TokenStore> tokenStore = nullptr,
                            APIClientOptions options = {}, CurlSessionConfig sessionConfig = {});
    ~BlockingClient();

    BlockingClient(const BlockingClient&) = delete;
    BlockingClient& operator=(const BlockingClient&) = delete;

    const URL& baseURL() const;

    /// Throws std::invalid_argument for a timeout that is not positive.
    Bounded with(Limits limits) const;

private:
    friend struct detail::BlockingAccess;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class TARN_EXPORT BlockingClient::Bounded : public detail::BlockingOperations<BlockingClient::Bounded> {
private:
    friend class BlockingClient;
    friend struct detail::BlockingAccess;
    Bounded(const BlockingClient& client, Limits limits) : client_(&client), limits_(std::move(limits)) {}

    const BlockingClient* client_;
    Limits limits_;
};

extern template class detail::BlockingOperations<BlockingClient>;
extern template class detail::BlockingOperations<BlockingClient::Bounded>;

}  // namespace tarn
