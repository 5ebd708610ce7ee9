// What CurlSession::send does with a request: checks it, follows the redirects the policy allows
// within one deadline, and, with a cache, answers from it or through it.
#pragma once

#include "api/http_cache.hpp"
#include "tarn/api/http.hpp"

#include <asio/awaitable.hpp>

#include <memory>

namespace tarn::detail {

class CurlSessionImpl;

// What the cache planned for one request, kept on the heap (only the cached path pays for it)
// until the answer comes back.
struct CacheExchange {
    std::shared_ptr<HttpCache> cache;
    HttpCache::Plan plan;
    std::shared_ptr<const HttpRequest> request;  // as the cache saw it, before any redirect
    HttpCache::Clock::time_point requested;
};


/// A free coroutine holding the session weakly: its frame may outlive the CurlSession. The request
/// is shared, not copied: the transfer, a redirect and the cache all read the same one. With
/// `cache`, what comes back (or the failure) goes through the cache before the caller sees it.
asio::awaitable<HttpResponse> sendFollowingRedirects(std::weak_ptr<CurlSessionImpl> session, int maxRedirects,
                                                     std::shared_ptr<const HttpRequest> first,
                                                     std::unique_ptr<CacheExchange> cache = nullptr);
/// Asks the cache first: a fresh stored answer skips the network; otherwise the request goes out,
/// with the stored validators when there are some, and the cache makes the answer. Not a
/// coroutine of its own: every call waiting for a connection would carry one more frame.
asio::awaitable<HttpResponse> sendThroughCache(std::weak_ptr<CurlSessionImpl> session, std::shared_ptr<HttpCache> cache,
                                               int maxRedirects, HttpRequest request);

}  // namespace tarn::detail
