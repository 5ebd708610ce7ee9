// SyncClient: the library's APIClient driven to completion one call at a time, for a program that
// does one thing after another. It owns the io_context and the CurlSession; every method runs its
// operation on the calling thread and returns its result or throws the library's error.
//
// Asio stays inside sync_client.cpp: the rest of tarnctl sees plain functions, which keeps the
// other translation units quick to compile.
#pragma once

#include <tarn/models/account.hpp>
#include <tarn/models/auth_requests.hpp>
#include <tarn/models/billing_telemetry.hpp>
#include <tarn/models/devices_vpn.hpp>
#include <tarn/models/sessions.hpp>
#include <tarn/platform/url.hpp>
#include <tarn/storage/token_store.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnctl {

struct SessionSettings {
    /// Bounds every exchange, redirects included (the library's own default is 60 s).
    std::chrono::milliseconds timeout{60'000};
    std::optional<std::string> caFile;
    std::string userAgent;
    bool allowPlainHTTP = false;
};

class SyncClient {
public:
    SyncClient(tarn::URL baseURL, std::shared_ptr<tarn::TokenStore> tokenStore, SessionSettings settings);
    ~SyncClient();
    SyncClient(const SyncClient&) = delete;
    SyncClient& operator=(const SyncClient&) = delete;

    tarn::AuthResponse login(std::string email, std::string password);
    tarn::AuthResponse registerAccount(std::string email, std::string password, std::optional<std::string> name,
                                       bool acceptedTerms, bool acceptedPersonalDataProcessing);
    tarn::EmailCodeChallenge requestEmailCode(std::string email, std::string deviceID, std::string platform);
    tarn::AuthResponse verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                                       bool acceptedPersonalDataProcessing);
    tarn::AuthResponse loginWithApple(std::string identityToken, std::optional<std::string> authorizationCode,
                                      std::optional<std::string> name, std::string deviceID);
    tarn::TelegramAuthSession createTelegramSession(std::string deviceID);
    tarn::TelegramSessionStatus telegramSessionStatus(std::string id, std::string secret);
    tarn::AuthResponse verifyTelegramSession(std::string id, std::string secret, std::string code);
    tarn::OAuthAuthSession createOAuthSession(tarn::OAuthProvider provider, std::string deviceID);
    tarn::OAuthSessionStatus oauthSessionStatus(std::string id);
    void logout();
    void deleteAccount(std::string deviceID);

    tarn::CRMUser me();
    tarn::UserSyncResponse syncUser(tarn::UserSyncRequest request);
    tarn::CRMUser subscriptionStatus();
    tarn::AccountDevicesResponse accountDevices();
    tarn::AccountDeviceRemovalResponse removeAccountDevice(std::int64_t id);
    tarn::UserSyncResponse verifyAppleTransaction(tarn::AppleTransactionPayload payload);
    tarn::BillingCatalog billingCatalog();
    tarn::BillingCheckoutResponse createBillingCheckout(tarn::BillingCheckoutRequest request);
    std::vector<tarn::VPNServer> servers();
    tarn::VLESSConfig vpnConfig(std::string serverID, std::string deviceID, std::string platform);
    void revokeVPN(std::string deviceID);
    void recordAppEvent(tarn::AppEventPayload payload);
    void recordAnonymousAppEvent(tarn::AppEventPayload payload);
    void registerPushToken(tarn::PushTokenRequest request);
    void deletePushToken(tarn::PushTokenRequest request);
    tarn::IOSAppRelease appRelease();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarnctl
