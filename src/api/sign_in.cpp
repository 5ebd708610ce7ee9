// Signing in and out (see the header): the session polls that may hand over a pair, the sign-out
// and the deletion of the account.
#include "api/sign_in.hpp"

#include "api/request_bodies.hpp"
#include "api/session_lock_wait.hpp"
#include "tarn/logic/telegram_contract.hpp"

#include <memory>
#include <optional>

namespace tarn::detail {

namespace {

// The Telegram checks run before anything is built or sent; the secret goes only into a header.
bool isValidTelegramSession(const std::string& id, const std::string& secret) {
    return TelegramAuthContract::isValidSessionID(id) && TelegramAuthContract::isValidSessionSecret(secret);
}

asio::awaitable<void> clearStore(const Self& self) {
    self->session->clearCache();
    if (!self->tokenStore) co_return;
    try {
        auto clearing = self->storeWorker.clear();
        co_await std::move(clearing);
    } catch (...) {
    }
}

}  // namespace

asio::awaitable<TelegramSessionStatus> telegramStatusImpl(Self self, std::string id, std::string secret) {
    if (!isValidTelegramSession(id, secret)) throw APIError::invalidResponse();
    auto polling = request<TelegramSessionStatus>(self, {.method = "GET",
                                                         .path = "auth/telegram/session/" + id,
                                                         .auth = Auth::none,
                                                         .headers = {{"X-Tarn-Auth-Session-Secret", secret}},
                                                         .secrets = {secret}});
    co_return co_await std::move(polling);
}

asio::awaitable<AuthResponse> verifyTelegramImpl(Self self, std::string id, std::string secret, std::string code) {
    if (!isValidTelegramSession(id, secret)) throw APIError::invalidResponse();
    std::optional<std::string> normalized = TelegramAuthContract::normalizedUserCode(code);
    if (!normalized) throw APIError::invalidResponse();
    auto verifying = request<AuthResponse>(self, {.method = "POST",
                                                  .path = "auth/telegram/session/" + id + "/verify",
                                                  .body = TelegramSessionVerificationRequest{*normalized},
                                                  .auth = Auth::none,
                                                  .headers = {{"X-Tarn-Auth-Session-Secret", secret}},
                                                  .secrets = {secret}});
    AuthResponse answer = co_await std::move(verifying);
    // Not stored here, but the caller stores it next: the stored answers may be another account's.
    requireSendableTokens(answer);
    self->session->clearCache();
    co_return answer;
}

asio::awaitable<OAuthSessionStatus> oauthStatusImpl(Self self, std::string id) {
    // A confirmed session's answer carries the token pair: no cache may keep it, whatever
    // validators the backend sends with it.
    auto polling = request<OAuthSessionStatus>(self, {.method = "GET",
                                                      .path = "auth/oauth/session/" + id,
                                                      .auth = Auth::none,
                                                      .headers = {{"Cache-Control", "no-store"}}});
    OAuthSessionStatus status = co_await std::move(polling);
    if (status.auth) {
        requireSendableTokens(*status.auth);
        self->session->clearCache();
    }
    co_return status;
}

asio::awaitable<void> logoutImpl(Self self) {
    // Held from reading the refresh token to clearing the store: a refresh in flight elsewhere
    // ends first, so the backend is told the refresh token that is current, and no refresh saves
    // its pair after the clear.
    std::unique_ptr<SessionLock> lock;
    if (self->tokenStore) {
        try {
            auto locking = lockSession(self->storeWorker);
            lock = co_await std::move(locking);
        } catch (...) {
            // Signing out must not fail: without the lock it goes on as a lone process would.
        }
    }
    Call call{.method = "POST", .path = "auth/logout", .auth = Auth::bearerUnderHeldLock};
    call.bodyFromTokens = [self](const std::optional<AuthTokens>& tokens) {
        return self->encoder.encode(LogoutRequest{tokens ? std::optional(tokens->refreshToken) : std::nullopt});
    };
    try {
        auto signingOut = perform(self, call, std::nullopt);
        (void)co_await std::move(signingOut);
    } catch (...) {
        // Signing out locally must work whatever the backend or the network says.
    }
    auto clearing = clearStore(self);
    co_await std::move(clearing);
}

asio::awaitable<void> deleteAccountImpl(Self self, std::string deviceID) {
    auto deleting = send<EmptyBody>(self, "DELETE", "me", DeviceIDBody{std::move(deviceID)});
    (void)co_await std::move(deleting);
    auto clearing = clearStore(self);
    co_await std::move(clearing);
}

}  // namespace tarn::detail
