// The queue of calls waiting for a transfer slot, with the timer that ends each wait.
#include "api/curl_wait_queue.hpp"

#include "tarn/api/transport_error.hpp"

#include <asio/bind_executor.hpp>

#include <chrono>
#include <utility>

namespace tarn::detail {

void CurlWaitQueue::hold(std::shared_ptr<Transfer> transfer, const asio::any_io_executor& io,
                         const asio::any_io_executor& ordered, std::weak_ptr<const void> owner) {
    Transfer& t = *transfer;
    t.queuedAt = TransferClock::now();
    // The strand is bound to the handler, not given to the timer: see the socket bridge.
    t.waitTimer.emplace(io, t.timeout);
    t.waitTimer->async_wait(asio::bind_executor(
        ordered, [this, owner = std::move(owner), held = std::weak_ptr<Transfer>(transfer)](const asio::error_code& ec) {
            if (ec) return;
            auto alive = owner.lock();
            auto waiting = held.lock();
            if (!alive || !waiting || !waiting->waitingAt) return;
            remove(*waiting);
            waiting->complete(waitTimedOut());
        }));
    waiting_.push_back(std::move(transfer));
    t.waitingAt = std::prev(waiting_.end());
}

void CurlWaitQueue::remove(Transfer& t) {
    waiting_.erase(*t.waitingAt);  // may destroy nothing: the caller holds a reference
    t.waitingAt.reset();
    if (t.waitTimer) t.waitTimer->cancel();
}

std::shared_ptr<Transfer> CurlWaitQueue::takeOldest() {
    auto transfer = waiting_.front();
    remove(*transfer);
    transfer->waitTimer.reset();
    transfer->timeout -= std::chrono::ceil<std::chrono::milliseconds>(TransferClock::now() - transfer->queuedAt);
    return transfer;
}

std::list<std::shared_ptr<Transfer>> CurlWaitQueue::takeAll() {
    auto held = std::move(waiting_);
    waiting_.clear();
    for (auto& transfer : held) {
        transfer->waitingAt.reset();
        transfer->waitTimer.reset();
    }
    return held;
}

std::exception_ptr CurlWaitQueue::waitTimedOut() {
    return std::make_exception_ptr(TransportError(
        TransportError::Code::timedOut, "the request timeout elapsed while the request waited for a connection"));
}

}  // namespace tarn::detail
