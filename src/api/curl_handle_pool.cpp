// The spare easy handles of a session and the options they all carry.
#include "api/curl_handle_pool.hpp"

#include "api/curl_errors.hpp"

namespace tarn::detail {

CURL* CurlHandlePool::made() {
    CURL* easy = curl_easy_init();
    if (easy == nullptr) throw TransportError(TransportError::Code::other, "libcurl could not create a transfer");
    try {
        setSessionOptions(easy);
    } catch (...) {
        curl_easy_cleanup(easy);
        throw;
    }
    return easy;
}

void CurlHandlePool::giveBack(CURL* easy, const Transfer& transfer) {
    // One that repeated its request keeps libcurl's count of repeats, which would shorten the next
    // request's allowance; one that asked for a fresh connection would keep asking.
    if (spare_.size() >= kSpareHandles || transfer.sendAttempts > 1 || transfer.refusedUnprocessed ||
        transfer.refusals > 0) {
        curl_easy_cleanup(easy);
        return;
    }
    if (transfer.methodOptionsSet) {
        // The method and body options would carry over to the next request: start afresh.
        curl_easy_reset(easy);
        try {
            setSessionOptions(easy);
        } catch (...) {
            curl_easy_cleanup(easy);
            return;
        }
    } else {
        // A plain GET only set options that every request sets again; just drop the pointers
        // into the finished transfer.
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
        curl_easy_setopt(easy, CURLOPT_CURLU, static_cast<CURLU*>(nullptr));
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
        curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void*>(nullptr));
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, static_cast<void*>(nullptr));
    }
    spare_.push_back(easy);
}

void CurlHandlePool::clear() {
    for (CURL* easy : spare_) curl_easy_cleanup(easy);
    spare_.clear();
}

// What every request of this session shares, set once per handle rather than per request.
void CurlHandlePool::setSessionOptions(CURL* e) {
    auto set = [e](CURLoption option, auto value) { setCurlOption(e, option, value); };
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    // Identifiers go into paths unchanged; libcurl would otherwise resolve "." and ".." and
    // send the request to another resource than the one the caller named.
    set(CURLOPT_PATH_AS_IS, 1L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_FOLLOWLOCATION, 0L);  // the session follows redirects itself
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(config_.connectTimeout.count()));
    set(CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_2TLS});
    set(CURLOPT_PIPEWAIT, 1L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (config_.caFile) set(CURLOPT_CAINFO, config_.caFile->c_str());
    if (config_.pinnedPublicKey) set(CURLOPT_PINNEDPUBLICKEY, config_.pinnedPublicKey->c_str());
    // An empty proxy stops libcurl from reading http_proxy and friends from the environment:
    // the session is configured by its constructor alone.
    set(CURLOPT_PROXY, config_.proxy ? config_.proxy->c_str() : "");
    // Nor does no_proxy decide which hosts bypass a configured proxy: none does.
    set(CURLOPT_NOPROXY, "");
    if (config_.userAgent) set(CURLOPT_USERAGENT, config_.userAgent->c_str());
    bridge_.openConnectionsOf(e);
    setTransferCallbacks(e);
}

}  // namespace tarn::detail
