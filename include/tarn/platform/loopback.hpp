// Whether a host or an address can only be this machine. Header-only on purpose: the development
// backend, which never links the library, refuses to listen anywhere else by the same rule.
#pragma once

#include "tarn/platform/ascii.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>
#include <string_view>

namespace tarn {

/// 127.0.0.0/8.
inline bool isLoopbackAddress(const in_addr& address) noexcept { return (ntohl(address.s_addr) >> 24) == 127; }

/// ::1 and IPv4-mapped 127.0.0.0/8.
inline bool isLoopbackAddress(const in6_addr& address) noexcept {
    if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
    return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
}

/// Whether `host` (as URL::host() gives it: IP literals without brackets) names this machine
/// without asking DNS: "localhost" and its subdomains, with or without the final dot, and loopback
/// address literals.
inline bool isLoopbackHost(std::string_view host) {
    std::string lower = ascii::lowered(host);
    if (!lower.empty() && lower.back() == '.') lower.pop_back();  // "localhost." is the same name
    // Resolvers and libcurl answer "localhost" and its subdomains with loopback addresses without
    // asking DNS, so no network can redirect them.
    constexpr std::string_view local = "localhost", dotLocal = ".localhost";
    if (lower == local || (lower.size() > dotLocal.size() && lower.ends_with(dotLocal))) return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, lower.c_str(), &v4) == 1) return isLoopbackAddress(v4);
    in6_addr v6{};
    return ::inet_pton(AF_INET6, lower.c_str(), &v6) == 1 && isLoopbackAddress(v6);
}

}  // namespace tarn
