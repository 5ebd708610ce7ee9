// The redirect policy of CurlSession, kept free of I/O so that it can be tested on its own: which
// request follows a 3xx answer, and which origin a URL belongs to.
#pragma once

#include "tarn/api/http.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::detail {

/// Scheme, host and port of an http or https URL, lower-cased, with the default port filled in.
struct Origin {
    std::string scheme;
    std::string host;
    int port = 0;
    friend bool operator==(const Origin&, const Origin&) = default;
};

/// The origin of an absolute http(s) URL with a host; nullopt for anything else.
std::optional<Origin> httpOrigin(std::string_view url);

/// Whether the answer's status is one of the redirects the session follows (301, 302, 303, 307,
/// 308).
bool isRedirectStatus(std::int64_t status);

/// A cheap first look at a request URL: "http://" or "https://" (any case) followed by a host.
/// Whatever else is wrong with it libcurl refuses as malformed; the full parse of httpOrigin is
/// left until a redirect needs the origin.
bool hasHttpSchemeAndHost(std::string_view url);

/// `location` resolved against the absolute URL `base` (RFC 3986, section 5); nullopt when either
/// does not parse. Bytes that may not appear in a URI (spaces, non-ASCII) are percent-encoded
/// first, as browsers do, since servers do send them.
std::optional<std::string> resolveReference(std::string_view base, std::string_view location);

/// The request to send after `status` answered `current`, or nullopt when the answer is not a
/// redirect to follow (not 301/302/303/307/308, or no Location). `original` is the origin of the
/// first request of the chain: a request carrying a credential header (kCredentialHeaders in
/// header_rules.hpp) or a body never leaves it.
/// Throws TransportError redirectRefused for https -> http, a non-http(s) target, a Location that
/// cannot be resolved, or a request with credentials or a body sent to another origin. Messages
/// never contain the URLs.
std::optional<HttpRequest> redirectedRequest(const HttpRequest& current, const Origin& original,
                                             std::int64_t status,
                                             const std::optional<std::string>& location);

}  // namespace tarn::detail
