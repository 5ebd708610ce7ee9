// The 401 rules of the client, free of I/O (see the header).
#include "api/refresh_state_machine.hpp"

namespace tarn::detail {

UnauthorizedRecovery::Step UnauthorizedRecovery::answered(std::int64_t status, bool fromBackend) noexcept {
    if (status >= 200 && status <= 299) return Step::deliver;
    if (status != 401 || !fromBackend) return Step::failWithAnswer;
    if (repeating_) return Step::clearThenFailUnauthorized;
    if (auth_ == Auth::none) return Step::failUnauthorized;
    repeating_ = true;
    return Step::refreshThenRepeat;
}

Stored compareStored(const std::optional<AuthTokens>& stored, const std::optional<AuthTokens>& used) noexcept {
    if (!stored) return Stored::empty;
    return stored == used ? Stored::same : Stored::other;
}

RefreshStart refreshStart(const std::optional<AuthTokens>& stored, const std::optional<AuthTokens>& refused) noexcept {
    if (stored && stored != refused) return RefreshStart::repeatWithStored;
    if (stored && !stored->refreshToken.empty()) return RefreshStart::spendRefreshToken;
    return RefreshStart::clearThenFail;
}

RenewedPair renewedPair(Stored now) noexcept {
    switch (now) {
        case Stored::empty:
            return RenewedPair::failSignedOut;
        case Stored::other:
            return RenewedPair::keepOther;
        case Stored::unreadable:  // the old refresh token is spent: losing the new pair would sign the user out
        case Stored::same:
            break;
    }
    return RenewedPair::save;
}

bool clearsRefusedPair(Stored now) noexcept { return now != Stored::other; }

}  // namespace tarn::detail
