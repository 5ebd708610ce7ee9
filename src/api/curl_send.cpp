// The redirect loop and the cache around it: one request in, one answer out.
#include "api/curl_send.hpp"

#include "api/curl_perform.hpp"
#include "api/curl_redirect.hpp"
#include "api/header_rules.hpp"
#include "api/http_cache.hpp"
#include "api/use_awaitable_out_of_line.hpp"

#include <asio/this_coro.hpp>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

namespace tarn::detail {

namespace {

using Code = TransportError::Code;

void validate(const HttpRequest& request) {
    if (!isValidHeaderName(request.method)) {
        throw TransportError(Code::other, "the request method is not a valid HTTP method");
    }
    for (const auto& [name, value] : request.headers) {
        // Neither the name nor the value is quoted: either may hold a secret.
        if (!isValidHeaderName(name) || !isSafeHeaderValue(value)) {
            throw TransportError(Code::other, "a request header has a malformed name or value");
        }
    }
}

}  // namespace

namespace {

// The answer as the caller sees it: what the network said, or what the cache made of it. In place,
// since without a cache (most answers) there is nothing to do and nothing should be moved.
void settle(CacheExchange* cache, HttpResponse& response) {
    if (!cache) return;
    response = cache->cache->finish(*cache->request, cache->plan, std::move(response), cache->requested,
                                    HttpCache::Clock::now());
}

// Only a backend out of reach lets a stored answer stand in. A cancelled call wants no answer at
// all; a refused certificate, redirect or size is no outage to paper over.
std::optional<HttpResponse> standIn(CacheExchange* cache, const TransportError& e) {
    if (!cache || (e.code() != Code::timedOut && e.code() != Code::cannotConnect && e.code() != Code::other)) {
        return std::nullopt;
    }
    return cache->cache->afterFailure(cache->plan, HttpCache::Clock::now());
}

asio::awaitable<HttpResponse> answered(HttpResponse stored) { co_return stored; }

asio::awaitable<HttpResponse> failed(std::exception_ptr failure) {
    std::rethrow_exception(failure);
    co_return HttpResponse{};
}

}  // namespace

asio::awaitable<HttpResponse> sendFollowingRedirects(std::weak_ptr<CurlSessionImpl> session, int maxRedirects,
                                                     std::shared_ptr<const HttpRequest> first,
                                                     std::unique_ptr<CacheExchange> cache) {
    std::optional<HttpResponse> stale;
    try {
        validate(*first);
        if (!hasHttpSchemeAndHost(first->url)) {
            throw TransportError(Code::badURL, "the request URL is not an absolute http or https URL");
        }
        // The origin of the first URL decides which redirects keep the credentials; most answers
        // are not redirects, so it is only worked out when one is.
        std::optional<Origin> original;
        const auto deadline = TransferClock::now() + first->timeout;
        // Shared with the transfer rather than copied into it: a redirect needs it again afterwards.
        auto request = std::move(first);
        for (int redirects = 0;; ++redirects) {
            // A cancellation that arrived between two hops had no transfer to abort.
            auto state = co_await asio::this_coro::cancellation_state;
            if (state.cancelled() != asio::cancellation_type::none) std::rethrow_exception(cancelledError());
            auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - TransferClock::now());
            if (remaining.count() <= 0) {
                throw TransportError(Code::timedOut, "the request timeout elapsed");
            }
            HttpResponse response = co_await asyncPerform(session, request, remaining, UseAwaitableOutOfLine{});
            if (!response.isHTTP || !isRedirectStatus(response.statusCode)) {
                settle(cache.get(), response);
                co_return std::move(response);
            }
            if (!original) {
                original = httpOrigin(request->url);  // still the first URL: nothing was followed yet
                if (!original) {
                    throw TransportError(Code::badURL, "the request URL is not an absolute http or https URL");
                }
            }
            auto location = response.header("Location");
            // A field value with a bare CR or another control character breaks HTTP's own grammar
            // (libcurl passes it on): the answer as a whole cannot be trusted.
            if (location && std::any_of(location->begin(), location->end(), [](char c) {
                    return static_cast<unsigned char>(c) < 0x20 && c != '\t';
                })) {
                HttpResponse notHTTP;
                notHTTP.isHTTP = false;
                notHTTP.url = request->url;
                settle(cache.get(), notHTTP);
                co_return std::move(notHTTP);
            }
            auto next = redirectedRequest(*request, *original, response.statusCode, location);
            if (!next) {
                settle(cache.get(), response);
                co_return std::move(response);
            }
            if (redirects >= maxRedirects) {
                throw TransportError(Code::redirectRefused, "more than " + std::to_string(maxRedirects) + " redirects");
            }
            request = std::make_shared<const HttpRequest>(std::move(*next));
        }
    } catch (const TransportError& e) {
        stale = standIn(cache.get(), e);
        if (!stale) throw;
    }
    co_return std::move(*stale);
}

asio::awaitable<HttpResponse> sendThroughCache(std::weak_ptr<CurlSessionImpl> session, std::shared_ptr<HttpCache> cache,
                                               int maxRedirects, HttpRequest request) {
    std::unique_ptr<CacheExchange> exchange;
    try {
        HttpCache::Plan plan = cache->prepare(request, HttpCache::Clock::now());
        if (plan.answer) return answered(std::move(*plan.answer));
        auto shared = std::make_shared<const HttpRequest>(std::move(request));
        if (plan.takesPart) {
            exchange = std::make_unique<CacheExchange>(
                CacheExchange{std::move(cache), std::move(plan), shared, HttpCache::Clock::now()});
        }
        return sendFollowingRedirects(std::move(session), maxRedirects, std::move(shared), std::move(exchange));
    } catch (...) {
        // Failing when awaited, as a coroutine would have.
        return failed(std::current_exception());
    }
}

}  // namespace tarn::detail
