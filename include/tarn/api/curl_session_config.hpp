// CurlSessionConfig: the settings of a CurlSession (trusted authorities, a pinned key, a proxy,
// limits on bodies, connections and redirects, the HTTP cache). A header of its own so that BlockingClient, which
// builds its session from one, needs no Asio.
#pragma once

#include "tarn/export.hpp"
#include "tarn/api/http_cache_config.hpp"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace tarn {

struct TARN_EXPORT CurlSessionConfig {
    /// PEM bundle of trusted certificate authorities; the system store when absent. Certificate
    /// and host name verification is always on.
    std::optional<std::string> caFile;
    /// Expected public key of the server in "sha256//<base64>" form (several joined with ";").
    std::optional<std::string> pinnedPublicKey;
    /// Proxy URL as libcurl understands it ("http://host:port", "socks5h://host:port"). Without
    /// one, requests go direct; with one, every request goes through it. Proxy environment
    /// variables (http_proxy, no_proxy and the rest) are not consulted.
    std::optional<std::string> proxy;
    std::optional<std::string> userAgent;
    /// Largest response body accepted; a larger one fails with TransportError tooLarge.
    std::size_t maxBodyBytes = 16 * 1024 * 1024;
    /// Connections opened to one host at most; further transfers wait for a free one.
    long maxConnectionsPerHost = 8;
    /// Requests handed to libcurl at once, across all hosts. libcurl keeps its buffers for a
    /// request (about 18 KB) from the moment it has it, even while the request waits for a
    /// connection; beyond this number requests wait in the session instead, holding only
    /// themselves, and start in the order they came as earlier ones finish. Their timeout runs
    /// while they wait. The default matches the streams one HTTP/2 connection carries at once.
    std::size_t maxTransfersInFlight = 100;
    /// Redirects followed for one request at most.
    int maxRedirects = 10;
    std::chrono::milliseconds connectTimeout{30'000};
    /// Whether one thread alone runs the executor the session is given: an io_context whose
    /// run() a single thread calls, as in BlockingClient and the C interface, which set it
    /// themselves. The session then keeps its work in order on that thread rather than through a
    /// strand of its own, saving a queue and a lock each time libcurl has something to do. Leave
    /// it unset if any other thread may run that executor: two threads would drive libcurl at once.
    bool runByOneThread = false;
    /// The private HTTP cache (RFC 9111) that GET answers go through: an answer the server marks
    /// fresh comes back without the network, a stale one with a validator is revalidated. On by
    /// default, in memory; nullopt turns it off, a directory keeps it across runs.
    std::optional<HttpCacheConfig> cache = HttpCacheConfig{};

    friend bool operator==(const CurlSessionConfig&, const CurlSessionConfig&) = default;
};

}  // namespace tarn
