// How tarnctl fails: one exit code per kind of failure, the CLI's own error type, and the mapping
// from the library's exceptions to one clear line of text.
#pragma once

#include <cstdint>
#include <exception>
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
};

/// The exit-code table as it appears in `tarnctl --help` and the README.
extern const char* const exitCodeHelp;

/// A failure the CLI itself decides on. `extra` holds further members for the --json error
/// object, as raw JSON values.
class CliError : public std::exception {
public:
    CliError(int exitCode, std::string kind, std::string message,
             std::vector<std::pair<std::string, std::string>> extra = {})
        : exitCode_(exitCode), kind_(std::move(kind)), message_(std::move(message)), extra_(std::move(extra)) {}

    int exitCode() const noexcept { return exitCode_; }
    const std::string& kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const std::vector<std::pair<std::string, std::string>>& extra() const noexcept { return extra_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    int exitCode_;
    std::string kind_;
    std::string message_;
    std::vector<std::pair<std::string, std::string>> extra_;
};

inline CliError usageError(std::string message) { return CliError(exitUsage, "usage", std::move(message)); }

/// What a failure means for the person at the terminal.
struct ErrorReport {
    int exitCode = exitLocal;
    std::string kind;     // usage, network, tls, unauthorized, device_limit, server, decoding, refused, local
    std::string message;  // one line, no secrets
    std::vector<std::pair<std::string, std::string>> extra;
};

/// Classifies any exception. `baseURL` names the server in network messages.
ErrorReport describeError(const std::exception_ptr& error, const std::string& baseURL);

/// Text made safe for one line of output: credentials and e-mail addresses redacted, control
/// characters escaped, long text cut (at a character boundary) with "…" after `maxBytes`.
std::string oneLine(std::string_view text, std::size_t maxBytes = 300);

/// What a key store status usually means, for people ("the keyring is locked; ...").
std::string keychainStatusText(std::int32_t status);

}  // namespace tarnctl
