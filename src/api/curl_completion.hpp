// How a transfer resumes its caller, whatever the type of the caller's completion handler: the
// handler is wrapped once, when the call starts, and resumed on the caller's own executor.
#pragma once

#include "tarn/api/http.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>

#include <exception>
#include <utility>

namespace tarn::detail {

class Completion {
public:
    virtual ~Completion() = default;
    virtual void complete(std::exception_ptr error, HttpResponse&& response) = 0;
};

template <class Handler>
class HandlerCompletion final : public Completion {
public:
    HandlerCompletion(Handler handler, const asio::any_io_executor& fallback)
        : handler_(std::move(handler)),
          work_(asio::prefer(asio::get_associated_executor(handler_, fallback),
                             asio::execution::outstanding_work.tracked)) {}

    void complete(std::exception_ptr error, HttpResponse&& response) override {
        // Posted, never run inline: the caller resumes on its own executor, and the session's
        // strand is not held while it runs. Once posted, the handler itself is the executor's
        // outstanding work, so the guard goes when the post returns.
        const asio::any_io_executor work = std::move(work_);
        asio::post(work, [handler = std::move(handler_), error = std::move(error),
                          response = std::move(response)]() mutable {
            // Cleared on the caller's executor, where cancellation is emitted as well.
            asio::get_associated_cancellation_slot(handler).clear();
            std::move(handler)(std::move(error), std::move(response));
        });
    }

private:
    Handler handler_;
    asio::any_io_executor work_;
};

}  // namespace tarn::detail
