// OwnedIOClient: an APIClient together with everything asynchronous it runs on, for the clients
// whose callers bring no event loop of their own (tarn::BlockingClient, the C interface's handle):
// an io_context run by one thread of its own, and the CurlSession on it. Header-only, so that the
// C interface, a library of its own, needs nothing of the core's private symbols.
//
// Stopping lets the calls in flight (and any token refresh they started) end; then the I/O thread
// drops the client and the session, the session before its io_context, and returns.
#pragma once

#include "tarn/api/api_client.hpp"
#include "tarn/api/curl_session.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <cxxabi.h>

#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace tarn::detail {

class OwnedIOClient {
public:
    /// Starts the I/O thread only once the session and the client are built, so a constructor that
    /// throws (what CurlSession's and APIClient's constructors throw) leaves no thread behind.
    OwnedIOClient(URL baseURL, std::shared_ptr<TokenStore> tokenStore, APIClientOptions options,
                  CurlSessionConfig sessionConfig)
        : state_(std::make_shared<State>()) {
        sessionConfig.runByOneThread = true;  // the thread below, and no other, runs `io`
        state_->session = std::make_shared<CurlSession>(state_->io.get_executor(), std::move(sessionConfig));
        state_->api.emplace(std::move(baseURL), state_->session, std::move(tokenStore), std::move(options));
        // The thread shares the state, so that a detached thread can finish without its owner.
        thread_ = std::thread([state = state_] { run(*state); });
        threadID_ = thread_.get_id();
    }

    /// Stops and joins, unless the thread was detached.
    ~OwnedIOClient() {
        if (thread_.joinable()) {
            stop();
            thread_.join();
        }
    }

    OwnedIOClient(const OwnedIOClient&) = delete;
    OwnedIOClient& operator=(const OwnedIOClient&) = delete;

    asio::io_context& io() noexcept { return state_->io; }
    const APIClient& api() const noexcept { return *state_->api; }
    bool onIOThread() const noexcept { return std::this_thread::get_id() == threadID_; }

    /// From any thread: once the work already posted has run and the calls in flight have ended,
    /// the I/O thread returns.
    void stop() {
        asio::post(state_->io, [state = state_.get()] { state->work.reset(); });
    }

    void join() {
        if (thread_.joinable()) thread_.join();
    }

    /// On the I/O thread only (an owner cannot join the thread it runs on): after stop(), the
    /// thread finishes alone and calls `atExit` last, after the client and the session are gone.
    /// `atExit` may destroy this object.
    void detach(std::function<void()> atExit) {
        state_->atExit = std::move(atExit);
        thread_.detach();
    }

private:
    struct State {
        asio::io_context io{1};
        asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
        std::shared_ptr<CurlSession> session;
        std::optional<APIClient> api;
        std::function<void()> atExit;  // set on the I/O thread only
    };

    // A forced unwind has no exception object: the reference its catch binds below is null,
    // which UBSan's null check would report (also where this is inlined).
    __attribute__((noinline, no_sanitize("null"))) static void run(State& state) {
        for (;;) {
            try {
                state.io.run();
                break;
            } catch (abi::__forced_unwind&) {
                // A handler ended the thread (pthread_exit, as Python does to a thread that calls
                // into it during its shutdown): let it end; swallowing the unwind aborts.
                throw;
            } catch (...) {
                // Completions catch everything; should anything still escape, keep serving.
            }
        }
        state.api.reset();
        state.session.reset();
        if (state.atExit) state.atExit();
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
    std::thread::id threadID_;
};

}  // namespace tarn::detail
