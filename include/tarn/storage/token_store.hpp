// TokenStore: where the client keeps the signed-in user's token pair. Three synchronous
// operations that block the calling thread and may throw; the client calls them to attach the
// bearer token, after sign-in and refresh, and to sign out.
#pragma once

#include "tarn/models/account.hpp"

#include <optional>

namespace tarn {

class TokenStore {
public:
    virtual ~TokenStore() = default;
    /// The stored pair, or nullopt when nothing is stored.
    virtual std::optional<AuthTokens> loadTokens() = 0;
    virtual void save(const AuthTokens& tokens) = 0;
    /// Removes the stored pair; succeeds when nothing is stored.
    virtual void clear() = 0;
};

}  // namespace tarn
