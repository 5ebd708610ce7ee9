// The state behind a CurlSession: one libcurl multi handle and the transfers on it, driven on one
// strand. It admits transfers up to the configured limit and queues the rest, starts afresh
// those a server refused unprocessed, cancels, and answers each caller once libcurl is done.
#pragma once

#include "api/curl_handle_pool.hpp"
#include "api/curl_socket_bridge.hpp"
#include "api/curl_transfer.hpp"
#include "api/curl_wait_queue.hpp"
#include "tarn/api/curl_session_config.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/strand.hpp>
#include <curl/curl.h>

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>

namespace tarn::detail {

// Everything below runs on `strand` unless it says otherwise; libcurl's multi handle is touched
// nowhere else.
class CurlSessionImpl : public std::enable_shared_from_this<CurlSessionImpl> {
public:
    CurlSessionImpl(asio::any_io_executor ioExecutor, CurlSessionConfig cfg);
    ~CurlSessionImpl();

    CurlSessionImpl(const CurlSessionImpl&) = delete;
    CurlSessionImpl& operator=(const CurlSessionImpl&) = delete;

    const CurlSessionConfig config;
    const asio::any_io_executor io;
    const asio::strand<asio::any_io_executor> strand;
    std::atomic<bool> used{false};  // any thread

    void start(std::shared_ptr<Transfer> transfer);
    void cancel(const std::shared_ptr<Transfer>& transfer);
    void shutdown();
    /// Lets libcurl work on socket `s` (or on its timeouts) and collects what it finished.
    void act(curl_socket_t s, int events);

private:
    void admitWaiting();
    void admit(std::shared_ptr<Transfer> transfer);
    void openMulti();
    void closeMulti();
    void detach(Transfer& transfer);
    void collectFinished();
    void startAfresh(std::shared_ptr<Transfer> transfer);
    void finish(Transfer& t, CURLcode result);

    CURLM* multi_ = nullptr;
    CurlSocketBridge bridge_{*this};
    CurlHandlePool pool_{config, bridge_};
    CurlWaitQueue waiting_;
    HeaderLines headerLines_;
    CurlParsedUrls parsedUrls_;
    std::unordered_map<CURL*, std::shared_ptr<Transfer>> active_;
    bool closed_ = false;
    bool admitting_ = false;
};

}  // namespace tarn::detail
