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

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarn {

class TARN_EXPORT BlockingClient {
public:
    /// Starts the I/O thread. Throws what APIClient's constructor throws for the base URL and the
    /// options, and std::invalid_argument for a session configuration that cannot work; no
    /// thread is left behind then.
    explicit BlockingClient(URL baseURL, std::shared_ptr<TokenStore> tokenStore = nullptr,
                            APIClientOptions options = {}, CurlSessionConfig sessionConfig = {});
    ~BlockingClient();

    BlockingClient(const BlockingClient&) = delete;
    BlockingClient& operator=(const BlockingClient&) = delete;

    const URL& baseURL() const;

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

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarn
