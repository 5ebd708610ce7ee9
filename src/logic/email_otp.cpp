#include "tarn/logic/email_otp.hpp"

#include "tarn/platform/unicode.hpp"

#include <algorithm>

namespace tarn {

void EmailOTPFlowState::beginRequest(std::string_view email) {
    email_ = unicode::lowercased(unicode::trimmingWhitespaceAndNewlines(email));
    phase_ = EmailOTPPhase::requestingCode;
    message_.reset();
}

void EmailOTPFlowState::receive(const EmailCodeChallenge& challenge, Timestamp now) {
    challengeID_ = challenge.challengeID;
    // A hostile or broken backend can send any 64-bit count; addingSeconds saturates instead of
    // wrapping, so a huge count means "practically never" rather than an instant in the past.
    resendAvailableAt_ = addingSeconds(now, std::max<std::int64_t>(0, challenge.resendAfter));
    expiresAt_ = addingSeconds(now, std::max<std::int64_t>(0, challenge.expiresIn));
    phase_ = EmailOTPPhase::codeEntry;
    message_.reset();
}

bool EmailOTPFlowState::canResend(Timestamp at) const noexcept {
    if (!resendAvailableAt_ || at < *resendAvailableAt_) return false;
    return phase_ != EmailOTPPhase::requestingCode && phase_ != EmailOTPPhase::verifyingCode;
}

bool EmailOTPFlowState::beginVerification(Timestamp at) {
    if (challengeID_ && expiresAt_ && at < *expiresAt_) {
        phase_ = EmailOTPPhase::verifyingCode;
        message_.reset();
        return true;
    }
    phase_ = EmailOTPPhase::expired;
    message_ = std::string(expiryMessage);
    return false;
}

void EmailOTPFlowState::failRequest(std::string message) {
    phase_ = EmailOTPPhase::emailEntry;
    message_ = std::move(message);
}

void EmailOTPFlowState::failVerification(std::string message) {
    phase_ = EmailOTPPhase::codeEntry;
    message_ = std::move(message);
}

void EmailOTPFlowState::markAuthenticated() {
    phase_ = EmailOTPPhase::authenticated;
    challengeID_.reset();
    resendAvailableAt_.reset();
    expiresAt_.reset();
    message_.reset();
}

void EmailOTPFlowState::restore(Timestamp at) {
    if (expiresAt_ && at >= *expiresAt_ && phase_ != EmailOTPPhase::authenticated) {
        phase_ = EmailOTPPhase::expired;
        message_ = std::string(expiryMessage);
    }
}

void EmailOTPFlowState::cancel() { *this = EmailOTPFlowState(); }

namespace {

constexpr bool isASCIILetter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool isASCIIDigit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr bool isLocalCharacter(char c) noexcept {
    return isASCIILetter(c) || isASCIIDigit(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
}

constexpr bool isDomainCharacter(char c) noexcept { return isASCIILetter(c) || isASCIIDigit(c) || c == '.' || c == '-'; }

}  // namespace

// Equivalent to an anchored search for ^[A-Z0-9._%+-]+@[A-Z0-9.-]+\.[A-Z]{2,}$ (case-insensitive
// over A-Z only), without a regex engine: neither class holds "@", so the address splits at its
// only "@"; and since the last label holds letters only, the "." before it can only be the last
// "." of the domain. Unlike many engines' "$", nothing here lets a trailing line break through:
// an address with one is invalid on purpose. Bytes outside ASCII belong to no class, so non-Latin
// letters (and look-alikes that case-fold to Latin ones) are rejected.
bool EmailValidator::isValid(std::string_view email) noexcept {
    const auto at = email.find('@');
    if (at == std::string_view::npos || at == 0) return false;
    const auto local = email.substr(0, at);
    const auto domain = email.substr(at + 1);
    if (!std::all_of(local.begin(), local.end(), isLocalCharacter)) return false;
    if (!std::all_of(domain.begin(), domain.end(), isDomainCharacter)) return false;  // also a second "@"
    const auto dot = domain.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;  // the part before the "." is non-empty
    const auto lastLabel = domain.substr(dot + 1);
    return lastLabel.size() >= 2 && std::all_of(lastLabel.begin(), lastLabel.end(), isASCIILetter);
}

}  // namespace tarn
