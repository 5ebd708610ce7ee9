// What CurlSession::send does with a request: checks it, follows the redirects the policy allows
// within one deadline, and, with a cache, answers from it or through it.
#pragma once

#include "tarn/api/http.hpp"

#include <asio/awaitable.hpp>

#include <memory>

namespace tarn::detail {

class CurlSessionImpl;
class HttpCache;

/// Free coroutines holding the session weakly: a frame may outlive the CurlSession. The request
/// is shared, not copied: the transfer, a redirect and the cache all read the same one.
asio::awaitable<HttpResponse> sendFollowingRedirects(std::weak_ptr<CurlSessionImpl> session, int maxRedirects,
                                                     std::shared_ptr<const HttpRequest> first);
asio::awaitable<HttpResponse> sendThroughCache(std::weak_ptr<CurlSessionImpl> session, std::shared_ptr<HttpCache> cache,
                                               int maxRedirects, HttpRequest request);

}  // namespace tarn::detail
