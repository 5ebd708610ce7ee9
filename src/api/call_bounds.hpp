// CallBounds: what ends one call of an OwnedIOClient early, for the clients that offer a per-call
// timeout and cancel (tarn::BlockingClient, the C interface's handle): the cancellation signal
// bound to the call's slot, and the timer of its own timeout. Header-only, as OwnedIOClient is.
//
// Everything here is used on the client's I/O thread only, where the call's slot is bound and its
// completion runs, so nothing needs a lock. Ending a call this way only cancels that caller's wait:
// a token refresh the call shares with others runs on (the refresh gate keeps it apart from its
// waiters), and a request already sent may still have been processed by the backend.
#pragma once

#include "tarn/api/transport_error.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/steady_timer.hpp>

#include <curl/curl.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>

namespace tarn::detail {

class CallBounds {
public:
    using Clock = asio::steady_timer::clock_type;

    asio::cancellation_slot slot() { return signal_.slot(); }

    /// Cancels the call at `deadline` unless it has ended by then. `keepAlive` owns this object,
    /// so that the timer's handler finds it whatever becomes of the call.
    void armTimeout(const asio::any_io_executor& executor, Clock::time_point deadline, std::shared_ptr<void> keepAlive) {
        timer_.emplace(executor, deadline);
        timer_->async_wait([this, keepAlive = std::move(keepAlive)](std::error_code ec) {
            if (ec || ended_) return;
            timedOut_ = true;
            signal_.emit(asio::cancellation_type::terminal);
        });
    }

    /// Asks the call to stop (the caller gave up on it); nothing once it has ended.
    void cancel() {
        if (ended_) return;
        cancelled_ = true;
        signal_.emit(asio::cancellation_type::terminal);
    }

    bool ended() const noexcept { return ended_; }

    /// Called with the call's outcome when it ends. A failure after the call was ended early is
    /// reported as what ended it, whichever step noticed (a transfer, a wait for the refresh or
    /// the store, or Asio's own check between two steps); an answer that arrived in time stands.
    std::exception_ptr end(std::exception_ptr error) {
        ended_ = true;
        if (timer_) timer_->cancel();
        if (!error) return error;
        if (timedOut_) return timeoutError();
        if (cancelled_) return cancelledError();
        return error;
    }

    /// The failure of a request timeout, libcurl's code included, so callers need handle only one.
    static std::exception_ptr timeoutError() {
        return std::make_exception_ptr(
            TransportError(TransportError::Code::timedOut, "the call's timeout elapsed", CURLE_OPERATION_TIMEDOUT));
    }

    static std::exception_ptr cancelledError() {
        return std::make_exception_ptr(TransportError(TransportError::Code::cancelled, "the call was cancelled"));
    }

private:
    asio::cancellation_signal signal_;
    std::optional<asio::steady_timer> timer_;
    bool ended_ = false;
    bool timedOut_ = false;
    bool cancelled_ = false;
};

}  // namespace tarn::detail
