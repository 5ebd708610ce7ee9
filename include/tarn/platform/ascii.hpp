// ASCII-only text helpers for protocol text: header names, schemes, host names, tokens. They
// never look at anything beyond ASCII on purpose — locale-dependent std::tolower would fold bytes of
// UTF-8 text in some locales, and protocol names compare case-insensitively only in ASCII.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace tarn::ascii {

constexpr char toLower(char c) noexcept { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

inline std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = toLower(c);
    return out;
}

constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (toLower(a[i]) != toLower(b[i])) return false;
    }
    return true;
}

constexpr bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

/// Where `needle` starts in `text` at or after `from`, ignoring ASCII case; npos when it does not.
inline std::size_t findIgnoringCase(std::string_view text, std::string_view needle, std::size_t from = 0) {
    if (from > text.size()) return std::string_view::npos;
    auto it = std::search(text.begin() + std::ptrdiff_t(from), text.end(), needle.begin(), needle.end(),
                          [](char a, char b) { return toLower(a) == toLower(b); });
    return it == text.end() ? std::string_view::npos : std::size_t(it - text.begin());
}

/// The value of a hex digit of either case; -1 for anything else.
constexpr int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// An RFC 9110 token: what a method or header name may consist of.
constexpr bool isToken(std::string_view text) noexcept {
    constexpr std::string_view specials = "!#$%&'*+-.^_`|~";
    if (text.empty()) return false;
    for (char c : text) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && specials.find(c) == std::string_view::npos) return false;
    }
    return true;
}

}  // namespace tarn::ascii
