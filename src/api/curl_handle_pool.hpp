// The session's spare libcurl easy handles. A kept handle saves creating one per request, and
// keeps its TLS session cache; each carries the options every request of the session shares, set
// once when the handle is made.
#pragma once

#include "api/curl_socket_bridge.hpp"
#include "api/curl_transfer.hpp"
#include "tarn/api/curl_session_config.hpp"

#include <curl/curl.h>

#include <cstddef>
#include <vector>

namespace tarn::detail {

class CurlHandlePool {
public:
    CurlHandlePool(const CurlSessionConfig& config, CurlSocketBridge& bridge) : config_(config), bridge_(bridge) {}
    ~CurlHandlePool() { clear(); }
    CurlHandlePool(const CurlHandlePool&) = delete;
    CurlHandlePool& operator=(const CurlHandlePool&) = delete;

    /// A handle with the session's options, spare or new. Throws TransportError.
    CURL* take() {
        if (spare_.empty()) return made();
        CURL* easy = spare_.back();
        spare_.pop_back();
        return easy;
    }
    /// Takes back the handle `transfer` finished with, already out of the multi handle: kept when
    /// it can serve another request as it is, cleaned up otherwise.
    void giveBack(CURL* easy, const Transfer& transfer);
    void clear();

private:
    static constexpr std::size_t kSpareHandles = 16;

    CURL* made();
    void setSessionOptions(CURL* easy);

    const CurlSessionConfig& config_;
    CurlSocketBridge& bridge_;
    std::vector<CURL*> spare_;  // configured with the session's options, ready for a request
};

}  // namespace tarn::detail
