// The session's multi handle and the life of its transfers: admission, the queue beyond the
// limit, cancellation, fresh starts after a refusal, and shutdown.
#include "api/curl_session_impl.hpp"

#include "api/curl_errors.hpp"

#include <asio/post.hpp>

#include <chrono>
#include <mutex>
#include <utility>

namespace tarn::detail {

namespace {

using Code = TransportError::Code;

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw TransportError(Code::other, "libcurl could not be initialised");
        }
    });
}

}  // namespace

CurlSessionImpl::CurlSessionImpl(asio::any_io_executor ioExecutor, CurlSessionConfig cfg)
    : config(std::move(cfg)),
      io(std::move(ioExecutor)),
      strand_(config.runByOneThread ? std::nullopt : std::optional(asio::make_strand(io))) {}

CurlSessionImpl::~CurlSessionImpl() {
    // Reached without shutdown() only when the io_context is torn down with the session's
    // last handler still queued: the callers' executors may be gone, so nobody is resumed.
    for (auto& [easy, transfer] : active_) transfer->completion.reset();
    for (auto& transfer : waiting_.takeAll()) transfer->completion.reset();
    closeMulti();
}

void CurlSessionImpl::start(std::shared_ptr<Transfer> transfer) {
    if (closed_ || transfer->cancelRequested.load()) {
        transfer->complete(cancelledError());
        return;
    }
    if (active_.size() >= config.maxTransfersInFlight) {
        waiting_.hold(std::move(transfer), io, orderedExecutor(), weak_from_this());
        return;
    }
    admit(std::move(transfer));
}

void CurlSessionImpl::cancel(const std::shared_ptr<Transfer>& transfer) {
    if (transfer->waitingAt) {
        waiting_.remove(*transfer);
        transfer->complete(cancelledError());
        return;
    }
    auto it = active_.find(transfer->easy);
    if (transfer->easy == nullptr || it == active_.end()) return;  // not started or finished
    active_.erase(it);
    detach(*transfer);
    transfer->complete(cancelledError());
    admitWaiting();
}

void CurlSessionImpl::shutdown() {
    closed_ = true;
    auto transfers = std::move(active_);
    active_.clear();
    for (auto& [easy, transfer] : transfers) {
        detach(*transfer);
        transfer->complete(cancelledError());
    }
    for (auto& transfer : waiting_.takeAll()) transfer->complete(cancelledError());
    closeMulti();
}

void CurlSessionImpl::admitWaiting() {
    if (admitting_) return;  // admit() acts, and acting comes back here
    admitting_ = true;
    while (!closed_ && !waiting_.empty() && active_.size() < config.maxTransfersInFlight) {
        auto transfer = waiting_.takeOldest();
        if (transfer->cancelRequested.load()) {
            transfer->complete(cancelledError());
        } else if (transfer->timeout.count() <= 0) {
            transfer->complete(CurlWaitQueue::waitTimedOut());
        } else {
            admit(std::move(transfer));
        }
    }
    admitting_ = false;
}

void CurlSessionImpl::admit(std::shared_ptr<Transfer> transfer) {
    try {
        openMulti();
        transfer->easy = pool_.take();
        configureRequest(*transfer, headerLines_, parsedUrls_);
    } catch (...) {
        transfer->complete(std::current_exception());
        return;
    }
    transfer->admittedAt = TransferClock::now();
    const auto rc = bridge_.add(multi_, transfer->easy);
    if (rc != CURLM_OK) {
        transfer->complete(std::make_exception_ptr(TransportError(Code::other, curl_multi_strerror(rc))));
        return;
    }
    active_.emplace(transfer->easy, transfer);
    // Drive the new transfer now rather than waiting for libcurl's timer round trip.
    act(CURL_SOCKET_TIMEOUT, 0);
}

void CurlSessionImpl::openMulti() {
    if (multi_ != nullptr) return;
    initialiseCurlOnce();
    multi_ = curl_multi_init();
    if (multi_ == nullptr) throw TransportError(Code::other, "libcurl could not create a multi handle");
    bridge_.attach(multi_);
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, long{CURLPIPE_MULTIPLEX});
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, config.maxConnectionsPerHost);
}

void CurlSessionImpl::closeMulti() {
    if (multi_ != nullptr) {
        for (auto& [easy, transfer] : active_) detach(*transfer);
        active_.clear();
        pool_.clear();
        // Closes the cached connections; libcurl reports each socket removed on the way.
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
    }
    bridge_.detach();
}

void CurlSessionImpl::detach(Transfer& transfer) {
    CURL* easy = std::exchange(transfer.easy, nullptr);
    if (multi_ == nullptr) {
        curl_easy_cleanup(easy);
        return;
    }
    curl_multi_remove_handle(multi_, easy);
    pool_.giveBack(easy, transfer);
}

void CurlSessionImpl::act(curl_socket_t s, int events) {
    if (multi_ == nullptr) return;
    int running = 0;
    curl_multi_socket_action(multi_, s, events, &running);
    collectFinished();
    admitWaiting();
}

void CurlSessionImpl::collectFinished() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        CURLcode result = message->data.result;
        auto it = active_.find(easy);
        if (it == active_.end()) continue;
        auto transfer = std::move(it->second);
        active_.erase(it);
        if (transfer->refusedUnprocessed) {
            detach(*transfer);
            startAfresh(std::move(transfer));
        } else {
            finish(*transfer, result);
        }
    }
}

// The server refused the request before processing it: it goes out again as a new transfer,
// within what is left of its timeout. Posted, so that libcurl's list of finished transfers
// is read to its end first.
void CurlSessionImpl::startAfresh(std::shared_ptr<Transfer> transfer) {
    Transfer& t = *transfer;
    ++t.refusals;
    t.timeout -= std::chrono::ceil<std::chrono::milliseconds>(TransferClock::now() - t.admittedAt);
    t.resetAttempt();
    if (t.timeout.count() <= 0) {
        t.complete(std::make_exception_ptr(
            TransportError(Code::timedOut, "the request timeout elapsed while the server refused the request")));
        return;
    }
    post([weak = weak_from_this(), transfer = std::move(transfer)]() mutable {
        if (auto self = weak.lock()) {
            self->start(std::move(transfer));
        } else {
            transfer->complete(cancelledError());
        }
    });
}

void CurlSessionImpl::finish(Transfer& t, CURLcode result) {
    TransferInfo info;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &info.status);
    curl_easy_getinfo(t.easy, CURLINFO_REQUEST_SIZE, &info.requestBytes);
    curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &info.osErrno);
    detach(t);
    completeFinished(t, result, info, config.proxy ? std::string_view(*config.proxy) : std::string_view());
}

}  // namespace tarn::detail
