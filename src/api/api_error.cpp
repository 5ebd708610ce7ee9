#include "tarn/api/api_error.hpp"

#include <utility>

namespace tarn {
namespace {

std::string describe(APIError::Kind kind, std::int64_t statusCode, const std::string& reason) {
    std::string text;
    switch (kind) {
        case APIError::Kind::server: text = "APIError.server(" + std::to_string(statusCode) + ")"; break;
        case APIError::Kind::invalidBaseURL: text = "APIError.invalidBaseURL"; break;
        case APIError::Kind::invalidResponse: text = "APIError.invalidResponse"; break;
        case APIError::Kind::unauthorized: text = "APIError.unauthorized"; break;
    }
    if (!reason.empty()) text += ": " + reason;
    return text;
}

}  // namespace

APIError::APIError(Kind kind, std::int64_t status, std::string body, std::string reason)
    : kind_(kind),
      statusCode_(status),
      body_(std::move(body)),
      reason_(std::move(reason)),
      what_(describe(kind_, statusCode_, reason_)) {}

APIError APIError::server(std::int64_t statusCode, std::string body) { return server(statusCode, std::move(body), {}); }

APIError APIError::server(std::int64_t statusCode, std::string body, const Redactor& secrets) {
    std::string reason = summarizing(body, secrets);
    return APIError(Kind::server, statusCode, std::move(body), std::move(reason));
}

APIError APIError::invalidBaseURL() {
    return APIError(Kind::invalidBaseURL, 0, {}, "the base URL cannot be used");
}

APIError APIError::invalidResponse() {
    return APIError(Kind::invalidResponse, 0, {},
                    "the answer is not a usable HTTP response, or a session value was refused before sending");
}

APIError APIError::unauthorized() {
    return APIError(Kind::unauthorized, 0, {}, "not signed in, or the backend refused the credentials");
}

const char* APIError::what() const noexcept { return what_.c_str(); }

std::string APIError::description() const { return what_; }

}  // namespace tarn
