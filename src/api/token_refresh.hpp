// The token store's side of the 401 rules: the shared refresh of the stored pair under the
// store's session lock, the compare-and-save of the renewed pair and the compare-and-clear of a
// refused one. The decisions themselves are in refresh_state_machine.hpp.
#pragma once

#include "api/client_impl.hpp"
#include "api/refresh_state_machine.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/models/account.hpp"

#include <asio/awaitable.hpp>

#include <optional>

namespace tarn::detail {

bool isUnauthorized(const APIError& e);

/// A token that cannot travel in a header would be stored and then break every later call with a
/// malformed-header failure that no refresh can cure, so such an answer is refused as a whole
/// (APIError invalidResponse).
void requireSendableTokens(const AuthResponse& answer);

/// The refresh a 401 calls for, shared with every concurrent caller (or run under the lock the
/// caller holds, for Auth::bearerUnderHeldLock); `unauthorized` when the refresh was refused.
asio::awaitable<void> refreshForRepeat(Self self, Auth auth, std::optional<AuthTokens> refused);

/// Clears the store if it still holds the refused pair, taking the session lock unless the caller
/// holds it (Auth::bearerUnderHeldLock). Without the lock nothing is wiped.
asio::awaitable<void> clearUnderLock(Self self, std::optional<AuthTokens> used, Auth auth);

}  // namespace tarn::detail
