// APIError: what the request pipeline reports for HTTP-level outcomes. Four alternatives; two
// values are equal when they are the same alternative and, for `server`, the status and the body
// text are equal. The message from what() names the alternative, the status and a short reason
// taken from the body with every credential redacted; body() itself is the answer as received.
#pragma once

#include "tarn/export.hpp"
#include "tarn/error.hpp"
#include "tarn/text/redaction.hpp"

#include <cstdint>
#include <exception>
#include <ostream>
#include <string>

namespace tarn {

class TARN_EXPORT APIError : public Error {
public:
    enum class Kind { server, invalidBaseURL, invalidResponse, unauthorized };

    /// A status outside 200-299 that no 401 rule handled; body is the response text ("" when the
    /// response was not valid UTF-8).
    static APIError server(std::int64_t statusCode, std::string body);
    /// The same, with the secrets of the call that failed (its tokens, password, session secret)
    /// kept out of reason() and what(). The pipeline raises its server errors this way.
    static APIError server(std::int64_t statusCode, std::string body, const Redactor& secrets);
    static APIError invalidBaseURL();
    /// The same, saying why in the client's own words.
    static APIError invalidBaseURL(const std::string& why);
    static APIError invalidResponse();
    static APIError unauthorized();
    /// The same after the backend answered `answeredStatus` (401): statusCode() then says so, for
    /// callers that show what the server said (the C interface's http_status).
    static APIError unauthorized(std::int64_t answeredStatus);

    Kind kind() const noexcept { return kind_; }
    /// For `server`: the status and body. For `unauthorized`: the status the backend answered
    /// (401) when the refusal came from an answer, else 0. 0 and "" otherwise.
    std::int64_t statusCode() const noexcept { return statusCode_; }
    /// The response text exactly as received: it may echo credentials, so show reason() instead.
    const std::string& body() const noexcept { return body_; }
    /// One short line for people: for `server` the body scrubbed of credentials and e-mail
    /// addresses, escaped and cut ("" for an empty body); a fixed explanation otherwise.
    const std::string& reason() const noexcept { return reason_; }

    /// "APIError.server(500): <reason>", "APIError.unauthorized: <reason>".
    const char* what() const noexcept override;
    std::string description() const;

    friend bool operator==(const APIError& a, const APIError& b) {
        return a.kind_ == b.kind_ && (a.kind_ != Kind::server || (a.statusCode_ == b.statusCode_ && a.body_ == b.body_));
    }
    friend std::ostream& operator<<(std::ostream& os, const APIError& e) { return os << e.description(); }

private:
    APIError(Kind kind, std::int64_t status, std::string body, std::string reason);
    Kind kind_;
    std::int64_t statusCode_ = 0;
    std::string body_;
    std::string reason_;
    std::string what_;
};

}  // namespace tarn
