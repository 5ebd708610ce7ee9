// HttpCacheConfig: the settings of the private HTTP cache that a CurlSession keeps by default
// (where it stores answers and how much it may keep). A header of its own so that the session's
// configuration needs neither Asio nor the cache's internals. HttpCacheResult tells where an answer came from.
#pragma once

#include "tarn/export.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>

namespace tarn {

/// Where an answer came from, as far as the session's HTTP cache is concerned.
enum class HttpCacheResult {
    network,          ///< from the server, as usual
    stored,           ///< a fresh stored answer; nothing was sent
    revalidated,      ///< a stored answer the server confirmed (304) and the cache brought up to date
    staleAfterError,  ///< a stale stored answer, given because the server or network failed and it allowed so
};

struct TARN_EXPORT HttpCacheConfig {
    /// Where answers are kept across runs and shared with other processes using the same
    /// directory (created owner-only; each answer one file, replaced atomically). In memory only,
    /// for the life of the session, when absent.
    std::optional<std::filesystem::path> directory;
    /// Stored bytes (bodies and headers) at most; the answers stored longest ago leave first, and
    /// an answer larger than this is not kept.
    std::size_t maxBytes = 8 * 1024 * 1024;

    friend bool operator==(const HttpCacheConfig&, const HttpCacheConfig&) = default;
};

}  // namespace tarn
