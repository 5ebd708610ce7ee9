// APIClient's operations: each binds its arguments to one call of the request pipeline
// (request_pipeline.hpp) or of the sign-in helpers (sign_in.hpp).
#include "tarn/api/api_client.hpp"

#include "api/base_url_policy.hpp"
#include "api/client_impl.hpp"
#include "api/request_bodies.hpp"
#include "api/request_pipeline.hpp"
#include "api/sign_in.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/json/json.hpp"
#include "tarn/api/operations.hpp"
#include "tarn/text/redaction.hpp"
#include "tarn/logic/telegram_contract.hpp"
#include "tarn/platform/unicode.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tarn {

using namespace detail;

APIClient::APIClient(URL baseURL, std::shared_ptr<HttpSession> session, std::shared_ptr<TokenStore> tokenStore,
                     APIClientOptions options) {
    if (auto problem = baseURLProblem(baseURL, options); !problem.empty()) throw APIError::invalidBaseURL(problem);
    checkOptions(options);
    impl_ = std::make_shared<Impl>(std::move(baseURL), std::move(session), std::move(tokenStore), std::move(options));
}

asio::any_io_executor APIClient::sessionExecutor() const { return impl_->session->executor(); }

const URL& APIClient::baseURL() const { return impl_->baseURL; }

namespace {

// The method, path and authorization of each operation are the description's
// (tarn/api/operations.hpp); "{id}" in a path is replaced by the identifier given.
namespace ops = operations;

template <class Op>
std::string methodOf() {
    return std::string(Op::method);
}

template <class Op>
std::string pathOf(std::string_view id = {}) {
    std::string path(Op::path);
    if (auto at = path.find("{id}"); at != std::string::npos) path.replace(at, 4, id);
    return path;
}

// Only bearer operations send the stored token and go through the refresh on a 401; the session
// secret of the Telegram calls travels in a header of its own (sign_in.cpp).
template <class Op>
constexpr Auth authOf = Op::authorization == ops::Authorization::bearer ? Auth::bearer : Auth::none;

}  // namespace

// Every operation hands a copy of impl_ to a coroutine, so the call owns what it needs even if
// this APIClient is destroyed while the call is suspended, and every failure (bad input included)
// surfaces when the operation is awaited.

asio::awaitable<AuthResponse> APIClient::loginOp(std::string email, std::string password) const {
    std::vector<std::string> secrets{password};
    return signIn(impl_, pathOf<ops::Login>(), detail::PasswordLoginBody{std::move(email), std::move(password)},
                  std::move(secrets));
}

asio::awaitable<AuthResponse> APIClient::registerAccountOp(std::string email, std::string password,
                                                           std::optional<std::string> name, bool acceptedTerms,
                                                           bool acceptedPersonalDataProcessing) const {
    std::vector<std::string> secrets{password};
    return signIn(impl_, pathOf<ops::Register>(),
                  RegisterRequest{std::move(email), std::move(password), std::move(name), acceptedTerms,
                                  acceptedPersonalDataProcessing},
                  std::move(secrets));
}

asio::awaitable<EmailCodeChallenge> APIClient::requestEmailCodeOp(std::string email, std::string deviceID,
                                                                  std::string platform) const {
    EmailCodeRequest body{unicode::lowercased(unicode::trimmingWhitespaceAndNewlines(email)), std::move(platform),
                          std::move(deviceID)};
    return send<EmailCodeChallenge>(impl_, methodOf<ops::RequestEmailCode>(), pathOf<ops::RequestEmailCode>(),
                                    std::move(body), authOf<ops::RequestEmailCode>);
}

asio::awaitable<AuthResponse> APIClient::verifyEmailCodeOp(std::string challengeID, std::string code,
                                                           bool acceptedTerms,
                                                           bool acceptedPersonalDataProcessing) const {
    std::string digits = unicode::keepingNumerics(code);
    std::vector<std::string> secrets{digits};
    return signIn(impl_, pathOf<ops::VerifyEmailCode>(),
                  EmailCodeVerificationRequest{std::move(challengeID), std::move(digits), acceptedTerms,
                                               acceptedPersonalDataProcessing},
                  std::move(secrets));
}

asio::awaitable<AuthResponse> APIClient::loginWithAppleOp(std::string identityToken,
                                                          std::optional<std::string> authorizationCode,
                                                          std::optional<std::string> name, std::string deviceID) const {
    std::vector<std::string> secrets{identityToken, authorizationCode.value_or("")};
    return signIn(impl_, pathOf<ops::LoginWithApple>(),
                  AppleAuthRequest{std::move(identityToken), std::move(authorizationCode), std::move(name),
                                   std::move(deviceID)},
                  std::move(secrets));
}

asio::awaitable<TelegramAuthSession> APIClient::createTelegramSessionOp(std::string deviceID) const {
    return request<TelegramAuthSession>(
        impl_, {.method = methodOf<ops::CreateTelegramSession>(),
                .path = pathOf<ops::CreateTelegramSession>(),
                .body = TelegramAuthSessionRequest{std::move(deviceID)},
                .auth = authOf<ops::CreateTelegramSession>,
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
    return send<OAuthAuthSession>(impl_, methodOf<ops::CreateOAuthSession>(), pathOf<ops::CreateOAuthSession>(),
                                  OAuthSessionRequest{std::string(rawValue(provider)), std::move(deviceID), "ios"},
                                  authOf<ops::CreateOAuthSession>);
}

asio::awaitable<OAuthSessionStatus> APIClient::oauthSessionStatusOp(std::string id) const {
    return oauthStatusImpl(impl_, std::move(id));
}

asio::awaitable<void> APIClient::logoutOp() const { return logoutImpl(impl_); }

asio::awaitable<void> APIClient::deleteAccountOp(std::string deviceID) const {
    return deleteAccountImpl(impl_, std::move(deviceID));
}

asio::awaitable<CRMUser> APIClient::meOp() const { return get<CRMUser>(impl_, pathOf<ops::Me>()); }

asio::awaitable<UserSyncResponse> APIClient::syncUserOp(UserSyncRequest request) const {
    return send<UserSyncResponse>(impl_, methodOf<ops::SyncUser>(), pathOf<ops::SyncUser>(), std::move(request));
}

asio::awaitable<CRMUser> APIClient::subscriptionStatusOp() const { return get<CRMUser>(impl_, pathOf<ops::SubscriptionStatusOperation>()); }

asio::awaitable<AccountDevicesResponse> APIClient::accountDevicesOp() const {
    return get<AccountDevicesResponse>(impl_, pathOf<ops::AccountDevices>());
}

asio::awaitable<AccountDeviceRemovalResponse> APIClient::removeAccountDeviceOp(std::int64_t id) const {
    return request<AccountDeviceRemovalResponse>(impl_, {.method = methodOf<ops::RemoveAccountDevice>(),
                                                         .path = pathOf<ops::RemoveAccountDevice>(std::to_string(id)),
                                                         .auth = authOf<ops::RemoveAccountDevice>});
}

asio::awaitable<UserSyncResponse> APIClient::verifyAppleTransactionOp(AppleTransactionPayload payload) const {
    return send<UserSyncResponse>(impl_, methodOf<ops::VerifyAppleTransaction>(), pathOf<ops::VerifyAppleTransaction>(),
                                  std::move(payload));
}

asio::awaitable<BillingCatalog> APIClient::billingCatalogOp() const {
    return get<BillingCatalog>(impl_, pathOf<ops::BillingCatalogOperation>());
}

asio::awaitable<BillingCheckoutResponse> APIClient::createBillingCheckoutOp(BillingCheckoutRequest request) const {
    return send<BillingCheckoutResponse>(impl_, methodOf<ops::CreateBillingCheckout>(), pathOf<ops::CreateBillingCheckout>(),
                                         std::move(request));
}

asio::awaitable<std::vector<VPNServer>> APIClient::serversOp() const {
    return get<std::vector<VPNServer>>(impl_, pathOf<ops::Servers>());
}

asio::awaitable<VLESSConfig> APIClient::vpnConfigOp(std::string serverID, std::string deviceID,
                                                    std::string platform) const {
    return send<VLESSConfig>(impl_, methodOf<ops::VPNConfig>(), pathOf<ops::VPNConfig>(),
                             detail::VPNConfigBody{std::move(serverID), std::move(deviceID), "vless", std::move(platform)});
}

asio::awaitable<void> APIClient::revokeVPNOp(std::string deviceID) const {
    return discard(send<EmptyBody>(impl_, methodOf<ops::RevokeVPN>(), pathOf<ops::RevokeVPN>(),
                                   detail::DeviceIDBody{std::move(deviceID)}));
}

asio::awaitable<void> APIClient::recordAppEventOp(AppEventPayload payload) const {
    return discard(send<EmptyBody>(impl_, methodOf<ops::RecordAppEvent>(), pathOf<ops::RecordAppEvent>(), std::move(payload)));
}

asio::awaitable<void> APIClient::recordAnonymousAppEventOp(AppEventPayload payload) const {
    return discard(send<EmptyBody>(impl_, methodOf<ops::RecordAnonymousAppEvent>(),
                                   pathOf<ops::RecordAnonymousAppEvent>(), std::move(payload),
                                   authOf<ops::RecordAnonymousAppEvent>));
}

asio::awaitable<void> APIClient::registerPushTokenOp(PushTokenRequest request) const {
    return discard(send<EmptyBody>(impl_, methodOf<ops::RegisterPushToken>(), pathOf<ops::RegisterPushToken>(),
                                   std::move(request)));
}

asio::awaitable<void> APIClient::deletePushTokenOp(PushTokenRequest request) const {
    return discard(send<EmptyBody>(impl_, methodOf<ops::DeletePushToken>(), pathOf<ops::DeletePushToken>(),
                                   std::move(request)));
}

asio::awaitable<IOSAppRelease> APIClient::appReleaseOp() const {
    return get<IOSAppRelease>(impl_, pathOf<ops::AppRelease>(), authOf<ops::AppRelease>);
}

}  // namespace tarn
