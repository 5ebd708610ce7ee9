// The rules of the private HTTP cache (RFC 9111, with stale-if-error from RFC 5861), free of I/O:
// what is keyed how, which requests and answers the cache stays out of, freshness and age,
// validators and the merge of a 304, Vary, and when a stale answer may stand in for a failure.
#pragma once

#include "tarn/api/http.hpp"
#include "tarn/api/http_cache_config.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarn::detail {

using CacheClock = std::chrono::system_clock;

/// One stored answer and what its freshness and matching need.
struct CachedAnswer {
    std::int64_t statusCode = 0;
    HttpHeaders headers;
    std::string body;
    /// When the request went out and when its answer came (RFC 9111 4.2.3).
    CacheClock::time_point requestTime;
    CacheClock::time_point responseTime;
    /// The request header fields the answer varies on: lower-case name and a digest of the value
    /// the request had ("" when it had none). Digests, so that no credential reaches a disk.
    std::vector<std::pair<std::string, std::string>> varied;
    /// Answers to a request with credentials get no heuristic freshness.
    bool authorized = false;

    std::size_t weight() const;
};

/// The key of a request: its URL and credentials, hashed. A change of tokens, let alone of
/// account, finds nothing stored under the old ones, and no token is ever written anywhere.
std::string cacheKey(const HttpRequest& request);

/// Requests the cache keeps out of: the caller's own conditions or ranges, which it must see
/// answered as sent, a one-time session secret, whose answers carry credentials, and no-store.
bool bypassesCache(const HttpRequest& request);

/// Whether `stored` was made for a request like `request` in the fields it varies on.
bool variesAlike(const CachedAnswer& stored, const HttpRequest& request);

/// Whether `stored` serves `request` at `now` without the network: fresh, within the request's
/// own max-age, and neither side asking for revalidation.
bool servesFresh(const CachedAnswer& stored, const HttpRequest& request, CacheClock::time_point now);

/// Adds the stored answer's ETag and Last-Modified as conditions; false when it has neither.
bool addValidators(HttpRequest& request, const CachedAnswer& stored);

/// `stored` after a 304 with `fields` (RFC 9111 4.3.4: its fields replace the stored ones of the
/// same name), received for a request sent at `requested`.
void mergeNotModified(CachedAnswer& stored, const HttpHeaders& fields, CacheClock::time_point requested,
                      CacheClock::time_point received);

/// Whether an answer forbids keeping it (no-store).
bool forbidsStoring(const CachedAnswer& answer);

/// The answer the caller gets from a stored one, with the padding the session gives every body.
HttpResponse responseFrom(const CachedAnswer& answer, HttpCacheResult result);

/// A 500, 502, 503 or 504: what stale-if-error covers besides a failed transfer.
bool isServerFailure(const HttpResponse& response);

/// The stored answer as it may stand in for a failure at `now`, if it allows so.
std::optional<HttpResponse> staleIfError(const CachedAnswer& answer, CacheClock::time_point now);

/// What to keep of the successful (2xx) answer `network` to `request`; nullopt when it may not
/// be stored (no-store on either side, Vary: *, a partial answer, one from a redirect, or nothing
/// that makes it fresh or revalidatable).
std::optional<CachedAnswer> storableAnswer(const HttpRequest& request, const HttpResponse& network,
                                           CacheClock::time_point requested, CacheClock::time_point received);

}  // namespace tarn::detail
