// CurlSession itself: checks its configuration, owns the session state and the cache, and hands
// each request to the send path.
#include "tarn/api/curl_session.hpp"

#include "api/curl_send.hpp"
#include "api/curl_session_impl.hpp"
#include "api/http_cache.hpp"

#include <asio/post.hpp>

#include <stdexcept>
#include <utility>

namespace tarn {
namespace detail {
namespace {

CurlSessionConfig checked(CurlSessionConfig config) {
    if (config.maxConnectionsPerHost < 1) throw std::invalid_argument("maxConnectionsPerHost must be at least 1");
    if (config.maxTransfersInFlight < 1) throw std::invalid_argument("maxTransfersInFlight must be at least 1");
    if (config.maxRedirects < 0) throw std::invalid_argument("maxRedirects must not be negative");
    if (config.maxBodyBytes == 0) throw std::invalid_argument("maxBodyBytes must be positive");
    if (config.connectTimeout.count() <= 0) throw std::invalid_argument("connectTimeout must be positive");
    if (config.pinnedPublicKey && config.pinnedPublicKey->rfind("sha256//", 0) != 0) {
        // libcurl would read anything else as the path of a key file.
        throw std::invalid_argument("pinnedPublicKey must have the form sha256//<base64>");
    }
    return config;
}

std::shared_ptr<HttpCache> makeCache(const CurlSessionConfig& config) {
    if (!config.cache) return nullptr;
    if (config.cache->maxBytes == 0) throw std::invalid_argument("cache.maxBytes must be positive");
    return std::make_shared<HttpCache>(*config.cache);
}

}  // namespace
}  // namespace detail

CurlSession::CurlSession(asio::any_io_executor ioExecutor, CurlSessionConfig config)
    : impl_(std::make_shared<detail::CurlSessionImpl>(std::move(ioExecutor), detail::checked(std::move(config)))),
      cache_(detail::makeCache(impl_->config)) {}

CurlSession::~CurlSession() {
    if (!impl_->used.load()) return;  // nothing was ever started, so nothing needs the strand
    // Held here too while the post takes its copy of the executor from the session.
    std::shared_ptr<detail::CurlSessionImpl> impl = std::move(impl_);
    impl->post([impl] { impl->shutdown(); });
}

const CurlSessionConfig& CurlSession::config() const noexcept { return impl_->config; }

asio::any_io_executor CurlSession::executor() const { return impl_->io; }

asio::awaitable<HttpResponse> CurlSession::send(HttpRequest request) {
    // A free coroutine holding a weak reference: the frame may outlive this object.
    if (cache_) return detail::sendThroughCache(impl_, cache_, impl_->config.maxRedirects, std::move(request));
    return detail::sendFollowingRedirects(impl_, impl_->config.maxRedirects,
                                          std::make_shared<const HttpRequest>(std::move(request)));
}

void CurlSession::clearCache() noexcept {
    if (cache_) cache_->clear();
}

}  // namespace tarn
