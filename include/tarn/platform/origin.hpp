// The origin of an http(s) URL (RFC 6454): scheme, host and port, the unit that decides whether
// an answer came from the server a request was meant for.
#pragma once

#include "tarn/export.hpp"
#include "tarn/platform/url.hpp"

#include <optional>
#include <string>

namespace tarn {

/// Scheme and host lower-cased (ASCII), the default port filled in.
struct TARN_EXPORT Origin {
    std::string scheme;
    std::string host;
    int port = 0;
    friend bool operator==(const Origin&, const Origin&) = default;

    /// The origin of an absolute http or https URL with a host; nullopt for anything else.
    static std::optional<Origin> of(const URL& url);
};

}  // namespace tarn
