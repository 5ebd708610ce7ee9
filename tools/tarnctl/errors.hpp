// How tarnctl fails: one exit code per kind of failure, the CLI's own error type, and the mapping
// from the library's exceptions to one clear line of text.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnctl {

enum ExitCode : int {
    exitOK = 0,
    exitUsage = 2,
    exitNetwork = 3,       // cannot connect, timed out, connection dropped
    exitTLS = 4,
    exitUnauthorized = 5,  // not signed in, session expired, sign-in refused
    exitDeviceLimit = 6,
    exitServer = 7,        // any other HTTP failure, or an answer that is not HTTP
    exitDecoding = 8,      // the server's answer does not match the record
    exitRefused = 9,       // connect: the eligibility decision said no
    exitLocal = 10,        // keychain, files, anything else on this machine
    exitNoTunnel = 11,     // connect: the profile is handed over, but no tunnel service runs
};

/// The exit-code table as it appears in `tarnctl --help` and the README.
extern const char* const exitCodeHelp;

/// A failure the CLI itself decides on. `extra` holds further members for the --json error
/// object, as raw JSON values. The message is tarnctl's own wording; one that quotes outside text
/// (the server's, the tunnel's) is made with `quoting`, so that what is kept stays our own words.
class CliError : public std::exception {
public:
    CliError(int exitCode, std::string kind, std::string message,
             std::vector<std::pair<std::string, std::string>> extra = {})
        : exitCode_(exitCode), kind_(std::move(kind)), message_(std::move(message)), record_(message_),
          extra_(std::move(extra)) {}

    /// "ownWords: <outside, redacted and escaped>" on the terminal; ownWords alone when kept.
    /// Without outside text (nullopt or empty), ownWords alone in both.
    static CliError quoting(int exitCode, std::string kind, std::string ownWords, const std::optional<std::string>& outside);

    int exitCode() const noexcept { return exitCode_; }
    const std::string& kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    /// The message without outside text, for the last error and the diagnostics report.
    const std::string& record() const noexcept { return record_; }
    const std::vector<std::pair<std::string, std::string>>& extra() const noexcept { return extra_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    int exitCode_;
    std::string kind_;
    std::string message_;
    std::string record_;
    std::vector<std::pair<std::string, std::string>> extra_;
};

inline CliError usageError(std::string message) { return CliError(exitUsage, "usage", std::move(message)); }

/// What a failure means for the person at the terminal.
struct ErrorReport {
    int exitCode = exitLocal;
    std::string kind;     // usage, network, tls, unauthorized, device_limit, server, decoding, refused, local
    std::string message;  // one line, no secrets; may quote the server (redacted, escaped)
    std::vector<std::pair<std::string, std::string>> extra;
    /// What is kept of it (the last error, the diagnostics report): the kind, the status and our
    /// own words, never a word the server wrote, which may echo what this run could not redact.
    std::string record = {};
};

/// Classifies any exception. `baseURL` names the server in network messages.
ErrorReport describeError(const std::exception_ptr& error, const std::string& baseURL);

/// What is kept of a failure, as one line: "kind: record" ("server: server error: HTTP 503").
std::string keptLine(const ErrorReport& error);

/// Outside text (the server's, a file's, a child process's) made safe for one line of output:
/// the secrets this run knows and credential-shaped values redacted, e-mail addresses too, control
/// characters escaped, long text cut (at a character boundary) with "…" after `maxBytes`. Never for
/// tarnctl's own wording (see `escaped`).
std::string oneLine(std::string_view text, std::size_t maxBytes = 300);

/// What a key store status usually means, for people ("the keyring is locked; ...").
std::string keychainStatusText(std::int32_t status);

}  // namespace tarnctl
