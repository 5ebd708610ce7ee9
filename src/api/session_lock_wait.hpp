// Waiting for the token store's lock without holding up the thread: a try every few
// milliseconds on the store's worker thread, with a timer in between, so the other calls on the
// executor keep running while another process refreshes or signs out.
#pragma once

#include "api/token_store_worker.hpp"
#include "tarn/storage/session_lock.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <memory>

namespace tarn::detail {

/// Long enough for any holder that is not stuck: a refresh is one exchange bounded by the
/// request timeout of 60 s, plus a few keychain calls.
inline constexpr std::chrono::milliseconds sessionLockBound = std::chrono::seconds(75);

/// Takes the lock of the worker's store, trying again until `bound` has passed. Throws
/// SessionLockTimeout then, TransportError(cancelled) when the waiting coroutine is cancelled,
/// and whatever the store's tryLockSession throws. `worker` must outlive the wait.
asio::awaitable<std::unique_ptr<SessionLock>> lockSession(TokenStoreWorker& worker,
                                                          std::chrono::milliseconds bound = sessionLockBound);

}  // namespace tarn::detail
