#include "errors.hpp"

#include "output.hpp"

#include <tarn/api/api_error.hpp>
#include <tarn/api/device_limit.hpp>
#include <tarn/api/http.hpp>
#include <tarn/json/json.hpp>
#include <tarn/text/redaction.hpp>
#include <tarn/storage/keychain.hpp>
#include <tarn/storage/token_store.hpp>

#include <filesystem>
#include <stdexcept>

namespace tarnctl {

const char* const exitCodeHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  2  usage: unknown command or option, bad argument, missing input\n"
    "  3  network: server unreachable, timed out or connection dropped\n"
    "  4  TLS failure (handshake, certificate)\n"
    "  5  unauthorized: not signed in or session expired (run `tarnctl login`); sign-in refused\n"
    "  6  device limit reached (run `tarnctl devices` and `tarnctl devices remove ID`)\n"
    "  7  server error (status and a redacted summary of the body are shown)\n"
    "  8  the server's answer could not be decoded (the coding path is shown)\n"
    "  9  connect refused by the eligibility check (the reason is shown)\n"
    " 10  local failure: secret store, files, anything else on this machine\n"
    " 11  connect: the profile is handed over, but no tunnel service runs to use it";

std::string keychainStatusText(tarn::OSStatus status) {
    switch (status) {
        case tarn::errSecInteractionNotAllowed: return "the keyring is locked; unlock it and try again";
        case tarn::errSecNotAvailable: return "no Secret Service answers on the session bus; try --keychain file";
        case tarn::errSecNoDefaultKeychain: return "the Secret Service has no default collection";
        case tarn::errSecInvalidKeychain: return "the key store directory is not private to this user";
        case tarn::errSecIO: return "the secret store could not be read or written";
        case tarn::errSecParam: return "invalid item attributes";
        default: return "unexpected keychain status";
    }
}

std::string oneLine(std::string_view text, std::size_t maxBytes) {
    return tarn::summarizing(text, rememberedSecrets(), maxBytes);
}

CliError CliError::quoting(int exitCode, std::string kind, std::string ownWords, const std::optional<std::string>& outside) {
    CliError error(exitCode, std::move(kind), ownWords);
    if (outside && !outside->empty()) error.message_ += ": " + oneLine(*outside);
    return error;
}

std::string keptLine(const ErrorReport& error) { return escaped(error.kind + ": " + error.record); }

namespace {

ErrorReport described(const std::exception_ptr& error, const std::string& baseURL);

}  // namespace

ErrorReport describeError(const std::exception_ptr& error, const std::string& baseURL) {
    ErrorReport report = described(error, baseURL);
    // Unless a case said otherwise, the message is all our own words.
    if (report.record.empty()) report.record = report.message;
    return report;
}

namespace {

// The server's words are quoted on the terminal only; `record` (the fifth member) keeps ours.
ErrorReport described(const std::exception_ptr& error, const std::string& baseURL) {
    try {
        std::rethrow_exception(error);
    } catch (const CliError& e) {
        return {e.exitCode(), e.kind(), e.message(), e.extra(), e.record()};
    } catch (const tarn::TransportError& e) {
        using Code = tarn::TransportError::Code;
        std::string detail = oneLine(e.message());
        // libcurl's text may quote what the server sent (a certificate's names, a redirect target).
        auto quoting = [&](int exitCode, std::string kind, std::string ownWords) {
            return ErrorReport{exitCode, std::move(kind), ownWords + ": " + detail, {}, ownWords};
        };
        switch (e.code()) {
            case Code::tls: return quoting(exitTLS, "tls", "TLS failure talking to " + baseURL);
            case Code::timedOut: return quoting(exitNetwork, "network", "no answer from " + baseURL + " in time (see --timeout)");
            case Code::cannotConnect: return quoting(exitNetwork, "network", "cannot reach " + baseURL);
            case Code::badURL: return quoting(exitUsage, "usage", "the base URL " + baseURL + " cannot be used");
            case Code::tooLarge: return quoting(exitServer, "server", "the server's answer is too large");
            case Code::redirectRefused: return quoting(exitServer, "server", "the server redirected somewhere unsafe");
            case Code::cancelled:
            case Code::other:
                break;
        }
        return quoting(exitNetwork, "network", "network failure talking to " + baseURL);
    } catch (const tarn::APIError& e) {
        switch (e.kind()) {
            case tarn::APIError::Kind::unauthorized:
                return {exitUnauthorized, "unauthorized",
                        "not signed in, or the session has expired: run `tarnctl login`", {}};
            case tarn::APIError::Kind::server:
                // Never the body itself: it may echo tokens, the password or the session secret.
                // The reason is the library's short summary with every credential it knows redacted.
                if (tarn::DeviceLimitErrorPolicy::matches(e)) {
                    return {exitDeviceLimit, "device_limit",
                            "device limit reached: free a slot with `tarnctl devices remove ID` (see `tarnctl devices`)",
                            {{"status", std::to_string(e.statusCode())}, {"reason", jsonString(redactedOutside(e.reason()))}}};
                }
                return {exitServer, "server",
                        "server error: HTTP " + std::to_string(e.statusCode()) +
                            (e.reason().empty() ? std::string() : ": " + shown(e.reason())),
                        {{"status", std::to_string(e.statusCode())}, {"reason", jsonString(redactedOutside(e.reason()))}},
                        "server error: HTTP " + std::to_string(e.statusCode())};
            case tarn::APIError::Kind::invalidResponse:
                return {exitServer, "server", "the server's answer was not a usable HTTP response", {}};
            case tarn::APIError::Kind::invalidBaseURL: {
                // The reason is the client's own words; it says why, never what the URL holds.
                const std::string& why = e.reason();
                const auto colon = why.find(": ");
                return {exitUsage, "usage",
                        "invalid base URL " + baseURL + (colon == std::string::npos ? std::string() : ": " + why.substr(colon + 2)),
                        {}};
            }
        }
        return {exitServer, "server", "server error: HTTP " + std::to_string(e.statusCode()), {}};
    } catch (const tarn::DecodingError& e) {
        // The coding path may hold the server's keys (a dictionary's) and the description its values.
        std::string path = e.codingPathString();
        return {exitDecoding, "decoding",
                "cannot decode the server's answer at " + (path.empty() ? std::string("(top level)") : shown(path)) + ": " +
                    std::string(tarn::to_string(e.kind())) + ": " + oneLine(e.debugDescription()),
                {{"coding_path", jsonString(redactedOutside(path))}},
                "cannot decode the server's answer: " + std::string(tarn::to_string(e.kind()))};
    } catch (const tarn::KeychainError& e) {
        return {exitLocal, "local", "secret store failure: KeychainError.unhandled(" + std::to_string(e.status()) +
                                        ") (" + keychainStatusText(e.status()) + ")",
                {}};
    } catch (const std::filesystem::filesystem_error& e) {
        // The library's own wording and a local path: escaped, never redacted (a password that is a
        // word of "No space left on device" must not be cut out of it).
        return {exitLocal, "local", std::string("file error: ") + escaped(e.what()), {}};
    } catch (const tarn::EncodingError& e) {
        return {exitLocal, "local", std::string("cannot encode the request: ") + escaped(e.what()), {}};
    } catch (const std::exception& e) {
        return {exitLocal, "local", oneLine(e.what()), {}};
    } catch (...) {
        return {exitLocal, "local", "unknown failure", {}};
    }
}

}  // namespace

}  // namespace tarnctl
