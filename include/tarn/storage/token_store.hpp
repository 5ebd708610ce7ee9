// TokenStore: where the client keeps the signed-in user's token pair. Three synchronous
// operations that block the calling thread and may throw; the client calls them to attach the
// bearer token, after sign-in and refresh, and to sign out. It never calls them on the caller's
// executor: each APIClient calls its store (session lock included) from a thread of its own, one
// call at a time, so a slow keychain holds up only the calls that need it. KeychainTokenStore
// keeps the pair as one keychain item, reads an older item from the legacy keychain and copies it
// forward, and never asks the user anything.
#pragma once

#include "tarn/export.hpp"
#include "tarn/error.hpp"
#include "tarn/models/account.hpp"
#include "tarn/storage/keychain.hpp"
#include "tarn/storage/session_lock.hpp"

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tarn {

class TARN_EXPORT TokenStore {
public:
    virtual ~TokenStore() = default;
    /// The stored pair, or nullopt when nothing is stored.
    virtual std::optional<AuthTokens> loadTokens() = 0;
    virtual void save(const AuthTokens& tokens) = 0;
    /// Removes the stored pair; succeeds when nothing is stored.
    virtual void clear() = 0;
    /// Takes the store's lock without waiting: nullptr when another holder has it. The client
    /// holds it while it refreshes or signs out. The default excludes the holders in this process
    /// only; a store that other processes share excludes them as well.
    virtual std::unique_ptr<SessionLock> tryLockSession();
    /// Whether a call may wait on something outside this process (a keychain, a file, a lock
    /// another process holds). The client hands the calls of such a store to a thread of its own,
    /// so that its I/O executor never waits on them. A store that answers from memory may say
    /// false: the client then calls it directly, saving a trip to that thread and back on every
    /// request, and may do so from several threads at once.
    virtual bool mayBlock() const noexcept { return true; }
};

/// A keychain status the token store could not handle. Equal when the statuses are equal.
class TARN_EXPORT KeychainError : public Error {
public:
    enum class Kind { unhandled };

    static KeychainError unhandled(OSStatus status) { return KeychainError(status); }

    Kind kind() const noexcept { return Kind::unhandled; }
    OSStatus status() const noexcept { return status_; }
    /// "KeychainError.unhandled(-25300): no such item"
    const char* what() const noexcept override { return what_.c_str(); }

    friend bool operator==(const KeychainError& a, const KeychainError& b) { return a.status_ == b.status_; }

private:
    explicit KeychainError(OSStatus status);
    OSStatus status_;
    std::string what_;
};

/// The pair kept in this process only, gone when the store is: for a command-line run, a test or
/// an app that keeps its sign-in elsewhere. It never blocks, so the client calls it directly.
class TARN_EXPORT MemoryTokenStore : public TokenStore {
public:
    explicit MemoryTokenStore(std::optional<AuthTokens> tokens = std::nullopt) : tokens_(std::move(tokens)) {}

    std::optional<AuthTokens> loadTokens() override;
    void save(const AuthTokens& tokens) override;
    void clear() override;
    bool mayBlock() const noexcept override { return false; }

private:
    std::mutex mutex_;
    std::optional<AuthTokens> tokens_;
};

/// The token pair as one generic-password item (service, account) in the data-protection keychain,
/// its data the pair's JSON ({"accessToken":…,"refreshToken":…}). An item under the same service
/// and account in the legacy keychain is read when the data-protection one is missing and copied
/// forward; `clear` removes both. Every lookup, update and delete is non-interactive: a locked
/// keychain fails with KeychainError::unhandled(errSecInteractionNotAllowed), no prompt is shown.
///
/// `save` adds the item or, when it exists, updates its data. When the item vanishes between the
/// two (a clear in another process), it adds again, three rounds at most; when clears keep
/// winning, the save counts as made just before one of them and succeeds.
///
/// Failures: KeychainError for keychain statuses; DecodingError / EncodingError of the JSON coder
/// pass through unchanged (a stored value that is not a token pair stays stored).
/// Thread safety: no mutable state; as safe as the Keychain, which all shipped backends are.
class TARN_EXPORT KeychainTokenStore : public TokenStore {
public:
    /// Only stores its arguments; no keychain is touched.
    KeychainTokenStore(std::string service, std::string account, std::shared_ptr<Keychain> keychain);

    std::optional<AuthTokens> loadTokens() override;
    void save(const AuthTokens& tokens) override;
    void clear() override;
    /// Shared with every process of this user that uses the same keychain, service and account:
    /// a lock file beside a FileKeychain's items, or in the user's private runtime directory for
    /// the Secret Service (this process's holders only when that directory is not usable). Over
    /// an InMemoryKeychain it excludes this process's holders only. Throws
    /// std::filesystem::filesystem_error when a FileKeychain's root cannot hold the lock file.
    std::unique_ptr<SessionLock> tryLockSession() override;

    const std::string& service() const noexcept { return service_; }
    const std::string& account() const noexcept { return account_; }

private:
    KeychainAttributes legacyQuery() const;
    KeychainAttributes currentQuery() const;
    static KeychainAttributes nonInteractiveQuery(KeychainAttributes query);
    std::optional<AuthTokens> loadTokens(const KeychainAttributes& baseQuery);

    std::string service_;
    std::string account_;
    std::shared_ptr<Keychain> keychain_;
};

}  // namespace tarn
