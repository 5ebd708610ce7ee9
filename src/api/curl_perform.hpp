// Starting one transfer for a caller, whatever its completion token: the handler is wrapped in
// the transfer, the caller's cancellation slot aborts the transfer from any thread, and the
// transfer starts on the session's strand.
#pragma once

#include "api/curl_completion.hpp"
#include "api/curl_errors.hpp"
#include "api/curl_session_impl.hpp"
#include "api/curl_transfer.hpp"
#include "tarn/api/http.hpp"

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/system_executor.hpp>

#include <chrono>
#include <memory>
#include <utility>

namespace tarn::detail {

// Installed in the caller's cancellation slot; runs on whatever thread emits the cancellation.
struct CancelTransfer {
    CancelTransfer(std::weak_ptr<CurlSessionImpl> s, std::weak_ptr<Transfer> t)
        : session(std::move(s)), transfer(std::move(t)) {}

    std::weak_ptr<CurlSessionImpl> session;
    std::weak_ptr<Transfer> transfer;

    void operator()(asio::cancellation_type type) const {
        if ((type & (asio::cancellation_type::terminal | asio::cancellation_type::partial |
                     asio::cancellation_type::total)) == asio::cancellation_type::none) {
            return;
        }
        auto t = transfer.lock();
        if (!t) return;
        t->cancelRequested.store(true);
        if (auto s = session.lock()) {
            s->post([s, t] { s->cancel(t); });
        }
    }
};

struct InitiatePerform {
    template <class Handler>
    void operator()(Handler handler, std::weak_ptr<CurlSessionImpl> weak, std::shared_ptr<const HttpRequest> request,
                    std::chrono::milliseconds timeout) const {
        auto session = weak.lock();
        asio::any_io_executor fallback = session ? session->io : asio::any_io_executor(asio::system_executor());
        std::size_t cap = session ? session->config.maxBodyBytes : 0;
        auto transfer = std::make_shared<Transfer>(std::move(request), timeout, cap);
        auto slot = asio::get_associated_cancellation_slot(handler);
        transfer->completion = std::make_unique<HandlerCompletion<Handler>>(std::move(handler), fallback);
        if (!session) {
            transfer->complete(cancelledError());
            return;
        }
        session->used.store(true);
        if (slot.is_connected()) slot.template emplace<CancelTransfer>(weak, transfer);
        // Dispatched, not posted: on a thread that runs the session's io_context and finds the
        // strand free, the transfer starts right here. A post would put one more handler in the
        // queue, and Asio polls the reactor once more (an extra epoll_wait) before running it.
        session->dispatch([session, transfer]() mutable { session->start(std::move(transfer)); });
    }
};

/// One exchange, without redirects: completes with the answer, or a TransportError.
template <class Token>
auto asyncPerform(std::weak_ptr<CurlSessionImpl> session, std::shared_ptr<const HttpRequest> request,
                  std::chrono::milliseconds timeout, Token&& token) {
    return asio::async_initiate<Token, void(std::exception_ptr, HttpResponse)>(InitiatePerform{}, token,
                                                                               std::move(session), std::move(request),
                                                                               timeout);
}

}  // namespace tarn::detail
