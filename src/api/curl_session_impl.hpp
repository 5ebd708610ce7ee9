// The state behind a CurlSession: one libcurl multi handle and the transfers on it, driven on one
// strand (or, when one thread runs the executor, on that thread, which runs its handlers one
// after another already). It admits transfers up to the configured limit and queues the rest,
// starts afresh those a server refused unprocessed, cancels, and answers each caller once libcurl
// is done.
#pragma once

#include "api/curl_handle_pool.hpp"
#include "api/curl_socket_bridge.hpp"
#include "api/curl_transfer.hpp"
#include "api/curl_wait_queue.hpp"
#include "tarn/api/curl_session_config.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <curl/curl.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace tarn::detail {

// Everything below runs in the session's order (entered through post() and dispatch(), "the
// strand" in the comments) unless it says otherwise; libcurl's multi handle is touched nowhere
// else.
class CurlSessionImpl : public std::enable_shared_from_this<CurlSessionImpl> {
public:
    CurlSessionImpl(asio::any_io_executor ioExecutor, CurlSessionConfig cfg);
    ~CurlSessionImpl();

    CurlSessionImpl(const CurlSessionImpl&) = delete;
    CurlSessionImpl& operator=(const CurlSessionImpl&) = delete;

    const CurlSessionConfig config;
    const asio::any_io_executor io;
    std::atomic<bool> used{false};  // any thread

    /// From any thread: runs `f` in the session's order, later.
    template <class F>
    void post(F&& f) const {
        strand_ ? asio::post(*strand_, std::forward<F>(f)) : asio::post(io, std::forward<F>(f));
    }
    /// From any thread: runs `f` in the session's order, right here if that is possible.
    template <class F>
    void dispatch(F&& f) const {
        strand_ ? asio::dispatch(*strand_, std::forward<F>(f)) : asio::dispatch(io, std::forward<F>(f));
    }
    /// The same order as an executor, for binding a handler to it (the strand boxed: a copy may
    /// cost an allocation, so not for every request).
    asio::any_io_executor orderedExecutor() const { return strand_ ? asio::any_io_executor(*strand_) : io; }

    void start(std::shared_ptr<Transfer> transfer);
    void cancel(const std::shared_ptr<Transfer>& transfer);
    void shutdown();
    /// Lets libcurl work on socket `s` (or on its timeouts) and collects what it finished.
    void act(curl_socket_t s, int events);

private:
    // Absent when one thread runs `io`.
    const std::optional<asio::strand<asio::any_io_executor>> strand_;

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
