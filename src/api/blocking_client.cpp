// BlockingClient: plain blocking calls over an APIClient on an I/O thread of its own; each call waits
// for the outcome the I/O thread leaves for it.
#include "tarn/api/blocking_client.hpp"

#include "api/owned_io_client.hpp"
#include "tarn/api/operations.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace tarn {

namespace ops = operations;

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

    template <class Op>
    typename Op::Answer run(typename Op::Arguments arguments) {
        return wait<typename Op::Answer>([&](auto done) { Op::call(api(), std::move(arguments), std::move(done)); });
    }
};

BlockingClient::BlockingClient(URL baseURL, std::shared_ptr<TokenStore> tokenStore, APIClientOptions options,
                               CurlSessionConfig sessionConfig)
    : impl_(std::make_unique<Impl>(std::move(baseURL), std::move(tokenStore), std::move(options),
                                   std::move(sessionConfig))) {}

BlockingClient::~BlockingClient() = default;

const URL& BlockingClient::baseURL() const { return impl_->api().baseURL(); }

// Each operation binds its arguments into the operation's argument record; what it sends and
// how it ends is the APIClient's.

AuthResponse BlockingClient::login(std::string email, std::string password) const {
    return impl_->run<ops::Login>({std::move(email), std::move(password)});
}

AuthResponse BlockingClient::registerAccount(std::string email, std::string password, std::optional<std::string> name,
                                             bool acceptedTerms, bool acceptedPersonalDataProcessing) const {
    return impl_->run<ops::Register>(
        {std::move(email), std::move(password), std::move(name), acceptedTerms, acceptedPersonalDataProcessing});
}

EmailCodeChallenge BlockingClient::requestEmailCode(std::string email, std::string deviceID,
                                                    std::string platform) const {
    return impl_->run<ops::RequestEmailCode>({std::move(email), std::move(deviceID), std::move(platform)});
}

AuthResponse BlockingClient::verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                                             bool acceptedPersonalDataProcessing) const {
    return impl_->run<ops::VerifyEmailCode>(
        {std::move(challengeID), std::move(code), acceptedTerms, acceptedPersonalDataProcessing});
}

AuthResponse BlockingClient::loginWithApple(std::string identityToken, std::optional<std::string> authorizationCode,
                                            std::optional<std::string> name, std::string deviceID) const {
    return impl_->run<ops::LoginWithApple>(
        {std::move(identityToken), std::move(authorizationCode), std::move(name), std::move(deviceID)});
}

TelegramAuthSession BlockingClient::createTelegramSession(std::string deviceID) const {
    return impl_->run<ops::CreateTelegramSession>({std::move(deviceID)});
}

TelegramSessionStatus BlockingClient::telegramSessionStatus(std::string id, std::string secret) const {
    return impl_->run<ops::TelegramSessionStatusOperation>({std::move(id), std::move(secret)});
}

AuthResponse BlockingClient::verifyTelegramSession(std::string id, std::string secret, std::string code) const {
    return impl_->run<ops::VerifyTelegramSession>({std::move(id), std::move(secret), std::move(code)});
}

OAuthAuthSession BlockingClient::createOAuthSession(OAuthProvider provider, std::string deviceID) const {
    return impl_->run<ops::CreateOAuthSession>({provider, std::move(deviceID)});
}

OAuthSessionStatus BlockingClient::oauthSessionStatus(std::string id) const {
    return impl_->run<ops::OAuthSessionStatusOperation>({std::move(id)});
}

void BlockingClient::logout() const { impl_->run<ops::Logout>({}); }

void BlockingClient::deleteAccount(std::string deviceID) const { impl_->run<ops::DeleteAccount>({std::move(deviceID)}); }

CRMUser BlockingClient::me() const { return impl_->run<ops::Me>({}); }

UserSyncResponse BlockingClient::syncUser(UserSyncRequest request) const {
    return impl_->run<ops::SyncUser>(std::move(request));
}

CRMUser BlockingClient::subscriptionStatus() const { return impl_->run<ops::SubscriptionStatusOperation>({}); }

AccountDevicesResponse BlockingClient::accountDevices() const { return impl_->run<ops::AccountDevices>({}); }

AccountDeviceRemovalResponse BlockingClient::removeAccountDevice(std::int64_t id) const {
    return impl_->run<ops::RemoveAccountDevice>({id});
}

UserSyncResponse BlockingClient::verifyAppleTransaction(AppleTransactionPayload payload) const {
    return impl_->run<ops::VerifyAppleTransaction>(std::move(payload));
}

BillingCatalog BlockingClient::billingCatalog() const { return impl_->run<ops::BillingCatalogOperation>({}); }

BillingCheckoutResponse BlockingClient::createBillingCheckout(BillingCheckoutRequest request) const {
    return impl_->run<ops::CreateBillingCheckout>(std::move(request));
}

std::vector<VPNServer> BlockingClient::servers() const { return impl_->run<ops::Servers>({}); }

VLESSConfig BlockingClient::vpnConfig(std::string serverID, std::string deviceID, std::string platform) const {
    return impl_->run<ops::VPNConfig>({std::move(serverID), std::move(deviceID), std::move(platform)});
}

void BlockingClient::revokeVPN(std::string deviceID) const { impl_->run<ops::RevokeVPN>({std::move(deviceID)}); }

void BlockingClient::recordAppEvent(AppEventPayload payload) const {
    impl_->run<ops::RecordAppEvent>(std::move(payload));
}

void BlockingClient::recordAnonymousAppEvent(AppEventPayload payload) const {
    impl_->run<ops::RecordAnonymousAppEvent>(std::move(payload));
}

void BlockingClient::registerPushToken(PushTokenRequest request) const {
    impl_->run<ops::RegisterPushToken>(std::move(request));
}

void BlockingClient::deletePushToken(PushTokenRequest request) const {
    impl_->run<ops::DeletePushToken>(std::move(request));
}

IOSAppRelease BlockingClient::appRelease() const { return impl_->run<ops::AppRelease>({}); }

}  // namespace tarn
