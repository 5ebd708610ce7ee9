// Test support for CurlSession: an io_context run by its own threads, a loopback server and a
// way to send one request synchronously.
#pragma once

#include "loopback_server.hpp"
#include "tarn/api/curl_session.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <thread>
#include <vector>

namespace tarn::test {

class IoThreads {
public:
    explicit IoThreads(int count = 2) : work_(asio::make_work_guard(io)) {
        for (int i = 0; i < count; ++i) threads_.emplace_back([this] { io.run(); });
    }
    ~IoThreads() { join(); }

    /// Lets the threads finish once no work is left, and waits for them.
    void join() {
        work_.reset();
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    IoThreads(const IoThreads&) = delete;
    IoThreads& operator=(const IoThreads&) = delete;

    template <class T>
    T run(asio::awaitable<T> task) {
        return asio::co_spawn(io, std::move(task), asio::use_future).get();
    }

    asio::io_context io;

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

struct Outcome {
    std::optional<HttpResponse> response;
    std::optional<TransportError> error;

    std::int64_t status() const { return response ? response->statusCode : -1; }
    std::optional<TransportError::Code> code() const {
        return error ? std::optional(error->code()) : std::nullopt;
    }
    friend std::ostream& operator<<(std::ostream& os, const Outcome& o) {
        if (o.error) return os << "TransportError(" << o.error->what() << ")";
        if (o.response) return os << "HTTP " << o.response->statusCode << " body \"" << o.response->body << "\"";
        return os << "nothing";
    }
};

class TransportTest : public ::testing::Test {
protected:
    explicit TransportTest(int ioThreads = 2) : threads(ioThreads) {}

    void TearDown() override {
        // Blocked handlers must finish, and the session's connections must be closed, before the
        // servers can stop without waiting out their keep-alive time.
        gate.release();
        session.reset();
        threads.join();
    }

    CurlSession& makeSession(CurlSessionConfig config = {}) {
        session = std::make_unique<CurlSession>(threads.io.get_executor(), std::move(config));
        return *session;
    }

    Outcome send(HttpRequest request) { return sendWith(*session, std::move(request)); }

    Outcome sendWith(CurlSession& s, HttpRequest request) {
        try {
            return {threads.run(s.send(std::move(request))), std::nullopt};
        } catch (const TransportError& e) {
            return {std::nullopt, e};
        }
    }

    static HttpRequest get(std::string url) {
        HttpRequest request;
        request.url = std::move(url);
        request.timeout = std::chrono::seconds(20);
        return request;
    }

    Gate gate;
    LoopbackServer server;
    IoThreads threads;
    std::unique_ptr<CurlSession> session;
};

}  // namespace tarn::test
