// The plain HTTP records: header lookup and replacement by case-insensitive name, and the
// wording of a TransportError.
#include "tarn/api/http.hpp"
#include "tarn/text/redaction.hpp"
#include "tarn/platform/ascii.hpp"

#include <algorithm>

namespace tarn {

namespace {

using ascii::equalsIgnoringCase;

std::optional<std::string> findHeader(const HttpHeaders& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

}  // namespace

void HttpRequest::setHeader(std::string name, std::string value) {
    auto same = [&](const auto& entry) { return equalsIgnoringCase(entry.first, name); };
    auto first = std::find_if(headers.begin(), headers.end(), same);
    if (first == headers.end()) {
        headers.emplace_back(std::move(name), std::move(value));
        return;
    }
    // The replacement keeps the position of the first occurrence; any later duplicates would
    // otherwise be sent alongside it.
    headers.erase(std::remove_if(std::next(first), headers.end(), same), headers.end());
    first->first = std::move(name);
    first->second = std::move(value);
}

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    return findHeader(headers, name);
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    return findHeader(headers, name);
}

asio::any_io_executor HttpSession::executor() const { return {}; }

void HttpSession::clearCache() noexcept {}

TransportError::TransportError(Code code, std::string message, int curlCode)
    : code_(code), curlCode_(curlCode), message_(std::move(message)) {
    what_ = std::string(to_string(code_));
    if (!message_.empty()) what_ += ": " + summarizing(message_, Redactor(), 300);
}

std::string_view to_string(TransportError::Code code) {
    switch (code) {
        case TransportError::Code::timedOut: return "timedOut";
        case TransportError::Code::cannotConnect: return "cannotConnect";
        case TransportError::Code::cancelled: return "cancelled";
        case TransportError::Code::tls: return "tls";
        case TransportError::Code::tooLarge: return "tooLarge";
        case TransportError::Code::redirectRefused: return "redirectRefused";
        case TransportError::Code::badURL: return "badURL";
        case TransportError::Code::other: return "other";
    }
    return "other";
}

}  // namespace tarn
