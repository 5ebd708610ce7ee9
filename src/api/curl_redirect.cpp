// The redirect policy: origins, Location resolution, and what a redirect may carry where.
#include "api/curl_redirect.hpp"

#include "api/header_rules.hpp"
#include "tarn/platform/ascii.hpp"
#include "tarn/platform/url.hpp"

#include <uriparser/Uri.h>

#include <algorithm>
#include <array>

namespace tarn::detail {

namespace {

// Whether the request holds something only the first origin may see. A body counts: sign-in and
// refresh bodies hold passwords and tokens. Dropping the credential headers instead of refusing
// would still hand the body over, and would let the other origin answer the call in the first
// origin's name (a 401 from it would read as our tokens being refused).
bool carriesCredentials(const HttpRequest& request) {
    return request.body || hasAnyHeader(request, kCredentialHeaders);
}
// Headers that describe a body; they go when the body goes.
constexpr std::array kBodyHeaders = {"Content-Type", "Content-Length", "Content-Encoding"};

class ParsedURI {
public:
    explicit ParsedURI(std::string_view text) : text_(text) {
        const char* errorPos = nullptr;
        ok_ = uriParseSingleUriExA(&uri_, text_.data(), text_.data() + text_.size(), &errorPos) ==
              URI_SUCCESS;
    }
    ~ParsedURI() { uriFreeUriMembersA(&uri_); }
    ParsedURI(const ParsedURI&) = delete;
    ParsedURI& operator=(const ParsedURI&) = delete;

    explicit operator bool() const { return ok_; }
    const UriUriA* get() const { return &uri_; }

private:
    std::string text_;  // uriparser points into it
    UriUriA uri_{};
    bool ok_ = false;
};

// Percent-encodes the bytes that may never appear in a URI reference, leaving everything else
// (including existing escapes) as it is. Control characters make the reference unusable.
std::optional<std::string> escapeStrayBytes(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return std::nullopt;
        static constexpr std::string_view kStray = " \"<>\\^`{|}";
        if (c >= 0x80 || kStray.find(char(c)) != std::string_view::npos) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += char(c);
        }
    }
    return out;
}

void removeHeader(HttpHeaders& headers, std::string_view name) {
    std::erase_if(headers, [&](const auto& h) { return ascii::equalsIgnoringCase(h.first, name); });
}

}  // namespace

bool isRedirectStatus(std::int64_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool hasHttpSchemeAndHost(std::string_view url) {
    std::size_t rest = 0;
    if (ascii::startsWithIgnoringCase(url, "http://")) {
        rest = 7;
    } else if (ascii::startsWithIgnoringCase(url, "https://")) {
        rest = 8;
    } else {
        return false;
    }
    std::size_t end = rest;
    while (end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#') ++end;
    // "http://user@" or "http://:80" name no host either.
    const std::string_view authority = url.substr(rest, end - rest);
    const std::string_view host = authority.substr(authority.rfind('@') + 1);
    return !host.empty() && host.front() != ':';
}

std::optional<Origin> httpOrigin(std::string_view url) {
    auto parsed = URL::parse(url);
    if (!parsed) return std::nullopt;
    Origin origin;
    origin.scheme = ascii::lowered(parsed->scheme().value_or(""));
    if (origin.scheme != "http" && origin.scheme != "https") return std::nullopt;
    origin.host = ascii::lowered(parsed->host().value_or(""));
    if (origin.host.empty()) return std::nullopt;
    const auto port = parsed->port();
    if (port && *port <= 0) return std::nullopt;
    origin.port = port.value_or(origin.scheme == "https" ? 443 : 80);
    return origin;
}

std::optional<std::string> resolveReference(std::string_view base, std::string_view location) {
    auto escaped = escapeStrayBytes(location);
    if (!escaped) return std::nullopt;
    ParsedURI baseURI(base);
    ParsedURI reference(*escaped);
    if (!baseURI || !reference) return std::nullopt;

    UriUriA resolved{};
    std::optional<std::string> result;
    if (uriAddBaseUriExA(&resolved, reference.get(), baseURI.get(), URI_RESOLVE_STRICTLY) == URI_SUCCESS) {
        int required = 0;
        if (uriToStringCharsRequiredA(&resolved, &required) == URI_SUCCESS) {
            std::string text(static_cast<std::size_t>(required) + 1, '\0');
            int written = 0;
            if (uriToStringA(text.data(), &resolved, required + 1, &written) == URI_SUCCESS) {
                text.resize(static_cast<std::size_t>(written > 0 ? written - 1 : 0));
                result = std::move(text);
            }
        }
    }
    uriFreeUriMembersA(&resolved);
    return result;
}

std::optional<HttpRequest> redirectedRequest(const HttpRequest& current, const Origin& original,
                                             std::int64_t status,
                                             const std::optional<std::string>& location) {
    if (!isRedirectStatus(status) || !location) return std::nullopt;

    auto target = resolveReference(current.url, *location);
    if (!target) {
        // Not badURL: that names the caller's own URL, and this one is the server's fault.
        throw TransportError(TransportError::Code::redirectRefused, "the redirect location is not a valid URL");
    }
    auto targetOrigin = httpOrigin(*target);
    if (!targetOrigin) {
        throw TransportError(TransportError::Code::redirectRefused,
                             "redirect to a URL that is not http or https refused");
    }
    auto currentOrigin = httpOrigin(current.url);
    if (currentOrigin && currentOrigin->scheme == "https" && targetOrigin->scheme == "http") {
        throw TransportError(TransportError::Code::redirectRefused, "redirect from https to http refused");
    }

    if (!(*targetOrigin == original) && carriesCredentials(current)) {
        throw TransportError(TransportError::Code::redirectRefused,
                             "redirect to another origin refused: the request carries credentials or a body");
    }

    HttpRequest next = current;
    next.url = std::move(*target);
    // 303 means "see the answer over there": a GET (HEAD stays HEAD). 301 and 302 turn a POST into
    // a GET as every browser does; 307 and 308 exist to keep method and body.
    bool toGet = (status == 303 && next.method != "HEAD") ||
                 ((status == 301 || status == 302) && next.method == "POST");
    if (toGet) {
        next.method = "GET";
        next.body.reset();
        for (auto name : kBodyHeaders) removeHeader(next.headers, name);
    }
    return next;
}

}  // namespace tarn::detail
