// The 401 rules of the client, free of I/O so that they can be read and tested on their own: what
// a call does with each answer (deliver it, refresh once and repeat, give up), and what a refresh
// does with the token store depending on what it finds there. The pipeline performs the steps.
#pragma once

#include "tarn/storage/token_store.hpp"

#include <cstdint>
#include <optional>

namespace tarn::detail {

/// Whether a call carries the stored access token, and so whether a 401 may be cured by a refresh.
enum class Auth {
    /// Sent without tokens: a 401 is the answer, and the stored pair is not judged by it.
    none,
    /// The stored access token goes along; a 401 refreshes the pair once (shared with every call
    /// that meets one meanwhile) and repeats the call.
    bearer,
    /// The same for a caller that holds the store's session lock for the whole call (the
    /// sign-out): its refresh runs under that lock instead of waiting for it.
    bearerUnderHeldLock,
};

/// The course of one call through its answers.
class UnauthorizedRecovery {
public:
    enum class Step {
        deliver,                    // a 2xx: decode it
        refreshThenRepeat,          // the first 401 of a call with tokens
        failUnauthorized,           // a 401 no refresh may cure: the call sent no tokens
        clearThenFailUnauthorized,  // the repeat met a 401 too: the pair is of no use
        failWithAnswer,             // anything else: a server error quoting the answer
    };

    explicit UnauthorizedRecovery(Auth auth) noexcept : auth_(auth) {}

    /// The step for an answer. `fromBackend` is false when a redirect took the request to another
    /// origin and that origin answered: its 401 says nothing about our tokens. After
    /// refreshThenRepeat the next answer is the repeat's.
    Step answered(std::int64_t status, bool fromBackend) noexcept;

    bool isRepeat() const noexcept { return repeating_; }

private:
    Auth auth_;
    bool repeating_ = false;
};

/// How the stored pair relates to the pair a call used, as one look at the store found it.
enum class Stored { unreadable, empty, same, other };

Stored compareStored(const std::optional<AuthTokens>& stored, const std::optional<AuthTokens>& used) noexcept;

/// The first step of a refresh, taken under the session lock with the pair the 401 refused.
enum class RefreshStart {
    /// Another process, or an earlier refresh here, renewed the pair after the call read it: the
    /// repeat uses the stored pair, and its refresh token is not spent a second time.
    repeatWithStored,
    spendRefreshToken,
    /// Nothing stored, or no refresh token: the pair is of no use any more.
    clearThenFail,
};

/// `stored` is a readable look (an unreadable store fails the refresh before this).
RefreshStart refreshStart(const std::optional<AuthTokens>& stored, const std::optional<AuthTokens>& refused) noexcept;

/// What a successful refresh does with the renewed pair (compare-and-save): it replaces only the
/// pair it was made from.
enum class RenewedPair {
    save,
    keepOther,          // a sign-in saved another pair meanwhile: it stays
    failSignedOut,      // a sign-out emptied the store meanwhile: it wins
};

RenewedPair renewedPair(Stored now) noexcept;

/// Whether a refused pair is cleared (compare-and-clear): not when the store now holds another
/// pair, which the app and another process sharing the item may have just rotated.
bool clearsRefusedPair(Stored now) noexcept;

}  // namespace tarn::detail
