// The login-by-email-code state machine the application drives (EmailOTPFlowState with its
// phases) and the address syntax check (EmailValidator). Pure values: no network, no clock of
// their own; the application reports each step and the current instant.
#pragma once

#include "tarn/export.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/json/string_enum.hpp"
#include "tarn/platform/timestamp.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

enum class EmailOTPPhase { emailEntry, requestingCode, codeEntry, verifyingCode, expired, authenticated };

template <>
inline constexpr auto enumCases<EmailOTPPhase> = std::array{
    EnumCase<EmailOTPPhase>{EmailOTPPhase::emailEntry, "emailEntry"},
    EnumCase<EmailOTPPhase>{EmailOTPPhase::requestingCode, "requestingCode"},
    EnumCase<EmailOTPPhase>{EmailOTPPhase::codeEntry, "codeEntry"},
    EnumCase<EmailOTPPhase>{EmailOTPPhase::verifyingCode, "verifyingCode"},
    EnumCase<EmailOTPPhase>{EmailOTPPhase::expired, "expired"},
    EnumCase<EmailOTPPhase>{EmailOTPPhase::authenticated, "authenticated"},
};

/// One email-code login attempt. A plain value: copies are independent and compare field by
/// field. No operation is refused because of the current phase; see each operation for its guard.
/// Not synchronised: the owner changes it from one thread.
class TARN_EXPORT EmailOTPFlowState {
public:
    /// The notice shown when a code has expired or no usable challenge exists.
    static constexpr std::string_view expiryMessage = "Срок действия кода истёк. Запросите новый.";

    /// Phase emailEntry, empty email, every optional field absent.
    EmailOTPFlowState() = default;

    EmailOTPPhase phase() const noexcept { return phase_; }
    /// The normalised address of the current attempt.
    const std::string& email() const noexcept { return email_; }
    const std::optional<std::string>& challengeID() const noexcept { return challengeID_; }
    const std::optional<Timestamp>& resendAvailableAt() const noexcept { return resendAvailableAt_; }
    const std::optional<Timestamp>& expiresAt() const noexcept { return expiresAt_; }
    /// Text for the current phase: a failure chosen by the application, or the expiry notice.
    const std::optional<std::string>& message() const noexcept { return message_; }

    bool hasSession() const noexcept { return phase_ == EmailOTPPhase::authenticated; }

    /// Starts a code request for email, stored trimmed of white space and line breaks and
    /// lower-cased (no syntax check: use EmailValidator first). Clears the message; an earlier
    /// challenge stays until the next receive, markAuthenticated or cancel.
    void beginRequest(std::string_view email);

    /// Records the challenge the backend sent at now. Negative second counts count as zero;
    /// counts beyond the representable range of instants saturate at its end.
    void receive(const EmailCodeChallenge& challenge, Timestamp now);

    /// True when a resend instant is known, at has reached it, and no request or verification is
    /// under way.
    bool canResend(Timestamp at) const noexcept;

    /// True (phase verifyingCode) when a challenge exists and at is strictly before its expiry;
    /// otherwise false, phase expired and the expiry notice.
    bool beginVerification(Timestamp at);

    /// A failed code request: back to emailEntry showing message.
    void failRequest(std::string message);

    /// A failed verification: back to codeEntry showing message; the challenge may be retried
    /// until it expires.
    void failVerification(std::string message);

    /// Login finished: keeps the email, drops the challenge, both instants and the message.
    void markAuthenticated();

    /// Marks the attempt expired when at has reached the expiry instant, unless already
    /// authenticated; otherwise changes nothing.
    void restore(Timestamp at);

    /// Back to the initial state.
    void cancel();

    friend bool operator==(const EmailOTPFlowState&, const EmailOTPFlowState&) = default;

private:
    EmailOTPPhase phase_ = EmailOTPPhase::emailEntry;
    std::string email_;
    std::optional<std::string> challengeID_;
    std::optional<Timestamp> resendAvailableAt_;
    std::optional<Timestamp> expiresAt_;
    std::optional<std::string> message_;
};

struct TARN_EXPORT EmailValidator {
    /// True when the whole of email, exactly as given, is: one or more of A-Z, 0-9 and "._%+-";
    /// "@"; one or more of A-Z, 0-9 and ".-"; "."; two or more of A-Z. Letters match in either
    /// case and only the Latin A-Z do. A trailing line break makes the address invalid.
    static bool isValid(std::string_view email) noexcept;
};

}  // namespace tarn
