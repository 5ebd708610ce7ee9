// The transport seen by the client: one HTTP exchange at a time through an HttpSession, which
// answers with any HTTP response (whatever its status) or throws TransportError. Mapping statuses
// to outcomes is the request pipeline's job, not the session's.
#pragma once

#include "tarn/export.hpp"
#include "tarn/api/http_cache_config.hpp"
#include "tarn/api/transport_error.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarn {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct TARN_EXPORT HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;             // in the order they are sent; names compared case-insensitively
    std::optional<std::string> body;
    std::chrono::milliseconds timeout{60'000};

    /// Sets a header, replacing one of the same name (case-insensitive).
    void setHeader(std::string name, std::string value);
    /// The value of a header (case-insensitive name), or nullopt.
    std::optional<std::string> header(std::string_view name) const;
};

struct TARN_EXPORT HttpResponse {
    /// False when what came back was not an HTTP response at all.
    bool isHTTP = true;
    std::int64_t statusCode = 0;
    HttpHeaders headers;
    std::string body;
    /// The URL that gave this answer: the request's own, or the target of the last redirect
    /// followed. Empty when the session does not say; it is then taken to be the request's.
    std::string url;
    HttpCacheResult cacheResult = HttpCacheResult::network;

    std::optional<std::string> header(std::string_view name) const;
};


/// Sends one request. Implementations must be safe to call from many coroutines on many threads
/// at once and must resume the caller on the caller's own executor.
class TARN_EXPORT HttpSession {
public:
    virtual ~HttpSession() = default;
    /// Throws TransportError; honours cancellation of the awaiting coroutine.
    virtual asio::awaitable<HttpResponse> send(HttpRequest request) = 0;
    /// The executor the session does its I/O on: APIClient runs the operations started with a
    /// completion token other than use_awaitable there. The default, an empty executor, says the
    /// session has none of its own.
    virtual asio::any_io_executor executor() const;
    /// Forgets every stored answer. APIClient calls it wherever it clears the token store, so that
    /// one account's answers never reach another. The default does nothing: a session without a
    /// cache has nothing to forget; a session that wraps another must pass the call on. Must not
    /// throw.
    virtual void clearCache() noexcept;
};

}  // namespace tarn
