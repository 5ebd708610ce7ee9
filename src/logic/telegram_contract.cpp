#include "tarn/logic/telegram_contract.hpp"

#include "tarn/platform/ascii.hpp"
#include "tarn/platform/unicode.hpp"

#include <algorithm>
#include <array>

namespace tarn {

namespace {

// Membership tables over ASCII, fixed at compile time: nothing to initialise at run time, so
// concurrent first use is trivially safe. Scalars outside ASCII belong to neither set.
class CharacterSet {
public:
    constexpr explicit CharacterSet(std::string_view members) {
        for (char c : members) table_[static_cast<unsigned char>(c)] = true;
    }
    constexpr bool contains(char32_t scalar) const noexcept { return scalar < table_.size() && table_[scalar]; }

private:
    std::array<bool, 128> table_{};
};

constexpr CharacterSet sessionCharacters("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-");
constexpr CharacterSet codeCharacters("0123456789");

struct LengthRange {
    std::size_t min;
    std::size_t max;
};

// Counts Unicode scalars, not bytes, so a multi-byte character counts once toward the limits
// (and then fails membership anyway).
bool hasOnlyCharacters(std::string_view value, const CharacterSet& set, LengthRange length) {
    const auto scalars = unicode::toScalars(value);
    if (scalars.size() < length.min || scalars.size() > length.max) return false;
    return std::all_of(scalars.begin(), scalars.end(), [&](char32_t s) { return set.contains(s); });
}

constexpr std::string_view botPath = "/tarnvpn_bot";
constexpr std::string_view startItemName = "start";
constexpr std::string_view startPayloadPrefix = "ios_auth_";

}  // namespace

bool TelegramAuthContract::isValidSessionID(std::string_view value) {
    return hasOnlyCharacters(value, sessionCharacters, {20, 128});
}

bool TelegramAuthContract::isValidSessionSecret(std::string_view value) {
    return hasOnlyCharacters(value, sessionCharacters, {20, 256});
}

std::optional<std::string> TelegramAuthContract::normalizedUserCode(std::string_view value) {
    if (!hasOnlyCharacters(value, codeCharacters, {6, 6})) return std::nullopt;
    return std::string(value);
}

std::optional<URL> TelegramAuthContract::validatedDeepLink(const URL& link, std::string_view sessionID,
                                                           std::string_view sessionSecret) {
    if (!isValidSessionID(sessionID) || !isValidSessionSecret(sessionSecret)) return std::nullopt;

    // Scheme and host of an RFC 3986 URL are ASCII, so ASCII lower-casing is the whole mapping.
    const auto scheme = link.scheme();
    if (!scheme || !ascii::equalsIgnoringCase(*scheme, "https")) return std::nullopt;
    const auto host = link.host();
    if (!host || !ascii::equalsIgnoringCase(*host, shortLinkHost)) return std::nullopt;
    if (link.user() || link.password() || link.port() || link.fragment()) return std::nullopt;

    // The rule the whole contract exists for: the secret stays out of anything that is opened.
    if (link.absoluteString().find(sessionSecret) != std::string::npos) return std::nullopt;

    if (link.percentEncodedPath() != botPath) return std::nullopt;

    std::string payload(startPayloadPrefix);
    payload += sessionID;
    const auto query = link.percentEncodedQuery();
    if (!query || *query != std::string(startItemName) + "=" + payload) return std::nullopt;

    const auto items = link.queryItems();
    if (!items || items->size() != 1) return std::nullopt;
    const auto& item = items->front();
    if (item.name != startItemName || item.value != payload) return std::nullopt;

    return link;
}

}  // namespace tarn
