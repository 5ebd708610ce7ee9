// Waiting for the token store's lock without holding up the thread: a try every few
// milliseconds, with a timer in between, so the other calls on the executor keep running while
// another process refreshes or signs out.
#pragma once

#include "tarn/storage/session_lock.hpp"
#include "tarn/storage/token_store.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <memory>

namespace tarn::detail {

/// Long enough for any holder that is not stuck: a refresh is one exchange bounded by the
/// request timeout of 60 s, plus a few keychain calls.
inline constexpr std::chrono::milliseconds sessionLockBound = std::chrono::seconds(75);

/// Takes `store`'s lock, trying again until `bound` has passed. Throws SessionLockTimeout then,
/// TransportError(cancelled) when the waiting coroutine is cancelled, and whatever the store's
/// tryLockSession throws.
asio::awaitable<std::unique_ptr<SessionLock>> lockSession(std::shared_ptr<TokenStore> store,
                                                          std::chrono::milliseconds bound = sessionLockBound);

}  // namespace tarn::detail
