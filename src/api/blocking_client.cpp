#include "tarn/api/blocking_client.hpp"

#include "api/owned_io_client.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace tarn {

namespace {

// Where the I/O thread leaves the outcome of one call for the thread that waits for it. Shared,
// so that the completion can still land safely if the waiter has gone.
template <class T>
struct Outcome {
    std::mutex mutex;
    std::condition_variable ready;
    bool done = false;
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;

    T get() {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return done; });
        if (error) std::rethrow_exception(error);
        if constexpr (!std::is_void_v<T>) return std::move(*value);
    }

    void finish(std::exception_ptr e) {
        {
            std::lock_guard lock(mutex);
            error = std::move(e);
            done = true;
        }
        ready.notify_one();
    }
};

template <class T>
struct Completion {
    std::shared_ptr<Outcome<T>> outcome;

    void operator()(std::exception_ptr e, T value) const {
        if (!e) {
            std::lock_guard lock(outcome->mutex);
            outcome->value.emplace(std::move(value));
        }
        outcome->finish(std::move(e));
    }
};

template <>
struct Completion<void> {
    std::shared_ptr<Outcome<void>> outcome;

    void operator()(std::exception_ptr e) const { outcome->finish(std::move(e)); }
};

}  // namespace

struct BlockingClient::Impl : detail::OwnedIOClient {
    using OwnedIOClient::OwnedIOClient;

    template <class T, class Start>
    T wait(Start start) {
        if (onIOThread()) {
            throw std::logic_error("BlockingClient: a blocking call on the client's own I/O thread would wait forever");
        }
        auto outcome = std::make_shared<Outcome<T>>();
        start(Completion<T>{outcome});
        return outcome->get();
    }
};

BlockingClient::BlockingClient(URL baseURL, std::shared_ptr<TokenStore> tokenStore, APIClientOptions options,
                               CurlSessionConfig sessionConfig)
    : impl_(std::make_unique<Impl>(std::move(baseURL), std::move(tokenStore), std::move(options),
                                   std::move(sessionConfig))) {}

BlockingClient::~BlockingClient() = default;

const URL& BlockingClient::baseURL() const { return impl_->api().baseURL(); }

AuthResponse BlockingClient::login(std::string email, std::string password) const {
    return impl_->wait<AuthResponse>(
        [&](auto done) { impl_->api().login(std::move(email), std::move(password), std::move(done)); });
}

AuthResponse BlockingClient::registerAccount(std::string email, std::string password, std::optional<std::string> name,
                                             bool acceptedTerms, bool acceptedPersonalDataProcessing) const {
    return impl_->wait<AuthResponse>([&](auto done) {
        impl_->api().registerAccount(std::move(email), std::move(password), std::move(name), acceptedTerms,
                                       acceptedPersonalDataProcessing, std::move(done));
    });
}

EmailCodeChallenge BlockingClient::requestEmailCode(std::string email, std::string deviceID,
                                                    std::string platform) const {
    return impl_->wait<EmailCodeChallenge>([&](auto done) {
        impl_->api().requestEmailCode(std::move(email), std::move(deviceID), std::move(platform), std::move(done));
    });
}

AuthResponse BlockingClient::verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                                             bool acceptedPersonalDataProcessing) const {
    return impl_->wait<AuthResponse>([&](auto done) {
        impl_->api().verifyEmailCode(std::move(challengeID), std::move(code), acceptedTerms,
                                       acceptedPersonalDataProcessing, std::move(done));
    });
}

AuthResponse BlockingClient::loginWithApple(std::string identityToken, std::optional<std::string> authorizationCode,
                                            std::optional<std::string> name, std::string deviceID) const {
    return impl_->wait<AuthResponse>([&](auto done) {
        impl_->api().loginWithApple(std::move(identityToken), std::move(authorizationCode), std::move(name),
                                      std::move(deviceID), std::move(done));
    });
}

TelegramAuthSession BlockingClient::createTelegramSession(std::string deviceID) const {
    return impl_->wait<TelegramAuthSession>(
        [&](auto done) { impl_->api().createTelegramSession(std::move(deviceID), std::move(done)); });
}

TelegramSessionStatus BlockingClient::telegramSessionStatus(std::string id, std::string secret) const {
    return impl_->wait<TelegramSessionStatus>(
        [&](auto done) { impl_->api().telegramSessionStatus(std::move(id), std::move(secret), std::move(done)); });
}

AuthResponse BlockingClient::verifyTelegramSession(std::string id, std::string secret, std::string code) const {
    return impl_->wait<AuthResponse>([&](auto done) {
        impl_->api().verifyTelegramSession(std::move(id), std::move(secret), std::move(code), std::move(done));
    });
}

OAuthAuthSession BlockingClient::createOAuthSession(OAuthProvider provider, std::string deviceID) const {
    return impl_->wait<OAuthAuthSession>(
        [&](auto done) { impl_->api().createOAuthSession(provider, std::move(deviceID), std::move(done)); });
}

OAuthSessionStatus BlockingClient::oauthSessionStatus(std::string id) const {
    return impl_->wait<OAuthSessionStatus>(
        [&](auto done) { impl_->api().oauthSessionStatus(std::move(id), std::move(done)); });
}

void BlockingClient::logout() const {
    return impl_->wait<void>([&](auto done) { impl_->api().logout(std::move(done)); });
}

void BlockingClient::deleteAccount(std::string deviceID) const {
    return impl_->wait<void>([&](auto done) { impl_->api().deleteAccount(std::move(deviceID), std::move(done)); });
}

CRMUser BlockingClient::me() const {
    return impl_->wait<CRMUser>([&](auto done) { impl_->api().me(std::move(done)); });
}

UserSyncResponse BlockingClient::syncUser(UserSyncRequest request) const {
    return impl_->wait<UserSyncResponse>(
        [&](auto done) { impl_->api().syncUser(std::move(request), std::move(done)); });
}

CRMUser BlockingClient::subscriptionStatus() const {
    return impl_->wait<CRMUser>([&](auto done) { impl_->api().subscriptionStatus(std::move(done)); });
}

AccountDevicesResponse BlockingClient::accountDevices() const {
    return impl_->wait<AccountDevicesResponse>([&](auto done) { impl_->api().accountDevices(std::move(done)); });
}

AccountDeviceRemovalResponse BlockingClient::removeAccountDevice(std::int64_t id) const {
    return impl_->wait<AccountDeviceRemovalResponse>(
        [&](auto done) { impl_->api().removeAccountDevice(id, std::move(done)); });
}

UserSyncResponse BlockingClient::verifyAppleTransaction(AppleTransactionPayload payload) const {
    return impl_->wait<UserSyncResponse>(
        [&](auto done) { impl_->api().verifyAppleTransaction(std::move(payload), std::move(done)); });
}

BillingCatalog BlockingClient::billingCatalog() const {
    return impl_->wait<BillingCatalog>([&](auto done) { impl_->api().billingCatalog(std::move(done)); });
}

BillingCheckoutResponse BlockingClient::createBillingCheckout(BillingCheckoutRequest request) const {
    return impl_->wait<BillingCheckoutResponse>(
        [&](auto done) { impl_->api().createBillingCheckout(std::move(request), std::move(done)); });
}

std::vector<VPNServer> BlockingClient::servers() const {
    return impl_->wait<std::vector<VPNServer>>([&](auto done) { impl_->api().servers(std::move(done)); });
}

VLESSConfig BlockingClient::vpnConfig(std::string serverID, std::string deviceID, std::string platform) const {
    return impl_->wait<VLESSConfig>([&](auto done) {
        impl_->api().vpnConfig(std::move(serverID), std::move(deviceID), std::move(platform), std::move(done));
    });
}

void BlockingClient::revokeVPN(std::string deviceID) const {
    return impl_->wait<void>([&](auto done) { impl_->api().revokeVPN(std::move(deviceID), std::move(done)); });
}

void BlockingClient::recordAppEvent(AppEventPayload payload) const {
    return impl_->wait<void>([&](auto done) { impl_->api().recordAppEvent(std::move(payload), std::move(done)); });
}

void BlockingClient::recordAnonymousAppEvent(AppEventPayload payload) const {
    return impl_->wait<void>(
        [&](auto done) { impl_->api().recordAnonymousAppEvent(std::move(payload), std::move(done)); });
}

void BlockingClient::registerPushToken(PushTokenRequest request) const {
    return impl_->wait<void>([&](auto done) { impl_->api().registerPushToken(std::move(request), std::move(done)); });
}

void BlockingClient::deletePushToken(PushTokenRequest request) const {
    return impl_->wait<void>([&](auto done) { impl_->api().deletePushToken(std::move(request), std::move(done)); });
}

IOSAppRelease BlockingClient::appRelease() const {
    return impl_->wait<IOSAppRelease>([&](auto done) { impl_->api().appRelease(std::move(done)); });
}

}  // namespace tarn
