#include "tarn/platform/url.hpp"

#include <uriparser/Uri.h>

#include <algorithm>
#include <stdexcept>

namespace tarn {
namespace {

constexpr int maxPort = 65535;

// Owns uriparser's allocations for the lifetime of one parse.
class ParsedURI {
public:
    ParsedURI(const char* first, const char* afterLast) {
        const char* errorPos = nullptr;
        ok_ = uriParseSingleUriExA(&uri_, first, afterLast, &errorPos) == URI_SUCCESS;
    }
    ~ParsedURI() {
        if (ok_) uriFreeUriMembersA(&uri_);
    }
    ParsedURI(const ParsedURI&) = delete;
    ParsedURI& operator=(const ParsedURI&) = delete;

    bool ok() const { return ok_; }
    const UriUriA& uri() const { return uri_; }

private:
    UriUriA uri_{};
    bool ok_ = false;
};

// The parser only accepts well-formed escapes; a stray "%" is kept as it stands all the same, and
// "+" stays "+" (only HTML forms mean a space by it).
std::string percentDecoded(std::string_view text) {
    std::string out(text);
    const char* end = uriUnescapeInPlaceExA(out.data(), URI_FALSE, URI_BR_DONT_TOUCH);
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

// pchar of RFC 3986 without "%": unreserved, sub-delims, ":" and "@".
bool isAllowedInSegment(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-': case '.': case '_': case '~':
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
        case ':': case '@':
            return true;
        default:
            return false;
    }
}

void appendEncodedPath(std::string& out, std::string_view path) {
    constexpr char digits[] = "0123456789ABCDEF";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '/' || isAllowedInSegment(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0x0F]);
        }
    }
}

std::optional<int> portNumber(std::string_view digits, bool& valid) {
    valid = true;
    if (digits.empty()) return std::nullopt;
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            valid = false;
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > maxPort) {
            valid = false;
            return std::nullopt;
        }
    }
    return value;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::string owned(text);
    const char* const begin = owned.data();
    const char* const end = begin + owned.size();
    ParsedURI parsed(begin, end);
    if (!parsed.ok()) return std::nullopt;
    const UriUriA& uri = parsed.uri();

    // An empty component may point at uriparser's own static storage rather than into the text;
    // only its presence matters then.
    auto span = [begin](const UriTextRangeA& range) {
        Span s;
        s.present = range.first != nullptr;
        if (s.present && range.afterLast != range.first) {
            s.offset = static_cast<std::size_t>(range.first - begin);
            s.length = static_cast<std::size_t>(range.afterLast - range.first);
        }
        return s;
    };

    Components c;
    c.scheme = span(uri.scheme);
    c.userInfo = span(uri.userInfo);
    c.host = span(uri.hostText);
    c.port = span(uri.portText);
    if (c.port.present) {
        bool valid = false;
        c.portNumber = portNumber(std::string_view(owned).substr(c.port.offset, c.port.length), valid);
        if (!valid) return std::nullopt;
    }

    // uriparser does not hand out the path as written, nor a position for an empty query or
    // fragment, so those come from the text. In a valid reference "?" and "#" cannot occur before
    // the query and fragment, and the authority ends at the first "/", "?" or "#" after "//".
    const std::string_view view(owned);
    const std::size_t hash = view.find('#');
    const std::size_t question = view.substr(0, hash).find('?');
    std::size_t pathBegin = c.scheme.present ? c.scheme.length + 1 : 0;
    if (c.host.present) {
        pathBegin = view.find_first_of("/?#", pathBegin + 2);
        if (pathBegin == std::string_view::npos) pathBegin = view.size();
    }
    const std::size_t pathEnd = std::min({question, hash, view.size()});
    c.path = Span{pathBegin, pathEnd - pathBegin, true};
    if (question != std::string_view::npos) {
        const std::size_t queryEnd = std::min(hash, view.size());
        c.query = Span{question + 1, queryEnd - question - 1, true};
    }
    if (hash != std::string_view::npos) c.fragment = Span{hash + 1, view.size() - hash - 1, true};

    return URL(std::move(owned), c);
}

std::optional<std::string> URL::component(const Span& span) const {
    if (!span.present) return std::nullopt;
    return text_.substr(span.offset, span.length);
}

std::optional<std::string> URL::scheme() const { return component(components_.scheme); }

std::optional<std::string> URL::host() const { return component(components_.host); }

std::optional<std::string> URL::user() const {
    auto userInfo = component(components_.userInfo);
    if (!userInfo) return std::nullopt;
    return userInfo->substr(0, userInfo->find(':'));
}

std::optional<std::string> URL::password() const {
    auto userInfo = component(components_.userInfo);
    if (!userInfo) return std::nullopt;
    const std::size_t colon = userInfo->find(':');
    if (colon == std::string::npos) return std::nullopt;
    return userInfo->substr(colon + 1);
}

std::optional<int> URL::port() const { return components_.portNumber; }

std::optional<std::string> URL::fragment() const { return component(components_.fragment); }

std::string URL::percentEncodedPath() const { return *component(components_.path); }

std::optional<std::string> URL::percentEncodedQuery() const { return component(components_.query); }

std::optional<std::vector<URLQueryItem>> URL::queryItems() const {
    auto query = component(components_.query);
    if (!query) return std::nullopt;
    std::vector<URLQueryItem> items;
    if (query->empty()) return items;
    std::string_view rest(*query);
    while (true) {
        const std::size_t amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        const std::size_t equals = piece.find('=');
        if (equals == std::string_view::npos) {
            items.push_back({percentDecoded(piece), std::nullopt});
        } else {
            items.push_back({percentDecoded(piece.substr(0, equals)), percentDecoded(piece.substr(equals + 1))});
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return items;
}

URL URL::appendingPath(std::string_view path) const {
    const Span& basePath = components_.path;
    const std::size_t pathEnd = basePath.offset + basePath.length;

    std::string out = text_.substr(0, pathEnd);
    if (basePath.length == 0 || text_[pathEnd - 1] != '/') out.push_back('/');
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    appendEncodedPath(out, path);
    const std::size_t newPathEnd = out.size();
    out.append(text_, pathEnd);

    // Valid by construction (only "/", segment characters and escapes were inserted, after a
    // path that ends in "/"), so the components are moved rather than found by a new parse:
    // the client joins a path to its base URL for every request.
    Components c = components_;
    c.path.length = newPathEnd - basePath.offset;
    const std::size_t grown = newPathEnd - pathEnd;
    if (c.query.present) c.query.offset += grown;
    if (c.fragment.present) c.fragment.offset += grown;
    return URL(std::move(out), c);
}

}  // namespace tarn
