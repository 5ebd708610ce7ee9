// HttpCache: the private HTTP cache (RFC 9111, with stale-if-error from RFC 5861) that a session
// puts in front of the network. It decides, without any I/O of the network's, whether a stored
// answer serves a GET, which validators go out with it, and what a 304 or a failure turns into;
// the session only sends what it is told. Answers are kept in memory or, given a directory, one
// file per answer that other processes using the directory see too.
#pragma once

#include "tarn/api/http.hpp"
#include "tarn/api/http_cache_config.hpp"

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarn::detail {

/// One stored answer and what its freshness and matching need.
struct CachedAnswer {
    std::int64_t statusCode = 0;
    HttpHeaders headers;
    std::string body;
    /// When the request went out and when its answer came (RFC 9111 4.2.3).
    std::chrono::system_clock::time_point requestTime;
    std::chrono::system_clock::time_point responseTime;
    /// The request header fields the answer varies on: lower-case name and a digest of the value
    /// the request had ("" when it had none). Digests, so that no credential reaches a disk.
    std::vector<std::pair<std::string, std::string>> varied;
    /// Answers to a request with credentials get no heuristic freshness.
    bool authorized = false;

    std::size_t weight() const;
};

/// Where answers live: a bounded in-memory map, or a directory. Not thread-safe; HttpCache locks.
class CacheStore {
public:
    virtual ~CacheStore() = default;
    virtual std::optional<CachedAnswer> get(const std::string& key) = 0;
    virtual void put(const std::string& key, const CachedAnswer& answer) = 0;
    virtual void erase(const std::string& key) = 0;
    virtual void clear() = 0;
};

std::unique_ptr<CacheStore> makeMemoryStore(std::size_t maxBytes);
/// Creates the directory (0700) if needed. An entry that cannot be read back whole is removed.
std::unique_ptr<CacheStore> makeDirectoryStore(std::filesystem::path directory, std::size_t maxBytes);

/// The encoding of an entry file, apart for the tests of damaged files.
std::string encodeEntry(const std::string& key, const CachedAnswer& answer);
std::optional<CachedAnswer> decodeEntry(const std::string& key, std::string_view text);

class HttpCache {
public:
    using Clock = std::chrono::system_clock;

    explicit HttpCache(const HttpCacheConfig& config);

    /// What the cache makes of one request before anything is sent.
    struct Plan {
        std::string key;  // empty: the cache stays out of this exchange
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
    void keep(const std::string& key, const CachedAnswer& answer) noexcept;
    void forget(const std::string& key) noexcept;

    std::mutex mutex_;
    std::unique_ptr<CacheStore> store_;
    std::size_t maxBytes_;
};

}  // namespace tarn::detail
