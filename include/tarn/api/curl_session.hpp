// CurlSession: the library's HttpSession, built on libcurl's multi interface and driven by an Asio
// executor. Many transfers share one multi handle (no thread per request), connections are reused
// (keep-alive, HTTP/2 multiplexing over TLS), redirects are followed by the session's own policy,
// and nothing starts until the first request.
#pragma once

#include "tarn/export.hpp"
#include "tarn/api/curl_session_config.hpp"
#include "tarn/api/http.hpp"

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace tarn {

namespace detail {
class CurlSessionImpl;
class HttpCache;
}

/// An HttpSession that sends requests with libcurl.
///
/// libcurl is driven from `ioExecutor` (all access to it is serialised internally, so the
/// io_context may be run by several threads, unless CurlSessionConfig::runByOneThread says one
/// thread runs it); each caller is resumed on its own executor.
/// HttpRequest::timeout bounds the whole exchange, redirects included (TransportError timedOut).
/// Cancelling the awaiting coroutine aborts the transfer (TransportError cancelled).
///
/// Redirects: 301/302/303/307/308 are followed up to `maxRedirects`; https -> http is refused; a
/// request carrying "Authorization", "Cookie", "X-Tarn-Auth-Session-Secret" or a body is never
/// sent to another origin than its first (redirectRefused). 303, and 301/302 after a POST,
/// continue as a GET without body. HttpResponse::url names the URL that answered.
///
/// The path is sent as written: "." and ".." segments are not removed.
///
/// A POST, PATCH or DELETE the server may have acted on is sent at most once. libcurl resends a
/// request whose reused connection died before any answer; for these methods the failure is
/// reported instead (TransportError other). To keep that from happening to a connection the
/// server closed for idleness, they only reuse connections idle for less than a second. Other
/// methods are resent on a new connection, as libcurl does.
///
/// A request an HTTP/2 server refused unprocessed (RST_STREAM REFUSED_STREAM, or a GOAWAY below
/// its stream) is sent again whatever its method, on a new connection, up to ten times within its
/// timeout. Over HTTP/1.1 a refusal cannot be told from a connection that died after the request.
///
/// An answer whose Content-Length fields disagree comes back with isHTTP false; one whose
/// headers exceed 256 KiB in all fails with tooLarge.
///
/// An answer that is not HTTP at all (no valid status line) comes back as an HttpResponse with
/// isHTTP false.
///
/// Caching (CurlSessionConfig::cache, on by default, in memory): a private HTTP cache after
/// RFC 9111. A GET answer the server marks fresh (Cache-Control max-age, Expires) comes back
/// without the network (HttpResponse::cacheResult `stored`); a stale one is revalidated with its
/// ETag / Last-Modified and a 304 answers with the stored body (`revalidated`); no-store is never
/// kept, no-cache always revalidated, Vary respected. Answers to requests with credentials get no
/// heuristic freshness, and the credentials are part of the key (hashed), so a change of tokens
/// finds nothing of the old ones. Where the server allowed it (stale-if-error), a stale answer
/// stands in for a 500/502/503/504 or for a transfer that timed out, could not connect or broke off
/// (`staleAfterError`); never for a cancelled one, nor a TLS, redirect or size failure.
/// A request with its own conditions or a Range goes out as it is. A successful POST, PUT, PATCH
/// or DELETE forgets the stored answer of its URL. clearCache() forgets everything.
///
/// A response body always has at least 64 bytes of spare capacity, the padding simdjson reads
/// past the end of its input, so that it can be parsed in place.
///
/// A non-positive HttpRequest::timeout fails at once with timedOut (libcurl would read 0 as
/// "no limit").
///
/// Thread safety: send() may be called from any thread and coroutine at once. Destroy the
/// session before its io_context; transfers still in flight then fail with TransportError
/// cancelled.
class TARN_EXPORT CurlSession final : public HttpSession {
public:
    /// Throws std::invalid_argument for a configuration that cannot work (no connection allowed,
    /// a negative redirect limit, a zero body cap, cache bound or timeout, a pin not in "sha256//"
    /// form), std::filesystem::filesystem_error when the cache directory cannot be created.
    explicit CurlSession(asio::any_io_executor ioExecutor, CurlSessionConfig config = {});
    ~CurlSession() override;

    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    /// Throws TransportError; the header names and values must not contain line breaks (other).
    asio::awaitable<HttpResponse> send(HttpRequest request) override;
    /// The executor the session was built with.
    asio::any_io_executor executor() const override;
    /// Forgets every stored answer, on disk too. Other processes sharing the cache directory find
    /// it empty as well.
    void clearCache() noexcept override;

    const CurlSessionConfig& config() const noexcept;

private:
    std::shared_ptr<detail::CurlSessionImpl> impl_;
    std::shared_ptr<detail::HttpCache> cache_;  // null when the configuration turns caching off
};

}  // namespace tarn
