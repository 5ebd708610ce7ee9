// Signing in and out: the operations whose answers change which account the client speaks for.
// A sign-in stores the new pair and forgets the cached answers of the account before; a sign-out
// tells the backend, then clears the store whatever the backend says.
#pragma once

#include "api/request_pipeline.hpp"
#include "api/token_refresh.hpp"

#include <asio/awaitable.hpp>

#include <string>
#include <utility>
#include <vector>

namespace tarn::detail {

/// Sends the sign-in `body` to `path` without a token, refuses a pair that could not travel in a
/// header, and saves the pair.
template <class Body>
asio::awaitable<AuthResponse> signIn(Self self, std::string path, Body body, std::vector<std::string> secrets) {
    auto signingIn = request<AuthResponse>(self, {.method = "POST",
                                                  .path = std::move(path),
                                                  .body = body,
                                                  .auth = Auth::none,
                                                  .secrets = std::move(secrets)});
    AuthResponse answer = co_await std::move(signingIn);
    requireSendableTokens(answer);
    // Another account may be signing in: nothing stored for the one before may reach it.
    self->session->clearCache();
    if (self->tokenStore) {
        auto saving = self->storeWorker.save(AuthTokens{answer.accessToken, answer.refreshToken});
        co_await std::move(saving);
    }
    co_return answer;
}

asio::awaitable<TelegramSessionStatus> telegramStatusImpl(Self self, std::string id, std::string secret);
asio::awaitable<AuthResponse> verifyTelegramImpl(Self self, std::string id, std::string secret, std::string code);
asio::awaitable<OAuthSessionStatus> oauthStatusImpl(Self self, std::string id);
asio::awaitable<void> logoutImpl(Self self);
asio::awaitable<void> deleteAccountImpl(Self self, std::string deviceID);

}  // namespace tarn::detail
