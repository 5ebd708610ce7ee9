// Parses arbitrary text as a URL and asks every question of the result: each component, the query
// items, path appending and the base-URL check. A URL must parse again from its own text to the
// same value, and appending a path must give text that parses.
#include "tarn/api/api_client.hpp"
#include "tarn/platform/url.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The input doubles as a path to append: everything after the first newline.
    const std::size_t split = text.find('\n');
    auto url = tarn::URL::parse(text.substr(0, split));
    if (!url) return 0;
    (void)url->scheme(), (void)url->host(), (void)url->user(), (void)url->password(), (void)url->port();
    (void)url->fragment(), (void)url->percentEncodedPath(), (void)url->percentEncodedQuery(), (void)url->queryItems();
    (void)tarn::APIClient::isUsableBaseURL(*url);
    auto again = tarn::URL::parse(url->absoluteString());
    if (!again || !(*again == *url) || again->host() != url->host() || again->port() != url->port()) std::abort();
    if (split != std::string_view::npos) {
        const tarn::URL appended = url->appendingPath(text.substr(split + 1));
        if (!tarn::URL::parse(appended.absoluteString())) std::abort();
        if (appended.scheme() != url->scheme() || appended.host() != url->host()) std::abort();
    }
    return 0;
}
