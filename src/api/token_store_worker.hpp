// TokenStoreWorker: runs a client's token store calls (keychain reads and writes, the session
// lock) on a thread of its own, so that a slow keychain (a Secret Service call may take seconds)
// never holds up the I/O executor and every other call on it. Each caller is resumed on its own
// executor. One thread per client, started by the first store call; the calls run one at a time
// in the order they were asked for. A store that says it never blocks is called directly.
#pragma once

#include "tarn/storage/session_lock.hpp"
#include "tarn/storage/token_store.hpp"

#include <asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <optional>

namespace tarn::detail {

class TokenStoreWorker {
public:
    /// Only stores `store` (which may be null: then nothing may be asked of the worker).
    explicit TokenStoreWorker(std::shared_ptr<TokenStore> store);
    /// Lets the queued calls finish first (they are few: every caller waiting on one keeps the
    /// worker's owner alive). On the worker's own thread it lets go of the thread instead.
    ~TokenStoreWorker();
    TokenStoreWorker(const TokenStoreWorker&) = delete;
    TokenStoreWorker& operator=(const TokenStoreWorker&) = delete;

    /// The stored pair. Callers that ask while a read is queued but not yet started share that
    /// read: a burst of calls costs the keychain one or two reads, not one each, and every
    /// caller still sees a read that began after it asked.
    asio::awaitable<std::optional<AuthTokens>> load();
    /// True when the store says it never blocks: its calls may be made right where they are
    /// needed, without a coroutine of the worker's in between (the request path reads the token
    /// on every call, and that frame is a measurable part of it).
    bool callsInline() const noexcept;
    /// The stored pair, read on the calling thread. Only when callsInline().
    std::optional<AuthTokens> loadInline() const;
    asio::awaitable<void> save(AuthTokens tokens);
    asio::awaitable<void> clear();
    /// The store's tryLockSession. The lock it hands out is given up on the worker too, after
    /// whatever was queued before that.
    asio::awaitable<std::unique_ptr<SessionLock>> tryLock();
    /// Runs `job` on the worker and rethrows what it throws. For steps that must see the store
    /// without another call of this client coming in between (compare-and-save). The job may
    /// refer to the awaiting coroutine's locals: the coroutine stays suspended until it ends.
    asio::awaitable<void> run(std::function<void(TokenStore&)> job);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tarn::detail
