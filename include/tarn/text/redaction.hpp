// Redaction: how the library keeps credentials and terminal-hostile characters out of every text
// it produces (error messages, record descriptions). A Redactor holds the secrets one call or one
// record knows (tokens, a password, a session secret) and replaces each of them wherever it
// appears; scrubbing also catches credentials the library cannot know, by their shape; escaping
// makes text from a server or a file safe to print on one line of a terminal.
#pragma once

#include "tarn/export.hpp"
#include "tarn/platform/unicode.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

/// What every redacted secret becomes.
inline constexpr std::string_view redactedMarker = "<redacted>";

class TARN_EXPORT Redactor {
public:
    Redactor() = default;

    /// Remembers a secret; an empty one is ignored (it would match everywhere).
    Redactor& add(std::string_view secret);
    bool empty() const noexcept { return secrets_.empty(); }
    /// The secrets, longest first.
    const std::vector<std::string>& secrets() const noexcept { return secrets_; }

    /// text with every occurrence of every known secret replaced by "<redacted>". Longer secrets
    /// are replaced first, so one that contains another never leaves a piece of itself behind.
    std::string redact(std::string_view text) const;

    /// redact(), then credential-shaped values whoever they belong to: the value after a key
    /// that names a password, secret, token, authorization or cookie ("password": "…",
    /// access_token=…, Authorization: Bearer …), any "Bearer …" credential, and e-mail addresses.
    std::string scrub(std::string_view text) const;

private:
    std::vector<std::string> secrets_;
};

/// Escaping for a terminal lives with the other Unicode services; it is used with redaction.
using unicode::escapingControlCharacters;

/// A short reason for an error message: scrubbed with `redactor`, escaped with
/// escapingControlCharacters, and cut at a character boundary with "…" when longer than
/// maxBytes. Redaction comes first, so the cut can never leave part of a secret behind.
TARN_EXPORT std::string summarizing(std::string_view text, const Redactor& redactor = Redactor(),
                                    std::size_t maxBytes = 160);

}  // namespace tarn
