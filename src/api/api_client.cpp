// APIClient's operations: each binds its arguments to one call of the request pipeline
// (request_pipeline.hpp) or of the sign-in helpers (sign_in.hpp).
#include "tarn/api/api_client.hpp"

#include "api/base_url_policy.hpp"
#include "api/client_impl.hpp"
#include "api/request_bodies.hpp"
#include "api/request_pipeline.hpp"
#include "api/sign_in.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/logic/telegram_contract.hpp"
#include "tarn/platform/unicode.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tarn {

using namespace detail;

APIClient::APIClient(URL baseURL, std::shared_ptr<HttpSession> session, std::shared_ptr<TokenStore> tokenStore,
                     APIClientOptions options) {
    if (!isUsableBaseURL(baseURL, options)) throw APIError::invalidBaseURL();
    checkOptions(options);
    impl_ = std::make_shared<Impl>(std::move(baseURL), std::move(session), std::move(tokenStore), std::move(options));
}

asio::any_io_executor APIClient::sessionExecutor() const { return impl_->session->executor(); }

const URL& APIClient::baseURL() const { return impl_->baseURL; }

// Every operation hands a copy of impl_ to a coroutine, so the call owns what it needs even if
// this APIClient is destroyed while the call is suspended, and every failure (bad input included)
// surfaces when the operation is awaited.

asio::awaitable<AuthResponse> APIClient::loginOp(std::string email, std::string password) const {
    std::vector<std::string> secrets{password};
    return signIn(impl_, "auth/login", detail::PasswordLoginBody{std::move(email), std::move(password)},
                  std::move(secrets));
}

asio::awaitable<AuthResponse> APIClient::registerAccountOp(std::string email, std::string password,
                                                           std::optional<std::string> name, bool acceptedTerms,
                                                           bool acceptedPersonalDataProcessing) const {
    std::vector<std::string> secrets{password};
    return signIn(impl_, "auth/register",
                  RegisterRequest{std::move(email), std::move(password), std::move(name), acceptedTerms,
                                  acceptedPersonalDataProcessing},
                  std::move(secrets));
}

asio::awaitable<EmailCodeChallenge> APIClient::requestEmailCodeOp(std::string email, std::string deviceID,
                                                                  std::string platform) const {
    EmailCodeRequest body{unicode::lowercased(unicode::trimmingWhitespaceAndNewlines(email)), std::move(platform),
                          std::move(deviceID)};
    return send<EmailCodeChallenge>(impl_, "POST", "api/v1/auth/email/request-code", std::move(body), Auth::none);
}

asio::awaitable<AuthResponse> APIClient::verifyEmailCodeOp(std::string challengeID, std::string code,
                                                           bool acceptedTerms,
                                                           bool acceptedPersonalDataProcessing) const {
    std::string digits = unicode::keepingNumerics(code);
    std::vector<std::string> secrets{digits};
    return signIn(impl_, "api/v1/auth/email/verify-code",
                  EmailCodeVerificationRequest{std::move(challengeID), std::move(digits), acceptedTerms,
                                               acceptedPersonalDataProcessing},
                  std::move(secrets));
}

asio::awaitable<AuthResponse> APIClient::loginWithAppleOp(std::string identityToken,
                                                          std::optional<std::string> authorizationCode,
                                                          std::optional<std::string> name, std::string deviceID) const {
    std::vector<std::string> secrets{identityToken, authorizationCode.value_or("")};
    return signIn(impl_, "auth/apple",
                  AppleAuthRequest{std::move(identityToken), std::move(authorizationCode), std::move(name),
                                   std::move(deviceID)},
                  std::move(secrets));
}

asio::awaitable<TelegramAuthSession> APIClient::createTelegramSessionOp(std::string deviceID) const {
    return request<TelegramAuthSession>(
        impl_, {.method = "POST",
                .path = "auth/telegram/session",
                .body = TelegramAuthSessionRequest{std::move(deviceID)},
                .auth = Auth::none,
                .headers = {{"X-Tarn-Auth-Session-Secret-Version", std::to_string(TelegramAuthContract::flowVersion)}}});
}

asio::awaitable<TelegramSessionStatus> APIClient::telegramSessionStatusOp(std::string id, std::string secret) const {
    return telegramStatusImpl(impl_, std::move(id), std::move(secret));
}

asio::awaitable<AuthResponse> APIClient::verifyTelegramSessionOp(std::string id, std::string secret,
                                                                 std::string code) const {
    return verifyTelegramImpl(impl_, std::move(id), std::move(secret), std::move(code));
}

asio::awaitable<OAuthAuthSession> APIClient::createOAuthSessionOp(OAuthProvider provider, std::string deviceID) const {
    return send<OAuthAuthSession>(impl_, "POST", "auth/oauth/session",
                                  OAuthSessionRequest{std::string(rawValue(provider)), std::move(deviceID), "ios"},
                                  Auth::none);
}

asio::awaitable<OAuthSessionStatus> APIClient::oauthSessionStatusOp(std::string id) const {
    return oauthStatusImpl(impl_, std::move(id));
}

asio::awaitable<void> APIClient::logoutOp() const { return logoutImpl(impl_); }

asio::awaitable<void> APIClient::deleteAccountOp(std::string deviceID) const {
    return deleteAccountImpl(impl_, std::move(deviceID));
}

asio::awaitable<CRMUser> APIClient::meOp() const { return get<CRMUser>(impl_, "me"); }

asio::awaitable<UserSyncResponse> APIClient::syncUserOp(UserSyncRequest request) const {
    return send<UserSyncResponse>(impl_, "POST", "users/sync", std::move(request));
}

asio::awaitable<CRMUser> APIClient::subscriptionStatusOp() const { return get<CRMUser>(impl_, "subscription/status"); }

asio::awaitable<AccountDevicesResponse> APIClient::accountDevicesOp() const {
    return get<AccountDevicesResponse>(impl_, "devices");
}

asio::awaitable<AccountDeviceRemovalResponse> APIClient::removeAccountDeviceOp(std::int64_t id) const {
    return request<AccountDeviceRemovalResponse>(
        impl_, {.method = "DELETE", .path = "devices/" + std::to_string(id), .auth = Auth::bearer});
}

asio::awaitable<UserSyncResponse> APIClient::verifyAppleTransactionOp(AppleTransactionPayload payload) const {
    return send<UserSyncResponse>(impl_, "POST", "billing/apple/verify", std::move(payload));
}

asio::awaitable<BillingCatalog> APIClient::billingCatalogOp() const {
    return get<BillingCatalog>(impl_, "billing/catalog");
}

asio::awaitable<BillingCheckoutResponse> APIClient::createBillingCheckoutOp(BillingCheckoutRequest request) const {
    return send<BillingCheckoutResponse>(impl_, "POST", "billing/checkout", std::move(request));
}

asio::awaitable<std::vector<VPNServer>> APIClient::serversOp() const {
    return get<std::vector<VPNServer>>(impl_, "vpn/servers");
}

asio::awaitable<VLESSConfig> APIClient::vpnConfigOp(std::string serverID, std::string deviceID,
                                                    std::string platform) const {
    return send<VLESSConfig>(impl_, "POST", "vpn/config",
                             detail::VPNConfigBody{std::move(serverID), std::move(deviceID), "vless", std::move(platform)});
}

asio::awaitable<void> APIClient::revokeVPNOp(std::string deviceID) const {
    return discard(send<EmptyBody>(impl_, "POST", "vpn/revoke", detail::DeviceIDBody{std::move(deviceID)}));
}

asio::awaitable<void> APIClient::recordAppEventOp(AppEventPayload payload) const {
    return discard(send<EmptyBody>(impl_, "POST", "app/events", std::move(payload)));
}

asio::awaitable<void> APIClient::recordAnonymousAppEventOp(AppEventPayload payload) const {
    return discard(send<EmptyBody>(impl_, "POST", "app/events/anonymous", std::move(payload), Auth::none));
}

asio::awaitable<void> APIClient::registerPushTokenOp(PushTokenRequest request) const {
    return discard(send<EmptyBody>(impl_, "POST", "app/push-token", std::move(request)));
}

asio::awaitable<void> APIClient::deletePushTokenOp(PushTokenRequest request) const {
    return discard(send<EmptyBody>(impl_, "DELETE", "app/push-token", std::move(request)));
}

asio::awaitable<IOSAppRelease> APIClient::appReleaseOp() const {
    return get<IOSAppRelease>(impl_, "app/ios/release", Auth::none);
}

}  // namespace tarn
