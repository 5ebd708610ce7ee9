// The origin of an http(s) URL, read from the components tarn::URL parsed.
#include "tarn/platform/origin.hpp"

#include "tarn/platform/ascii.hpp"

namespace tarn {

std::optional<Origin> Origin::of(const URL& url) {
    std::optional<std::string> scheme = url.scheme();
    std::optional<std::string> host = url.host();
    if (!scheme || !host || host->empty()) return std::nullopt;
    Origin origin{ascii::lowered(*scheme), ascii::lowered(*host), 0};
    if (origin.scheme != "http" && origin.scheme != "https") return std::nullopt;
    origin.port = url.port().value_or(origin.scheme == "https" ? 443 : 80);
    return origin;
}

}  // namespace tarn
