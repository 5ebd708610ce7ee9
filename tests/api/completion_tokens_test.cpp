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

struct CallbackCase {
    const char* name;
    std::int64_t status;
    bool succeeds;
};

class CallbackToken : public ::testing::TestWithParam<CallbackCase> {};

// The handler gets the record or the exception, and runs on the session's executor.
TEST_P(CallbackToken, DeliversTheOutcomeOnTheSessionsExecutor) {
    const auto param = GetParam();
    Client c(sync([&](const HttpRequest&) { return respond(param.status, testing::kUserJSON); }));
    int calls = 0;
    std::exception_ptr error;
    std::optional<CRMUser> user;
    c.client.me([&](std::exception_ptr e, CRMUser u) {
        ++calls;
        EXPECT_TRUE(c.io.get_executor().running_in_this_thread());
        error = e;
        if (!e) user = std::move(u);
    });
    EXPECT_EQ(c.session->requests().size(), 0u) << "nothing may run before the io_context does";
    c.io.run();
    ASSERT_EQ(calls, 1);
    if (param.succeeds) {
        ASSERT_FALSE(error);
        EXPECT_EQ(user->id, "u1");
    } else {
        ASSERT_TRUE(error);
        try {
            std::rethrow_exception(error);
        } catch (const APIError& e) {
            EXPECT_EQ(e.statusCode(), param.status);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, CallbackToken,
                         ::testing::Values(CallbackCase{"Record", 200, true}, CallbackCase{"ServerError", 503, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(CompletionTokens, VoidOperationsCompleteWithTheErrorAlone) {
    Client c(sync([](const HttpRequest&) { return respond(204); }));
    bool called = false;
    c.client.revokeVPN("device", [&](std::exception_ptr e) {
        called = true;
        EXPECT_FALSE(e);
    });
    c.io.run();
    EXPECT_TRUE(called);
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
