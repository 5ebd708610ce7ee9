// The rules for HTTP header fields that the transport and its cache share: which names and values
// may go out, which headers carry the caller's identity, and how a field value is trimmed. Inline,
// since the transfer checks every header of every request with them.
#pragma once

#include "tarn/api/http.hpp"
#include "tarn/platform/ascii.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace tarn::detail {

/// A header name (or method) is an RFC 9110 token.
constexpr bool isValidHeaderName(std::string_view name) noexcept { return ascii::isToken(name); }

/// A line break in a header value would let the value inject headers (or a whole request).
inline bool isSafeHeaderValue(std::string_view value) noexcept {
    // Three vectorised scans; find_first_of would call memchr once per character of a long
    // bearer token.
    return value.find('\r') == std::string_view::npos && value.find('\n') == std::string_view::npos &&
           value.find('\0') == std::string_view::npos;
}

/// A field value without the optional whitespace (spaces and tabs) around it.
constexpr std::string_view trimmedFieldValue(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

/// The headers that name the account for as long as it is signed in.
inline constexpr std::array<std::string_view, 2> kAccountCredentialHeaders = {"Authorization", "Cookie"};
/// The one-time secret of a sign-in in progress.
inline constexpr std::string_view kSessionSecretHeader = "X-Tarn-Auth-Session-Secret";
/// Every header that carries the caller's identity: none may reach an origin the caller did not
/// address, and none is ever written anywhere in the clear.
inline constexpr std::array<std::string_view, 3> kCredentialHeaders = {
    kAccountCredentialHeaders[0], kAccountCredentialHeaders[1], kSessionSecretHeader};

/// Whether the request carries any of `names`.
template <std::size_t N>
bool hasAnyHeader(const HttpRequest& request, const std::array<std::string_view, N>& names) {
    return std::any_of(request.headers.begin(), request.headers.end(), [&](const auto& field) {
        return std::any_of(names.begin(), names.end(),
                           [&](std::string_view name) { return ascii::equalsIgnoringCase(field.first, name); });
    });
}

}  // namespace tarn::detail
