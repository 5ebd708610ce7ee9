// UseAwaitableOutOfLine: a completion token for operations that may complete on another thread
// before their initiation has returned (a libcurl transfer, a token store call on its own thread).
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/use_awaitable.hpp>

#include <type_traits>

namespace tarn::detail {

// Like asio::use_awaitable, except that the initiation runs in a function of its own. Before
// version 19, clang may keep the temporaries of an inlined await_suspend in the coroutine frame;
// when the operation completes on another thread before the initiation has returned, that frame
// has already been freed (seen under ThreadSanitizer). Asio 1.22 applies the same cure for
// Apple clang 13 only.
struct UseAwaitableOutOfLine {};

}  // namespace tarn::detail

template <typename R, typename... Args>
class asio::async_result<tarn::detail::UseAwaitableOutOfLine, R(Args...)> {
public:
    using handler_type = asio::detail::awaitable_handler<asio::any_io_executor, std::decay_t<Args>...>;
    using return_type = typename handler_type::awaitable_type;

    template <typename Initiation, typename... InitArgs>
    [[gnu::noinline]] static handler_type* start(asio::detail::awaitable_frame_base<asio::any_io_executor>* frame,
                                                 Initiation& initiation, InitArgs&... args) {
        handler_type handler(frame->detach_thread());
        std::move(initiation)(std::move(handler), std::move(args)...);
        return nullptr;
    }

    template <typename Initiation, typename... InitArgs>
    static return_type initiate(Initiation initiation, tarn::detail::UseAwaitableOutOfLine, InitArgs... args) {
        co_await [&](auto* frame) { return start(frame, initiation, args...); };
        for (;;) {
        }  // never resumed here: the handler resumes the awaiting coroutine instead
    }
};
