// The token store's side of the 401 rules: refresh, compare-and-save, compare-and-clear (see the
// header). Every store call goes through the client's worker thread.
#include "api/token_refresh.hpp"

#include "api/request_bodies.hpp"
#include "api/request_pipeline.hpp"
#include "api/session_lock_wait.hpp"

#include <algorithm>
#include <exception>
#include <memory>
#include <string_view>

namespace tarn::detail {

namespace {

// The look at the store that the compare-and-save and compare-and-clear decide on.
Stored lookAt(TokenStore& store, const std::optional<AuthTokens>& used) {
    try {
        return compareStored(store.loadTokens(), used);
    } catch (...) {
        return Stored::unreadable;
    }
}

// Called with the store's session lock held, so that nobody who takes turns on it saves between
// the look and the clear; the look and the clear are one job on the worker, so that no call of
// this client comes in between either.
asio::awaitable<void> clearIfUnchanged(Self self, std::optional<AuthTokens> used) {
    if (!self->tokenStore) co_return;
    auto clearing = self->storeWorker.run([&used](TokenStore& store) {
        if (clearsRefusedPair(lookAt(store, used))) store.clear();
    });
    try {
        co_await std::move(clearing);
    } catch (...) {
        // A failing clear is ignored: the call fails with `unauthorized` either way.
    }
    // Whatever the store now holds, the refused pair's answers are of no use to anyone.
    self->session->clearCache();
}

asio::awaitable<void> saveIfUnchanged(Self self, std::optional<AuthTokens> used, AuthTokens renewed) {
    auto saving = self->storeWorker.run([&used, &renewed](TokenStore& store) {
        switch (renewedPair(lookAt(store, used))) {
            case RenewedPair::save:
                store.save(renewed);
                break;
            case RenewedPair::keepOther:
                break;
            case RenewedPair::failSignedOut:
                throw APIError::unauthorized();
        }
    });
    co_await std::move(saving);
}

// Runs with the store's session lock held by this task, so that of all the processes sharing the
// store only one spends a refresh token at a time.
asio::awaitable<void> refreshLocked(Self self, std::optional<AuthTokens> refused) {
    if (!self->tokenStore) throw APIError::unauthorized();
    auto loading = self->storeWorker.load();
    std::optional<AuthTokens> tokens = co_await std::move(loading);
    const RefreshStart start = refreshStart(tokens, refused);
    if (start == RefreshStart::repeatWithStored) co_return;
    std::optional<AuthResponse> answer;
    std::exception_ptr rejected;  // the refresh token was refused: cleared before the error goes on
    if (start == RefreshStart::spendRefreshToken) {
        try {
            auto refreshing = request<AuthResponse>(self, {.method = "POST",
                                                           .path = "auth/refresh",
                                                           .body = RefreshBody{tokens->refreshToken},
                                                           .auth = Auth::none,
                                                           .secrets = {tokens->refreshToken, tokens->accessToken},
                                                           .waitsForTurn = false});
            answer = co_await std::move(refreshing);
        } catch (const APIError& e) {
            if (!isUnauthorized(e)) throw;
            rejected = std::current_exception();
        }
    }
    if (!answer) {
        auto clearing = clearIfUnchanged(self, tokens);
        co_await std::move(clearing);
        if (rejected) std::rethrow_exception(rejected);
        throw APIError::unauthorized();
    }
    requireSendableTokens(*answer);
    auto saving = saveIfUnchanged(self, tokens, AuthTokens{answer->accessToken, answer->refreshToken});
    co_await std::move(saving);
}

asio::awaitable<void> refreshTokens(Self self, std::optional<AuthTokens> refused) {
    if (!self->tokenStore) throw APIError::unauthorized();
    auto locking = lockSession(self->storeWorker);
    std::unique_ptr<SessionLock> lock = co_await std::move(locking);
    auto refreshing = refreshLocked(self, std::move(refused));
    co_await std::move(refreshing);
}

bool isSendableToken(std::string_view token) {
    return std::none_of(token.begin(), token.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

bool isUnauthorized(const APIError& e) {
    return e.kind() == APIError::Kind::unauthorized ||
           (e.kind() == APIError::Kind::server && e.statusCode() == 401);
}

void requireSendableTokens(const AuthResponse& answer) {
    if (!isSendableToken(answer.accessToken) || !isSendableToken(answer.refreshToken)) {
        throw APIError::invalidResponse();
    }
}

asio::awaitable<void> refreshForRepeat(Self self, Auth auth, std::optional<AuthTokens> refused) {
    try {
        if (auth == Auth::bearerUnderHeldLock) {
            auto refreshing = refreshLocked(self, refused);
            co_await std::move(refreshing);
        } else {
            // The task keeps the client's state alive until it ends, even if every caller goes away.
            auto refreshing = self->refreshGate.run([self, refused]() { return refreshTokens(self, refused); });
            co_await std::move(refreshing);
        }
    } catch (const APIError& e) {
        // The refresh has already cleared the store if it still held the refused pair.
        if (isUnauthorized(e)) throw APIError::unauthorized();
        throw;
    }
}

asio::awaitable<void> clearUnderLock(Self self, std::optional<AuthTokens> used, Auth auth) {
    if (!self->tokenStore) co_return;
    std::unique_ptr<SessionLock> lock;
    if (auth != Auth::bearerUnderHeldLock) {
        try {
            auto locking = lockSession(self->storeWorker);
            lock = co_await std::move(locking);
        } catch (...) {
            // Without the lock nothing is wiped: another process may be saving a fresh pair.
            co_return;
        }
    }
    auto clearing = clearIfUnchanged(self, std::move(used));
    co_await std::move(clearing);
}

}  // namespace tarn::detail
