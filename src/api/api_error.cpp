#include "tarn/api/api_error.hpp"

#include <utility>

namespace tarn {
namespace {

// The body stays out of the text: it may echo what the user sent (addresses, codes, tokens).
std::string describe(APIError::Kind kind, std::int64_t statusCode) {
    switch (kind) {
        case APIError::Kind::server:
            return "APIError.server(" + std::to_string(statusCode) + ")";
        case APIError::Kind::invalidBaseURL:
            return "APIError.invalidBaseURL";
        case APIError::Kind::invalidResponse:
            return "APIError.invalidResponse";
        case APIError::Kind::unauthorized:
            return "APIError.unauthorized";
    }
    return "APIError";
}

}  // namespace

APIError::APIError(Kind kind, std::int64_t status, std::string body)
    : kind_(kind), statusCode_(status), body_(std::move(body)), what_(describe(kind, status)) {}

APIError APIError::server(std::int64_t statusCode, std::string body) {
    return APIError(Kind::server, statusCode, std::move(body));
}

APIError APIError::invalidBaseURL() { return APIError(Kind::invalidBaseURL, 0, {}); }

APIError APIError::invalidResponse() { return APIError(Kind::invalidResponse, 0, {}); }

APIError APIError::unauthorized() { return APIError(Kind::unauthorized, 0, {}); }

const char* APIError::what() const noexcept { return what_.c_str(); }

std::string APIError::description() const { return what_; }

}  // namespace tarn
