// HttpCache: the private HTTP cache (RFC 9111, with stale-if-error from RFC 5861) that a session
// puts in front of the network. It decides, without any I/O of the network's, whether a stored
// answer serves a GET, which validators go out with it, and what a 304 or a failure turns into;
// the session only sends what it is told. The rules live in http_cache_policy.hpp, the stores in
// http_cache_store.hpp; this is where they meet, under one lock.
#pragma once

#include "api/http_cache_policy.hpp"
#include "api/http_cache_store.hpp"
#include "tarn/api/http.hpp"
#include "tarn/api/http_cache_config.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tarn::detail {

class HttpCache {
public:
    using Clock = CacheClock;

    explicit HttpCache(const HttpCacheConfig& config);

    /// What the cache makes of one request before anything is sent.
    struct Plan {
        bool takesPart = false;  // false: the cache stays out of this exchange
        std::string key;  // the digest of URL and credentials, made only once something needs it
        bool safe = true;  // a GET; otherwise a success invalidates the stored answer of the URL
        std::optional<CachedAnswer> stored;
        bool found = false;  // something is stored under the key, matching or not
        bool revalidating = false;  // the request carries the stored answer's validators
        /// A stored answer that serves the request without the network.
        std::optional<HttpResponse> answer;
    };

    /// Adds validators to `request` when a stored answer needs revalidation.
    Plan prepare(HttpRequest& request, Clock::time_point now);
    /// The answer the caller gets for what the network said; stores, merges a 304 or forgets.
    HttpResponse finish(const HttpRequest& request, Plan& plan, HttpResponse network, Clock::time_point requested,
                        Clock::time_point received);
    /// The stored answer that may stand in when no answer came, if it allows so (stale-if-error).
    std::optional<HttpResponse> afterFailure(Plan& plan, Clock::time_point now);
    void clear() noexcept;

private:
    // A store that cannot be written (a full disk) leaves answers as the network gave them.
    void keep(const std::string& key, std::string_view url, const CachedAnswer& answer) noexcept;
    void forget(const std::string& key) noexcept;
    bool mayHold(const std::string& url);
    static const std::string& keyOf(Plan& plan, const HttpRequest& request);

    std::mutex mutex_;
    std::unique_ptr<CacheStore> store_;
    std::size_t maxBytes_;
};

}  // namespace tarn::detail
