// Operations started with completion tokens other than use_awaitable: where they run, how their
// outcome arrives, that deferred ones wait for their start, and cancellation through a slot bound
// to the handler.
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tarn {
namespace {

using testing::MemoryTokenStore;
using testing::respond;
using testing::ScriptedSession;
using testing::sync;
using namespace std::chrono_literals;

struct Client {
    asio::io_context io;
    std::shared_ptr<ScriptedSession> session;
    APIClient client;

    explicit Client(ScriptedSession::Handler handler)
        : session(std::make_shared<ScriptedSession>(std::move(handler))),
          client(*URL::parse("https://api.tarn.test/v1"), session,
                 std::make_shared<MemoryTokenStore>(AuthTokens{"access", "refresh"})) {
        session->ioExecutor = io.get_executor();
    }
};

// A callback gets the record or the exception (a void operation the exception alone), once, on
// the session's executor; nothing runs before the io_context does.
TEST(CompletionTokens, CallbacksGetTheOutcomeOnTheSessionsExecutor) {
    for (std::int64_t status : {200, 503}) {
        SCOPED_TRACE(status);
        Client c(sync([&](const HttpRequest&) { return respond(status, testing::kUserJSON); }));
        std::vector<std::exception_ptr> errors;
        std::optional<std::string> id;
        c.client.me([&](std::exception_ptr e, CRMUser u) {
            EXPECT_TRUE(c.io.get_executor().running_in_this_thread());
            errors.push_back(e);
            if (!e) id = u.id;
        });
        c.client.revokeVPN("device", [&](std::exception_ptr e) {
            EXPECT_TRUE(c.io.get_executor().running_in_this_thread());
            errors.push_back(e);
        });
        EXPECT_EQ(c.session->requests().size(), 0u);
        c.io.run();
        ASSERT_EQ(errors.size(), 2u);
        for (const auto& e : errors) {
            if (status == 200) {
                EXPECT_FALSE(e);
            } else {
                EXPECT_EQ(testing::as<APIError>(e)->statusCode(), status);
            }
        }
        EXPECT_EQ(id, status == 200 ? std::optional<std::string>("u1") : std::nullopt);
    }
}

TEST(CompletionTokens, UseFutureGivesTheResultAndTheException) {
    Client c(sync([](const HttpRequest& r) {
        return r.url.ends_with("/me") ? respond(200, testing::kUserJSON) : respond(500, "down");
    }));
    std::future<CRMUser> user = c.client.me(asio::use_future);
    std::future<void> revoked = c.client.revokeVPN("device", asio::use_future);
    c.io.run();
    EXPECT_EQ(user.get().id, "u1");
    EXPECT_THROW(revoked.get(), APIError);
}

TEST(CompletionTokens, DeferredOperationSendsNothingUntilStarted) {
    Client c(sync([](const HttpRequest&) { return respond(200, testing::kUserJSON); }));
    auto deferred = c.client.me(asio::experimental::deferred);
    c.io.run();
    c.io.restart();
    EXPECT_EQ(c.session->requests().size(), 0u);
    std::optional<std::string> id;
    std::move(deferred)(asio::experimental::as_tuple([&](std::tuple<std::exception_ptr, CRMUser> outcome) {
        if (!std::get<0>(outcome)) id = std::get<1>(outcome).id;
    }));
    c.io.run();
    EXPECT_EQ(id, "u1");
    EXPECT_EQ(c.session->requests().size(), 1u);
}

// The session waits an hour for an answer; emitting the bound slot's signal must end the call.
TEST(CompletionTokens, BoundCancellationSlotAbortsTheExchange) {
    Client c([](const HttpRequest&) -> asio::awaitable<HttpResponse> {
        asio::steady_timer timer(co_await asio::this_coro::executor, 1h);
        co_await timer.async_wait(asio::use_awaitable);
        co_return respond(200, testing::kUserJSON);
    });
    asio::cancellation_signal signal;
    std::exception_ptr error;
    bool called = false;
    c.client.me(asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, CRMUser) {
        called = true;
        error = e;
    }));
    // Runs until the request is out and the session waits, then cancels.
    while (c.session->requests().empty()) c.io.run_one();
    signal.emit(asio::cancellation_type::terminal);
    c.io.run();
    ASSERT_TRUE(called);
    EXPECT_TRUE(error);
}

// A session without an executor of its own: the handler's associated executor runs the call.
TEST(CompletionTokens, WithoutASessionExecutorTheHandlersExecutorRunsTheCall) {
    Client c(sync([](const HttpRequest&) { return respond(200, testing::kUserJSON); }));
    c.session->ioExecutor = {};
    asio::io_context other;
    bool onOther = false;
    c.client.me(asio::bind_executor(other, [&](std::exception_ptr, CRMUser) {
        onOther = other.get_executor().running_in_this_thread();
    }));
    EXPECT_EQ(c.io.run(), 0u);
    other.run();
    EXPECT_TRUE(onOther);
}

}  // namespace
}  // namespace tarn
