// BlockingClient: plain blocking calls over an APIClient on an I/O thread of its own; each call waits
// for the outcome the I/O thread leaves for it.
#include "tarn/api/blocking_client.hpp"

#include "api/call_bounds.hpp"
#include "api/owned_io_client.hpp"
#include "tarn/api/operations.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/post.hpp>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
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

    void refuseOwnThread() const {
        if (onIOThread()) {
            throw std::logic_error("BlockingClient: a blocking call on the client's own I/O thread would wait forever");
        }
    }

    template <class Op>
    typename Op::Answer run(typename Op::Arguments arguments) {
        using T = typename Op::Answer;
        refuseOwnThread();
        auto outcome = std::make_shared<Outcome<T>>();
        Op::call(api(), std::move(arguments), Completion<T>{outcome});
        return outcome->get();
    }

    template <class Op>
    typename Op::Answer run(typename Op::Arguments arguments, const Limits& limits) {
        using T = typename Op::Answer;
        refuseOwnThread();
        if (limits.stop.stop_requested()) std::rethrow_exception(detail::CallBounds::cancelledError());
        // The timeout runs from the moment the caller called, not from when the I/O thread got to it.
        std::optional<detail::CallBounds::Clock::time_point> deadline;
        if (limits.timeout) deadline = detail::CallBounds::Clock::now() + *limits.timeout;
        auto outcome = std::make_shared<Outcome<T>>();
        auto bounds = std::make_shared<detail::CallBounds>();
        auto finish = [bounds, done = Completion<T>{outcome}](std::exception_ptr e, auto... answer) {
            done(bounds->end(std::move(e)), std::move(answer)...);
        };
        // Started on the I/O thread, where the slot is bound and later emitted, so neither races.
        asio::post(io(), [this, bounds, deadline, arguments = std::move(arguments), finish = std::move(finish)]() mutable {
            if (deadline) bounds->armTimeout(io().get_executor(), *deadline, bounds);
            Op::call(api(), std::move(arguments), asio::bind_cancellation_slot(bounds->slot(), std::move(finish)));
        });
        // Registered after the start was posted, so that a stop requested by now (the callback then
        // runs at once) still finds the call's slot bound.
        std::stop_callback onStop(limits.stop, [executor = io().get_executor(), bounds] {
            asio::post(executor, [bounds] { bounds->cancel(); });
        });
        return outcome->get();
    }
};

BlockingClient::BlockingClient(URL baseURL, std::shared_ptr<TokenStore> tokenStore, APIClientOptions options,
                               CurlSessionConfig sessionConfig)
    : impl_(std::make_unique<Impl>(std::move(baseURL), std::move(tokenStore), std::move(options),
                                   std::move(sessionConfig))) {}

BlockingClient::~BlockingClient() = default;

const URL& BlockingClient::baseURL() const { return impl_->api().baseURL(); }

BlockingClient::Bounded BlockingClient::with(Limits limits) const {
    if (limits.timeout && *limits.timeout <= std::chrono::milliseconds::zero()) {
        throw std::invalid_argument("BlockingClient::Limits: the timeout must be positive");
    }
    return Bounded(*this, std::move(limits));
}

namespace detail {

struct BlockingAccess {
    template <class Op>
    static typename Op::Answer run(const BlockingClient& client, typename Op::Arguments arguments) {
        return client.impl_->run<Op>(std::move(arguments));
    }
    template <class Op>
    static typename Op::Answer run(const BlockingClient::Bounded& view, typename Op::Arguments arguments) {
        return view.client_->impl_->run<Op>(std::move(arguments), view.limits_);
    }
};

namespace {

template <class Op, class Client>
typename Op::Answer run(const BlockingOperations<Client>& self, typename Op::Arguments arguments) {
    return BlockingAccess::run<Op>(static_cast<const Client&>(self), std::move(arguments));
}

}  // namespace

// Each operation binds its arguments into the operation's argument record; what it sends and
// how it ends is the APIClient's.

template <class Client> AuthResponse BlockingOperations<Client>::login(std::string email, std::string password) const {
    return run<ops::Login>(*this, {std::move(email), std::move(password)});
}

template <class Client>
AuthResponse BlockingOperations<Client>::registerAccount(std::string email, std::string password,
                                                         std::optional<std::string> name, bool acceptedTerms,
                                                         bool acceptedPersonalDataProcessing) const {
    return run<ops::Register>(
        *this, {std::move(email), std::move(password), std::move(name), acceptedTerms, acceptedPersonalDataProcessing});
}

template <class Client>
EmailCodeChallenge BlockingOperations<Client>::requestEmailCode(std::string email, std::string deviceID,
                                                                std::string platform) const {
    return run<ops::RequestEmailCode>(*this, {std::move(email), std::move(deviceID), std::move(platform)});
}

template <class Client>
AuthResponse BlockingOperations<Client>::verifyEmailCode(std::string challengeID, std::string code, bool acceptedTerms,
                                                         bool acceptedPersonalDataProcessing) const {
    return run<ops::VerifyEmailCode>(
        *this, {std::move(challengeID), std::move(code), acceptedTerms, acceptedPersonalDataProcessing});
}

template <class Client>
AuthResponse BlockingOperations<Client>::loginWithApple(std::string identityToken,
                                                        std::optional<std::string> authorizationCode,
                                                        std::optional<std::string> name, std::string deviceID) const {
    return run<ops::LoginWithApple>(
        *this, {std::move(identityToken), std::move(authorizationCode), std::move(name), std::move(deviceID)});
}

template <class Client>
TelegramAuthSession BlockingOperations<Client>::createTelegramSession(std::string deviceID) const {
    return run<ops::CreateTelegramSession>(*this, {std::move(deviceID)});
}

template <class Client>
TelegramSessionStatus BlockingOperations<Client>::telegramSessionStatus(std::string id, std::string secret) const {
    return run<ops::TelegramSessionStatusOperation>(*this, {std::move(id), std::move(secret)});
}

template <class Client>
AuthResponse BlockingOperations<Client>::verifyTelegramSession(std::string id, std::string secret,
                                                               std::string code) const {
    return run<ops::VerifyTelegramSession>(*this, {std::move(id), std::move(secret), std::move(code)});
}

template <class Client>
OAuthAuthSession BlockingOperations<Client>::createOAuthSession(OAuthProvider provider, std::string deviceID) const {
    return run<ops::CreateOAuthSession>(*this, {provider, std::move(deviceID)});
}

template <class Client> OAuthSessionStatus BlockingOperations<Client>::oauthSessionStatus(std::string id) const {
    return run<ops::OAuthSessionStatusOperation>(*this, {std::move(id)});
}

template <class Client> void BlockingOperations<Client>::logout() const { run<ops::Logout>(*this, {}); }

template <class Client> void BlockingOperations<Client>::deleteAccount(std::string deviceID) const {
    run<ops::DeleteAccount>(*this, {std::move(deviceID)});
}

template <class Client> CRMUser BlockingOperations<Client>::me() const { return run<ops::Me>(*this, {}); }

template <class Client> UserSyncResponse BlockingOperations<Client>::syncUser(UserSyncRequest request) const {
    return run<ops::SyncUser>(*this, std::move(request));
}

template <class Client> CRMUser BlockingOperations<Client>::subscriptionStatus() const {
    return run<ops::SubscriptionStatusOperation>(*this, {});
}

template <class Client> AccountDevicesResponse BlockingOperations<Client>::accountDevices() const {
    return run<ops::AccountDevices>(*this, {});
}

template <class Client>
AccountDeviceRemovalResponse BlockingOperations<Client>::removeAccountDevice(std::int64_t id) const {
    return run<ops::RemoveAccountDevice>(*this, {id});
}

template <class Client>
UserSyncResponse BlockingOperations<Client>::verifyAppleTransaction(AppleTransactionPayload payload) const {
    return run<ops::VerifyAppleTransaction>(*this, std::move(payload));
}

template <class Client> BillingCatalog BlockingOperations<Client>::billingCatalog() const {
    return run<ops::BillingCatalogOperation>(*this, {});
}

template <class Client>
BillingCheckoutResponse BlockingOperations<Client>::createBillingCheckout(BillingCheckoutRequest request) const {
    return run<ops::CreateBillingCheckout>(*this, std::move(request));
}

template <class Client> std::vector<VPNServer> BlockingOperations<Client>::servers() const {
    return run<ops::Servers>(*this, {});
}

template <class Client>
VLESSConfig BlockingOperations<Client>::vpnConfig(std::string serverID, std::string deviceID,
                                                  std::string platform) const {
    return run<ops::VPNConfig>(*this, {std::move(serverID), std::move(deviceID), std::move(platform)});
}

template <class Client> void BlockingOperations<Client>::revokeVPN(std::string deviceID) const {
    run<ops::RevokeVPN>(*this, {std::move(deviceID)});
}

template <class Client> void BlockingOperations<Client>::recordAppEvent(AppEventPayload payload) const {
    run<ops::RecordAppEvent>(*this, std::move(payload));
}

template <class Client> void BlockingOperations<Client>::recordAnonymousAppEvent(AppEventPayload payload) const {
    run<ops::RecordAnonymousAppEvent>(*this, std::move(payload));
}

template <class Client> void BlockingOperations<Client>::registerPushToken(PushTokenRequest request) const {
    run<ops::RegisterPushToken>(*this, std::move(request));
}

template <class Client> void BlockingOperations<Client>::deletePushToken(PushTokenRequest request) const {
    run<ops::DeletePushToken>(*this, std::move(request));
}

template <class Client> IOSAppRelease BlockingOperations<Client>::appRelease() const {
    return run<ops::AppRelease>(*this, {});
}

template class BlockingOperations<BlockingClient>;
template class BlockingOperations<BlockingClient::Bounded>;

}  // namespace detail
}  // namespace tarn
