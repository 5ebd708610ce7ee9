// TransportError: what an HttpSession throws when no usable HTTP answer came back (a timeout, a
// refused connection, a TLS failure, a cancelled exchange), with libcurl's code when libcurl said
// so. Kept apart from http.hpp so that code that only handles failures needs no Asio.
#pragma once

#include "tarn/export.hpp"
#include "tarn/error.hpp"

#include <string>
#include <string_view>

namespace tarn {

/// A failure below HTTP: nothing usable came back.
class TARN_EXPORT TransportError : public Error {
public:
    enum class Code {
        timedOut,
        cannotConnect,      // resolve or connect failed
        cancelled,
        tls,                // handshake, certificate or pinned-key failure
        tooLarge,           // the body exceeded the configured cap, or the headers libcurl's limit
        redirectRefused,    // https -> http, credentials to another origin, or too many redirects
        badURL,
        other,
    };

    TransportError(Code code, std::string message, int curlCode = 0);

    Code code() const noexcept { return code_; }
    /// libcurl's CURLcode when the failure came from libcurl, otherwise 0.
    int curlCode() const noexcept { return curlCode_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    Code code_;
    int curlCode_;
    std::string message_;
    std::string what_;
};

TARN_EXPORT std::string_view to_string(TransportError::Code code);

}  // namespace tarn
