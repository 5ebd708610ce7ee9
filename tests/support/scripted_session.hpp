// Test doubles for the client: an HttpSession that records every request and answers through a
// script, and a TokenStore in memory that can be told to fail.
#pragma once

#include "tarn/api/http.hpp"
#include "tarn/storage/token_store.hpp"

#include <gtest/gtest.h>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace tarn::testing {

inline HttpResponse respond(std::int64_t status, std::string body = {}) {
    HttpResponse r;
    r.statusCode = status;
    r.body = std::move(body);
    return r;
}

class ScriptedSession : public HttpSession {
public:
    using Handler = std::function<asio::awaitable<HttpResponse>(const HttpRequest&)>;

    explicit ScriptedSession(Handler handler) : handler_(std::move(handler)) {}

    asio::awaitable<HttpResponse> send(HttpRequest request) override {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        co_return co_await handler_(request);
    }

    asio::any_io_executor executor() const override { return ioExecutor; }
    void clearCache() noexcept override { ++cacheClears; }

    /// Where operations started with a completion token run; empty: the handler's executor.
    asio::any_io_executor ioExecutor;
    /// How often the client asked the session to forget its stored answers.
    std::atomic<int> cacheClears{0};

    std::vector<HttpRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::size_t count(const std::string& urlSuffix) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& r : requests_) {
            if (r.url.size() >= urlSuffix.size() && r.url.compare(r.url.size() - urlSuffix.size(), urlSuffix.size(), urlSuffix) == 0) ++n;
        }
        return n;
    }

private:
    Handler handler_;
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
};

/// Suspends the calling coroutine for `d` on its own executor.
inline asio::awaitable<void> sleepFor(std::chrono::milliseconds d) {
    asio::steady_timer t(co_await asio::this_coro::executor, d);
    co_await t.async_wait(asio::use_awaitable);
}

/// A plain handler from a synchronous function.
inline ScriptedSession::Handler sync(std::function<HttpResponse(const HttpRequest&)> f) {
    return [f = std::move(f)](const HttpRequest& r) -> asio::awaitable<HttpResponse> { co_return f(r); };
}

class MemoryTokenStore : public TokenStore {
public:
    explicit MemoryTokenStore(std::optional<AuthTokens> tokens = std::nullopt) : tokens_(std::move(tokens)) {}

    std::optional<AuthTokens> loadTokens() override {
        std::lock_guard lock(mutex_);
        if (loadError_) std::rethrow_exception(loadError_);
        return tokens_;
    }
    void save(const AuthTokens& tokens) override {
        std::lock_guard lock(mutex_);
        if (saveError_) std::rethrow_exception(saveError_);
        tokens_ = tokens;
    }
    void clear() override {
        std::lock_guard lock(mutex_);
        ++clears_;
        if (clearError_) std::rethrow_exception(clearError_);
        tokens_.reset();
    }

    std::optional<AuthTokens> tokens() const {
        std::lock_guard lock(mutex_);
        return tokens_;
    }
    void set(std::optional<AuthTokens> t) {
        std::lock_guard lock(mutex_);
        tokens_ = std::move(t);
    }
    int clears() const {
        std::lock_guard lock(mutex_);
        return clears_;
    }
    void failLoad(std::exception_ptr e) { loadError_ = std::move(e); }
    void failSave(std::exception_ptr e) { saveError_ = std::move(e); }
    void failClear(std::exception_ptr e) { clearError_ = std::move(e); }

private:
    mutable std::mutex mutex_;
    std::optional<AuthTokens> tokens_;
    std::exception_ptr loadError_, saveError_, clearError_;
    int clears_ = 0;
};

/// Runs one awaitable to completion on a fresh io_context and returns its result (or throws).
template <class T>
T run(asio::awaitable<T> a) {
    // A plain completion handler rather than use_future: the future's shared state is released
    // inside the uninstrumented libstdc++, which ThreadSanitizer then reports as a race.
    asio::io_context io;
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        asio::co_spawn(io, std::move(a), [&](std::exception_ptr e) { error = e; });
        io.run();
        if (error) std::rethrow_exception(error);
    } else {
        std::optional<T> value;
        asio::co_spawn(io, std::move(a), [&](std::exception_ptr e, T v) {
            error = e;
            if (!e) value.emplace(std::move(v));
        });
        io.run();
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
}

/// The exception `a` ends with; null when it succeeds.
template <class T>
std::exception_ptr failure(asio::awaitable<T> a) {
    try {
        run(std::move(a));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

/// The error `error` holds, as an E; nullopt (and a test failure for another type) otherwise.
template <class E>
std::optional<E> as(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const E& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "failed otherwise: " << e.what();
    }
    return std::nullopt;
}

}  // namespace tarn::testing
