// APIClientOptions: how an APIClient (and a BlockingClient) is configured beyond its base URL,
// session and token store: the request timeout, how many calls go at once, the User-Agent, extra headers sent with every
// request, and a hook that observes each HTTP exchange (HttpTrace) without seeing a credential.
#pragma once

#include "tarn/export.hpp"
#include "tarn/api/http_cache_config.hpp"
#include "tarn/api/transport_error.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarn {

/// What the trace hook learns of one HTTP exchange: enough to time and count traffic, never a
/// credential. The refresh of an expired token and the repeat after it are exchanges of their own.
struct TARN_EXPORT HttpTrace {
    std::string method;
    /// The request's path, percent escapes kept; a query keeps its item names only, every value
    /// shows as "<redacted>". Never the host, a header or a body.
    std::string path;
    /// The HTTP status when an answer came, nullopt otherwise.
    std::optional<std::int64_t> statusCode;
    /// The transport failure when no usable answer came (`other` for a failure that was not a
    /// TransportError), nullopt when an answer came.
    std::optional<TransportError::Code> transportError;
    /// From handing the request to the session until its answer or failure.
    std::chrono::microseconds duration{0};
    /// Body bytes of the request and of the answer.
    std::size_t bytesSent = 0;
    std::size_t bytesReceived = 0;
    /// Whether the answer came from the session's HTTP cache (then bytesReceived counts the
    /// stored body, although fewer or no bytes crossed the network).
    HttpCacheResult cacheResult = HttpCacheResult::network;
};

/// How a client may be configured beyond its base URL, session and token store.
struct TARN_EXPORT APIClientOptions {
    /// Plain http is accepted only for loopback hosts ("localhost", 127.0.0.0/8, ::1), where no
    /// one else can read the traffic. Set this to send passwords and tokens unencrypted to any
    /// host, e.g. a staging backend on a private network.
    bool allowPlainHTTP = false;
    /// Bounds each exchange, redirects included (TransportError timedOut). Must be positive.
    std::chrono::milliseconds requestTimeout{60'000};
    /// How many of the client's calls may be under way at once. The others wait for a turn, in
    /// the order they were made, holding only their arguments (nothing is built, read or sent),
    /// so that a burst of thousands of calls costs little memory; time spent waiting counts
    /// towards requestTimeout. The token refresh never waits for a turn. Must be at least 1.
    std::size_t maxCallsInFlight = 100;
    /// Sent as User-Agent with every request; empty sends none of the client's own (the session
    /// may then add its own, e.g. CurlSessionConfig::userAgent).
    std::string userAgent = defaultUserAgent();
    /// Sent with every request, after the client's own Accept and User-Agent (which they may
    /// replace) and before the headers an operation needs. Names must be HTTP tokens; values may
    /// not contain CR, LF or NUL; Authorization, Proxy-Authorization, Cookie, Content-Type,
    /// Content-Length, Transfer-Encoding, Host, Connection and the session-secret headers are the
    /// client's own and refused.
    std::vector<std::pair<std::string, std::string>> extraHeaders{};  // the same type as HttpHeaders
    /// Called once per HTTP exchange when it ends, on whichever thread ended it, possibly on
    /// several threads at once. It must not block for long; what it throws is ignored.
    std::function<void(const HttpTrace&)> trace{};

    /// "tarn-vpn-core/<version of the library>".
    static std::string defaultUserAgent();
};

}  // namespace tarn
