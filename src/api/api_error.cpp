#include "tarn/api/api_error.hpp"

#include "tarn/platform/ascii.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

namespace tarn {
namespace {

using ascii::findIgnoringCase;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// An error page of a proxy or web server in front of the backend says what happened in its
// title ("502 Bad Gateway"); the markup around it would only fill the message with tags. The
// title with its white space collapsed, "an HTML page without a title", or nullopt for a body
// that is not an HTML page.
std::optional<std::string> htmlSummary(std::string_view body) {
    auto start = std::find_if_not(body.begin(), body.end(), isSpace);
    const std::string_view head = body.substr(std::size_t(start - body.begin()), 512);
    if (findIgnoringCase(head, "<!doctype html") != 0 && findIgnoringCase(head, "<html") == std::string_view::npos) {
        return std::nullopt;
    }
    auto open = findIgnoringCase(body, "<title");
    auto textStart = open == std::string_view::npos ? open : body.find('>', open);
    auto close = textStart == std::string_view::npos ? textStart : findIgnoringCase(body, "</title", textStart);
    if (close == std::string_view::npos) return "an HTML page without a title";
    std::string title;
    for (char c : body.substr(textStart + 1, close - textStart - 1)) {
        if (!isSpace(c)) {
            title += c;
        } else if (!title.empty() && title.back() != ' ') {
            title += ' ';
        }
    }
    if (!title.empty() && title.back() == ' ') title.pop_back();
    if (title.empty()) return "an HTML page without a title";
    return title;
}

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
    auto page = htmlSummary(body);
    std::string reason = summarizing(page ? std::string_view(*page) : std::string_view(body), secrets);
    return APIError(Kind::server, statusCode, std::move(body), std::move(reason));
}

APIError APIError::invalidBaseURL() { return invalidBaseURL({}); }

APIError APIError::invalidBaseURL(const std::string& why) {
    return APIError(Kind::invalidBaseURL, 0, {}, "the base URL cannot be used" + (why.empty() ? std::string() : ": " + why));
}

APIError APIError::invalidResponse() {
    return APIError(Kind::invalidResponse, 0, {},
                    "the answer is not a usable HTTP response, or a session value was refused before sending");
}

APIError APIError::unauthorized() { return unauthorized(0); }

APIError APIError::unauthorized(std::int64_t answeredStatus) {
    return APIError(Kind::unauthorized, answeredStatus, {}, "not signed in, or the backend refused the credentials");
}

const char* APIError::what() const noexcept { return what_.c_str(); }

std::string APIError::description() const { return what_; }

}  // namespace tarn
