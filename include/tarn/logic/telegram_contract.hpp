// The rules the client applies to a Telegram bot login: the flow version it speaks, the shape of
// session identifiers, secrets and user codes, and the exact form of a bot deep link the
// application may open. The session secret must never travel in that link; only the identifier.
#pragma once

#include "tarn/export.hpp"
#include "tarn/platform/url.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

struct TARN_EXPORT TelegramAuthContract {
    /// The login flow this client speaks; sent as "2" when a session is created.
    static constexpr std::int64_t flowVersion = 2;

    /// Telegram's public short-link host, the only host a bot deep link may name.
    static constexpr std::string_view shortLinkHost = "t.me";

    /// 20 to 128 characters of the URL-safe Base64 alphabet (A-Z a-z 0-9 "_" "-"; no "=").
    static bool isValidSessionID(std::string_view value);

    /// 20 to 256 characters of the URL-safe Base64 alphabet.
    static bool isValidSessionSecret(std::string_view value);

    /// value unchanged when it is exactly six ASCII digits, otherwise nullopt. Nothing is trimmed
    /// or converted: callers that accept surrounding spaces trim them first.
    static std::optional<std::string> normalizedUserCode(std::string_view value);

    /// link itself when it is exactly https://t.me/tarnvpn_bot?start=ios_auth_<sessionID>
    /// (scheme and host in any case; nothing else: no user, password, port, fragment or further
    /// query item), both session values are well-formed, and sessionSecret appears nowhere in it.
    /// Otherwise nullopt.
    static std::optional<URL> validatedDeepLink(const URL& link, std::string_view sessionID,
                                                std::string_view sessionSecret);
};

}  // namespace tarn
