// What an APIClient accepts before it sends anything (see the header): the base-URL policy and
// the checks of APIClientOptions.
#include "api/base_url_policy.hpp"

#include "tarn/api/api_client.hpp"
#include "tarn/platform/ascii.hpp"
#include "tarn/platform/loopback.hpp"
#include "tarn/platform/unicode.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

namespace tarn {

namespace {

// The headers the client or the transport sets itself: replacing them would send credentials
// elsewhere, break the framing of the body or the meaning of a request.
constexpr std::string_view reservedHeaders[] = {
    "Authorization",     "Proxy-Authorization", "Cookie", "Content-Type", "Content-Length",
    "Transfer-Encoding", "Host",                "Connection", "X-Tarn-Auth-Session-Secret",
    "X-Tarn-Auth-Session-Secret-Version",
};

bool breaksTheHeaderLine(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

void detail::checkOptions(const APIClientOptions& options) {
    if (options.requestTimeout <= std::chrono::milliseconds::zero()) {
        throw std::invalid_argument("APIClientOptions: requestTimeout must be positive");
    }
    if (options.maxCallsInFlight < 1) {
        throw std::invalid_argument("APIClientOptions: maxCallsInFlight must be at least 1");
    }
    if (breaksTheHeaderLine(options.userAgent)) {
        throw std::invalid_argument("APIClientOptions: the User-Agent contains CR, LF or NUL");
    }
    for (const auto& [name, value] : options.extraHeaders) {
        if (!ascii::isToken(name)) {
            throw std::invalid_argument("APIClientOptions: \"" + unicode::escapingControlCharacters(name) +
                                        "\" is not a valid header name");
        }
        for (std::string_view reserved : reservedHeaders) {
            if (ascii::equalsIgnoringCase(name, reserved)) {
                throw std::invalid_argument("APIClientOptions: the client sets " + std::string(reserved) +
                                            " itself; it cannot be an extra header");
            }
        }
        if (breaksTheHeaderLine(value)) {
            throw std::invalid_argument("APIClientOptions: the value of " + name + " contains CR, LF or NUL");
        }
    }
}

std::string APIClientOptions::defaultUserAgent() { return std::string("tarn-vpn-core/") + TARN_VERSION; }

bool APIClient::isLoopbackHost(std::string_view host) { return tarn::isLoopbackHost(host); }

std::string detail::baseURLProblem(const URL& baseURL, const APIClientOptions& options) {
    auto scheme = baseURL.scheme();
    auto host = baseURL.host();
    if (!scheme || !host || host->empty()) return "it is not an absolute URL with a host";
    const bool https = ascii::equalsIgnoringCase(*scheme, "https");
    if (!https && !ascii::equalsIgnoringCase(*scheme, "http")) return "only http and https are spoken";
    if (baseURL.user()) {  // "user@", "user:secret@" and even a bare "@"
        return "it carries a user name or password, which belong in the secret store, never in a URL";
    }
    if (https || options.allowPlainHTTP || tarn::isLoopbackHost(*host)) return {};
    return "plain http to another machine would send passwords and tokens unencrypted: use https (plain http is "
           "allowed to loopback, or anywhere when the client's options allow it, for testing only)";
}

bool APIClient::isUsableBaseURL(const URL& baseURL, const APIClientOptions& options) {
    return detail::baseURLProblem(baseURL, options).empty();
}

}  // namespace tarn
