// HttpCache: the cache policy applied to one exchange, with the store behind one lock.
#include "api/http_cache.hpp"

#include <utility>

namespace tarn::detail {

namespace {

void forgetLocked(CacheStore& store, const std::string& key) noexcept {
    try {
        store.erase(key);
    } catch (...) {
        // An entry that cannot be removed is replaced or trimmed later; it serves nobody else.
    }
}

}  // namespace

HttpCache::HttpCache(const HttpCacheConfig& config)
    : store_(config.directory ? makeDirectoryStore(*config.directory, config.maxBytes)
                              : makeMemoryStore(config.maxBytes)),
      maxBytes_(config.maxBytes) {}

HttpCache::Plan HttpCache::prepare(HttpRequest& request, Clock::time_point now) {
    Plan plan;
    if (request.method != "GET") {
        // Methods that change nothing need no invalidation; the others do (RFC 9111 4.4).
        if (request.method == "HEAD" || request.method == "OPTIONS" || request.method == "TRACE") return plan;
        plan.takesPart = true;
        plan.safe = false;
        return plan;
    }
    if (bypassesCache(request)) return plan;
    plan.takesPart = true;
    // Hashing the credentials into the key costs more than the rest of the lookup: skipped when
    // nothing is stored for the URL. An answer stored meanwhile is found by the next request.
    if (!mayHold(request.url)) return plan;
    std::optional<CachedAnswer> stored;
    {
        const std::string& key = keyOf(plan, request);
        std::lock_guard lock(mutex_);
        stored = store_->get(key);
    }
    plan.found = stored.has_value();
    if (!stored || !variesAlike(*stored, request)) return plan;
    if (servesFresh(*stored, request, now)) {
        plan.answer = responseFrom(*stored, HttpCacheResult::stored);
        return plan;
    }
    plan.revalidating = addValidators(request, *stored);
    plan.stored = std::move(stored);
    return plan;
}

HttpResponse HttpCache::finish(const HttpRequest& request, Plan& plan, HttpResponse network, Clock::time_point requested,
                               Clock::time_point received) {
    if (!plan.takesPart) return network;
    if (!plan.safe) {
        // Asked now, not when the request went out: an answer stored while it was on its way
        // is as outdated as one stored before.
        if (network.isHTTP && network.statusCode < 400 && mayHold(request.url)) forget(keyOf(plan, request));
        return network;
    }
    if (plan.revalidating && network.isHTTP && network.statusCode == 304) {
        CachedAnswer& updated = *plan.stored;
        mergeNotModified(updated, network.headers, requested, received);
        if (forbidsStoring(updated) || updated.weight() > maxBytes_) {
            forget(plan.key);
        } else {
            keep(plan.key, request.url, updated);
        }
        HttpResponse response = responseFrom(updated, HttpCacheResult::revalidated);
        response.url = std::move(network.url);
        return response;
    }
    if (plan.stored && isServerFailure(network)) {
        if (auto stale = staleIfError(*plan.stored, received)) return std::move(*stale);
    }
    const bool success = network.isHTTP && network.statusCode >= 200 && network.statusCode <= 299;
    if (!success) return network;
    auto answer = storableAnswer(request, network, requested, received);
    if (!answer) {
        // What is stored no longer stands for what the server says now. Only then: on a disk
        // store every removal is a system call, and most answers were never stored.
        if (plan.found) forget(plan.key);
        return network;
    }
    if (answer->weight() <= maxBytes_) {
        keep(keyOf(plan, request), request.url, *answer);
    } else if (mayHold(request.url)) {
        forget(keyOf(plan, request));
    }
    return network;
}

void HttpCache::keep(const std::string& key, std::string_view url, const CachedAnswer& answer) noexcept {
    std::lock_guard lock(mutex_);
    try {
        store_->put(key, url, answer);
    } catch (...) {
        forgetLocked(*store_, key);
    }
}

bool HttpCache::mayHold(const std::string& url) {
    std::lock_guard lock(mutex_);
    return store_->mayHold(url);
}

const std::string& HttpCache::keyOf(Plan& plan, const HttpRequest& request) {
    if (plan.key.empty()) plan.key = cacheKey(request);
    return plan.key;
}

void HttpCache::forget(const std::string& key) noexcept {
    std::lock_guard lock(mutex_);
    forgetLocked(*store_, key);
}

std::optional<HttpResponse> HttpCache::afterFailure(Plan& plan, Clock::time_point now) {
    if (!plan.safe || !plan.stored) return std::nullopt;
    return staleIfError(*plan.stored, now);
}

void HttpCache::clear() noexcept {
    std::lock_guard lock(mutex_);
    try {
        store_->clear();
    } catch (...) {
        // Keyed by the credentials, what remains cannot reach another account either.
    }
}

}  // namespace tarn::detail
