// An RFC 3986 URL value backed by uriparser: keeps the text it was parsed from and answers for its
// components (scheme, user, password, host, port, percent-encoded path and query, fragment, and
// the decoded query items).
#pragma once

#include "tarn/export.hpp"

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarn {

struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;  // absent for "a" in "?a&b=1"
    friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

class TARN_EXPORT URL {
public:
    /// The empty URL: what a default-constructed record holds until it is filled. parse() never
    /// returns it.
    URL() = default;

    /// A URL from its text: an absolute URI or a relative reference as RFC 3986 defines them.
    /// nullopt for the empty string and for text that is not a URI reference.
    static std::optional<URL> parse(std::string_view text);

    /// The text as it was passed in.
    const std::string& absoluteString() const { return text_; }

    std::optional<std::string> scheme() const;
    /// The host as written (without brackets for IP literals); nullopt when there is none.
    std::optional<std::string> host() const;
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    std::optional<int> port() const;
    std::optional<std::string> fragment() const;
    /// The path exactly as written, percent escapes kept ("" when empty).
    std::string percentEncodedPath() const;
    /// The query exactly as written without "?"; nullopt when the URL has no "?".
    std::optional<std::string> percentEncodedQuery() const;
    /// Query items split at "&" and then at the first "=", names and values percent-decoded ("+"
    /// stays "+"); an item without "=" has no value. nullopt without query; an empty query ("?")
    /// gives no items, while empty pieces of a non-empty query ("a&&b") give items named "".
    /// Decoded bytes are returned as they are, even when they do not form UTF-8.
    std::optional<std::vector<URLQueryItem>> queryItems() const;

    /// This URL with a relative path appended before its query and fragment: "/" inside the path
    /// separates segments, and every other character not allowed in a path segment is
    /// percent-encoded, "%" included, so the text arrives at the server exactly as given.
    /// Exactly one "/" joins the two, whether or not this URL's path ends in one or the appended
    /// path starts with one; "" only makes sure the path ends in "/". Dot segments ("..") are not
    /// interpreted: callers that put untrusted identifiers into a path must refuse them first.
    URL appendingPath(std::string_view path) const;

    friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }
    friend std::ostream& operator<<(std::ostream& os, const URL& u) { return os << u.text_; }

private:
    // Where a component sits in text_; found once by parse so that accessors do not parse again.
    struct Span {
        std::size_t offset = 0;
        std::size_t length = 0;
        bool present = false;
    };
    struct Components {
        Span scheme, userInfo, host, port, path, query, fragment;
        std::optional<int> portNumber;
    };

    URL(std::string text, const Components& components) : text_(std::move(text)), components_(components) {}
    std::optional<std::string> component(const Span& span) const;

    std::string text_;
    Components components_;
};

}  // namespace tarn
