// The queue of calls waiting for a transfer slot. A transfer handed to libcurl holds its buffers
// (about 18 KB) from then on, even while it waits for a connection; beyond the session's
// maxTransfersInFlight, requests wait here instead, holding only their request, and start in
// order as earlier ones finish. A waiting request still fails when its timeout runs out.
#pragma once

#include "api/curl_transfer.hpp"

#include <asio/any_io_executor.hpp>

#include <exception>
#include <list>
#include <memory>

namespace tarn::detail {

/// Runs on the session's strand.
class CurlWaitQueue {
public:
    bool empty() const noexcept { return waiting_.empty(); }

    /// Queues `transfer` last. When its timeout runs out first it leaves the queue and fails with
    /// timedOut, provided `owner` (whatever keeps this queue alive) is still there. The timer
    /// runs on `io`, its expiry in the session's order (`ordered`).
    void hold(std::shared_ptr<Transfer> transfer, const asio::any_io_executor& io,
              const asio::any_io_executor& ordered, std::weak_ptr<const void> owner);
    /// Takes a queued transfer out; the caller holds a reference to it.
    void remove(Transfer& t);
    /// The transfer queued longest, taken out, its timeout reduced by the time it waited.
    std::shared_ptr<Transfer> takeOldest();
    /// Every queued transfer, oldest first, taken out.
    std::list<std::shared_ptr<Transfer>> takeAll();

    static std::exception_ptr waitTimedOut();

private:
    std::list<std::shared_ptr<Transfer>> waiting_;  // oldest first
};

}  // namespace tarn::detail
