#include "sync_client.hpp"

#include <tarn/api/api_client.hpp>
#include <tarn/api/curl_session.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

namespace tarnctl {

namespace {

// The pipeline asks for 60 s per exchange; --timeout replaces that for every request.
class TimeoutSession final : public tarn::HttpSession {
public:
    TimeoutSession(std::shared_ptr<tarn::HttpSession> inner, std::chrono::milliseconds timeout)
        : inner_(std::move(inner)), timeout_(timeout) {}

    asio::awaitable<tarn::HttpResponse> send(tarn::HttpRequest request) override {
        request.timeout = timeout_;
        co_return co_await inner_->send(std::move(request));
    }

private:
    std::shared_ptr<tarn::HttpSession> inner_;
    std::chrono::milliseconds timeout_;
};

tarn::CurlSessionConfig curlConfig(const SessionSettings& settings) {
    tarn::CurlSessionConfig config;
    config.caFile = settings.caFile;
    if (!settings.userAgent.empty()) config.userAgent = settings.userAgent;
    config.connectTimeout = std::min(config.connectTimeout, settings.timeout);
    return config;
}

}  // namespace

struct SyncClient::Impl {
    // Declared first so that it is destroyed last: the session must go before its io_context.
    asio::io_context io;
    std::shared_ptr<tarn::HttpSession> session;
    tarn::APIClient client;

    Impl(tarn::URL baseURL, std::shared_ptr<tarn::TokenStore> tokenStore, const SessionSettings& settings)
        : session(std::make_shared<TimeoutSession>(
              std::make_shared<tarn::CurlSession>(io.get_executor(), curlConfig(settings)), settings.timeout)),
          client(std::move(baseURL), session, std::move(tokenStore), {.allowPlainHTTP = settings.allowPlainHTTP}) {}

    // Runs the io_context only until this operation is done, so that nothing the session keeps
    // pending (idle connections, timers) can hold the call up. The completion runs on the
    // io_context itself, so once run_one has nothing left to do the outcome is known.
    template <class T>
    T run(asio::awaitable<T> operation) {
        std::exception_ptr error;
        std::optional<T> value;
        bool done = false;
        asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T result) {
            error = e;
            if (!e) value.emplace(std::move(result));
            done = true;
        });
        drive(done);
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }

    void run(asio::awaitable<void> operation) {
        std::exception_ptr error;
        bool done = false;
        asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e) {
            error = e;
            done = true;
        });
        drive(done);
        if (error) std::rethrow_exception(error);
    }

    void drive(const bool& done) {
        io.restart();
        while (!done && io.run_one() > 0) {
        }
        if (!done) throw std::logic_error("the client ran out of work before the operation finished");
    }
};

SyncClient::SyncClient(tarn::URL baseURL, std::shared_ptr<tarn::TokenStore> tokenStore, SessionSettings settings)
    : impl_(std::make_unique<Impl>(std::move(baseURL), std::move(tokenStore), settings)) {}

SyncClient::~SyncClient() = default;

tarn::AuthResponse SyncClient::login(std::string email, std::string password) {
    return impl_->run(impl_->client.login(std::move(email), std::move(password)));
}

tarn::AuthResponse SyncClient::registerAccount(std::string email, std::string password,
                                               std::optional<std::string> name, bool acceptedTerms,
                                               bool acceptedPersonalDataProcessing) {
    return impl_->run(impl_->client.registerAccount(std::move(email), std::move(password), std::move(name),
                                                    acceptedTerms, acceptedPersonalDataProcessing));
}

tarn::EmailCodeChallenge SyncClient::requestEmailCode(std::string email, std::string deviceID, std::string platform) {
    return impl_->run(impl_->client.requestEmailCode(std::move(email), std::move(deviceID), std::move(platform)));
}

tarn::AuthResponse SyncClient::verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                                               bool acceptedPersonalDataProcessing) {
    return impl_->run(impl_->client.verifyEmailCode(std::move(challengeID), std::move(code), acceptedTerms,
                                                    acceptedPersonalDataProcessing));
}

tarn::AuthResponse SyncClient::loginWithApple(std::string identityToken, std::optional<std::string> authorizationCode,
                                              std::optional<std::string> name, std::string deviceID) {
    return impl_->run(impl_->client.loginWithApple(std::move(identityToken), std::move(authorizationCode),
                                                   std::move(name), std::move(deviceID)));
}

tarn::TelegramAuthSession SyncClient::createTelegramSession(std::string deviceID) {
    return impl_->run(impl_->client.createTelegramSession(std::move(deviceID)));
}

tarn::TelegramSessionStatus SyncClient::telegramSessionStatus(std::string id, std::string secret) {
    return impl_->run(impl_->client.telegramSessionStatus(std::move(id), std::move(secret)));
}

tarn::AuthResponse SyncClient::verifyTelegramSession(std::string id, std::string secret, std::string code) {
    return impl_->run(impl_->client.verifyTelegramSession(std::move(id), std::move(secret), std::move(code)));
}

tarn::OAuthAuthSession SyncClient::createOAuthSession(tarn::OAuthProvider provider, std::string deviceID) {
    return impl_->run(impl_->client.createOAuthSession(provider, std::move(deviceID)));
}

tarn::OAuthSessionStatus SyncClient::oauthSessionStatus(std::string id) {
    return impl_->run(impl_->client.oauthSessionStatus(std::move(id)));
}

void SyncClient::logout() { impl_->run(impl_->client.logout()); }

void SyncClient::deleteAccount(std::string deviceID) { impl_->run(impl_->client.deleteAccount(std::move(deviceID))); }

tarn::CRMUser SyncClient::me() { return impl_->run(impl_->client.me()); }

tarn::UserSyncResponse SyncClient::syncUser(tarn::UserSyncRequest request) {
    return impl_->run(impl_->client.syncUser(std::move(request)));
}

tarn::CRMUser SyncClient::subscriptionStatus() { return impl_->run(impl_->client.subscriptionStatus()); }

tarn::AccountDevicesResponse SyncClient::accountDevices() { return impl_->run(impl_->client.accountDevices()); }

tarn::AccountDeviceRemovalResponse SyncClient::removeAccountDevice(std::int64_t id) {
    return impl_->run(impl_->client.removeAccountDevice(id));
}

tarn::UserSyncResponse SyncClient::verifyAppleTransaction(tarn::AppleTransactionPayload payload) {
    return impl_->run(impl_->client.verifyAppleTransaction(std::move(payload)));
}

tarn::BillingCatalog SyncClient::billingCatalog() { return impl_->run(impl_->client.billingCatalog()); }

tarn::BillingCheckoutResponse SyncClient::createBillingCheckout(tarn::BillingCheckoutRequest request) {
    return impl_->run(impl_->client.createBillingCheckout(std::move(request)));
}

std::vector<tarn::VPNServer> SyncClient::servers() { return impl_->run(impl_->client.servers()); }

tarn::VLESSConfig SyncClient::vpnConfig(std::string serverID, std::string deviceID, std::string platform) {
    return impl_->run(impl_->client.vpnConfig(std::move(serverID), std::move(deviceID), std::move(platform)));
}

void SyncClient::revokeVPN(std::string deviceID) { impl_->run(impl_->client.revokeVPN(std::move(deviceID))); }

void SyncClient::recordAppEvent(tarn::AppEventPayload payload) {
    impl_->run(impl_->client.recordAppEvent(std::move(payload)));
}

void SyncClient::recordAnonymousAppEvent(tarn::AppEventPayload payload) {
    impl_->run(impl_->client.recordAnonymousAppEvent(std::move(payload)));
}

void SyncClient::registerPushToken(tarn::PushTokenRequest request) {
    impl_->run(impl_->client.registerPushToken(std::move(request)));
}

void SyncClient::deletePushToken(tarn::PushTokenRequest request) {
    impl_->run(impl_->client.deletePushToken(std::move(request)));
}

tarn::IOSAppRelease SyncClient::appRelease() { return impl_->run(impl_->client.appRelease()); }

}  // namespace tarnctl
