// Where the cache's answers live: a bounded in-memory map, or a directory shared with other
// processes, one file per answer. Stores only keep and return what they are given; what may be
// kept is the cache policy's decision.
#pragma once

#include "api/http_cache_policy.hpp"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::detail {

/// Not thread-safe; HttpCache locks.
class CacheStore {
public:
    virtual ~CacheStore() = default;
    virtual std::optional<CachedAnswer> get(const std::string& key) = 0;
    /// `url` is the request's; a store may use it to tell cheaply that it holds nothing for a URL.
    virtual void put(const std::string& key, std::string_view url, const CachedAnswer& answer) = 0;
    virtual void erase(const std::string& key) = 0;
    virtual void clear() = 0;
    /// False only when nothing is stored for `url` under any key. It spares a request the
    /// digest of its key when there is nothing to find, which is most requests.
    virtual bool mayHold(std::string_view url) const = 0;
};

std::unique_ptr<CacheStore> makeMemoryStore(std::size_t maxBytes);
/// Creates the directory (0700) if needed. An entry that cannot be read back whole is removed.
std::unique_ptr<CacheStore> makeDirectoryStore(std::filesystem::path directory, std::size_t maxBytes);

/// The encoding of an entry file, apart for the tests of damaged files.
std::string encodeEntry(const std::string& key, const CachedAnswer& answer);
std::optional<CachedAnswer> decodeEntry(const std::string& key, std::string_view text);

}  // namespace tarn::detail
