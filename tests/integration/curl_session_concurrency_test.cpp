// CurlSession under concurrency: cancellation, many coroutines on a multi-threaded io_context (or
// one thread, as the session may be told), resuming callers on their own executors and
// destroying the session mid-flight.
#include "scratch_directory.hpp"
#include "transport_fixture.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <future>

namespace tarn::test {
namespace {

using Code = TransportError::Code;
using namespace std::chrono_literals;

asio::awaitable<std::string> fetchBody(CurlSession& session, HttpRequest request) {
    auto response = co_await session.send(std::move(request));
    co_return response.body;
}

asio::awaitable<std::thread::id> threadAfterSend(CurlSession& session, HttpRequest request) {
    co_await session.send(std::move(request));
    co_return std::this_thread::get_id();
}

asio::awaitable<std::size_t> sendOrTimer(CurlSession& session, HttpRequest request,
                                         std::chrono::milliseconds limit) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, limit);
    auto winner = co_await (session.send(std::move(request)) || timer.async_wait(asio::use_awaitable));
    co_return winner.index();
}

Code codeOf(std::future<HttpResponse>& future) {
    try {
        future.get();
    } catch (const TransportError& e) {
        return e.code();
    }
    ADD_FAILURE() << "the request succeeded";
    return Code::other;
}

// Run twice: sessions serialising their work through a strand on two I/O threads, and sessions
// told that one thread runs their io_context, on one.
class CurlSessionConcurrencyTest : public TransportTest, public ::testing::WithParamInterface<bool> {
protected:
    CurlSessionConcurrencyTest() : TransportTest(GetParam() ? 1 : 2) {}

    CurlSession& makeSession(CurlSessionConfig config = {}) {
        config.runByOneThread = GetParam();
        return TransportTest::makeSession(std::move(config));
    }

    void SetUp() override {
        server.http.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            gate.wait();
            ++answered;
            res.set_content("late", "text/plain");
        });
        server.http.Get("/id", [this](const httplib::Request& req, httplib::Response& res) {
            ++idServed;
            int now = processThreadCount();
            int seen = mostThreads.load();
            while (now > seen && !mostThreads.compare_exchange_weak(seen, now)) {
            }
            res.set_content(req.get_param_value("i"), "text/plain");
        });
        server.http.Get("/tagged", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_header("ETag", "\"t1\"");
            res.set_header("Cache-Control", "max-age=0");
            if (req.get_header_value("If-None-Match") == "\"t1\"") {
                ++revalidations;
                res.status = 304;
                return;
            }
            res.set_content("tagged body", "text/plain");
        });
        server.http.Get("/kept", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Cache-Control", req.has_param("fresh") ? "max-age=600" : "max-age=0, stale-if-error=600");
            res.set_content("kept", "text/plain");
        });
        server.start();
    }

    std::atomic<int> answered{0};
    std::atomic<int> idServed{0};
    std::atomic<int> mostThreads{0};
    std::atomic<int> revalidations{0};
};

asio::awaitable<HttpCacheResult> fetchTagged(CurlSession& session, HttpRequest request) {
    auto response = co_await session.send(std::move(request));
    co_return response.body == "tagged body" ? response.cacheResult : HttpCacheResult::network;
}

// Many callers on several threads revalidating the one stored answer at once: each gets the
// stored body through its own 304, and the store stays whole.
TEST_P(CurlSessionConcurrencyTest, ConcurrentRevalidationsOfOneStoredAnswer) {
    makeSession();
    ASSERT_EQ(sendWith(*session, get(server.url("/tagged"))).status(), 200);
    constexpr int kRequests = 100;
    std::vector<std::future<HttpCacheResult>> results;
    for (int i = 0; i < kRequests; ++i) {
        results.push_back(asio::co_spawn(threads.io, fetchTagged(*session, get(server.url("/tagged"))), asio::use_future));
    }
    for (auto& result : results) EXPECT_EQ(result.get(), HttpCacheResult::revalidated);
    EXPECT_EQ(revalidations.load(), kRequests);
}

// Through the whole send path: a fresh stored answer needs no server, a stale one that allows it
// stands in when the server is gone, and anything else fails as the network did. The answers are
// kept on disk by one session and found by the next, so that no open connection holds the server.
TEST_P(CurlSessionConcurrencyTest, StoredAnswersStandInWhenTheServerIsGone) {
    testing::ScratchDirectory directory;
    CurlSessionConfig config;
    config.cache = HttpCacheConfig{.directory = directory.path()};
    makeSession(config);
    for (const char* url : {"/kept?fresh", "/kept?stale"}) ASSERT_EQ(send(get(server.url(url))).status(), 200);
    const std::string fresh = server.url("/kept?fresh"), stale = server.url("/kept?stale"),
                      never = server.url("/id?i=1");
    session.reset();
    server.stop();
    makeSession(config);
    auto outcome = send(get(fresh));
    ASSERT_TRUE(outcome.response) << outcome;
    EXPECT_EQ(outcome.response->cacheResult, HttpCacheResult::stored);
    outcome = send(get(stale));
    ASSERT_TRUE(outcome.response) << outcome;
    EXPECT_EQ(outcome.response->cacheResult, HttpCacheResult::staleAfterError);
    EXPECT_EQ(outcome.response->body, "kept");
    EXPECT_EQ(send(get(never)).code(), Code::cannotConnect);
}

TEST_P(CurlSessionConcurrencyTest, CancellingTheCallerAbortsTheTransfer) {
    makeSession();
    auto strand = asio::make_strand(threads.io);
    asio::cancellation_signal signal;
    auto future = asio::co_spawn(strand, session->send(get(server.url("/slow"))),
                                 asio::bind_cancellation_slot(signal.slot(), asio::use_future));
    ASSERT_TRUE(gate.awaitEntered(1));
    asio::post(strand, [&] { signal.emit(asio::cancellation_type::terminal); });

    EXPECT_EQ(codeOf(future), Code::cancelled);
    EXPECT_EQ(answered.load(), 0);  // resolved by the abort, not by the server

    EXPECT_EQ(sendWith(*session, get(server.url("/id?i=7"))).response->body, "7");
    // The aborted transfer's connection could not be reused.
    EXPECT_EQ(server.connectionCount(), 2u);
}

TEST_P(CurlSessionConcurrencyTest, CancellationBeforeTheTransferStartsConnectsNowhere) {
    // The session's io_context does not run yet, so the transfer cannot start before the
    // cancellation has been emitted, whichever way the two meet.
    asio::io_context sessionIo;
    CurlSession idle(sessionIo.get_executor());
    auto strand = asio::make_strand(threads.io);
    asio::cancellation_signal signal;
    auto future = asio::co_spawn(strand, idle.send(get(server.url("/slow"))),
                                 asio::bind_cancellation_slot(signal.slot(), asio::use_future));
    std::promise<void> emitted;
    asio::post(strand, [&] {
        signal.emit(asio::cancellation_type::terminal);
        emitted.set_value();
    });
    emitted.get_future().wait();
    sessionIo.run();

    EXPECT_EQ(codeOf(future), Code::cancelled);
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_P(CurlSessionConcurrencyTest, AwaitableOperatorTimeoutCancelsTheSend) {
    makeSession();
    EXPECT_EQ(threads.run(sendOrTimer(*session, get(server.url("/slow")), 200ms)), 1u);
    EXPECT_EQ(answered.load(), 0);
    EXPECT_EQ(threads.run(sendOrTimer(*session, get(server.url("/id?i=1")), 20s)), 0u);
}

TEST_P(CurlSessionConcurrencyTest, ManyCoroutinesShareFewConnectionsAndNoNewThreads) {
    CurlSessionConfig config;
    config.maxConnectionsPerHost = 4;
    makeSession(config);
    // One exchange first: the server's worker pool and libcurl's one-time set-up are in place.
    ASSERT_EQ(sendWith(*session, get(server.url("/id?i=0"))).status(), 200);
    const int threadsBefore = processThreadCount();

    constexpr int kRequests = 200;
    std::vector<std::future<std::string>> bodies;
    for (int i = 0; i < kRequests; ++i) {
        bodies.push_back(asio::co_spawn(threads.io,
                                        fetchBody(*session, get(server.url("/id?i=" + std::to_string(i)))),
                                        asio::use_future));
    }
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_EQ(bodies[i].get(), std::to_string(i));
    }

    EXPECT_LE(server.connectionCount(), 4u);
    // Neither libcurl nor the session starts a thread per request.
    EXPECT_LE(mostThreads.load(), threadsBefore + 2);
    EXPECT_LE(processThreadCount(), threadsBefore + 2);
}

// Requests beyond the session's limit wait in the session, not in libcurl: they reach no server,
// their timeout and their cancellation work while they wait, and they start once a slot frees.
TEST_P(CurlSessionConcurrencyTest, RequestsBeyondTheLimitWaitInTheSession) {
    CurlSessionConfig config;
    config.maxTransfersInFlight = 2;
    makeSession(config);
    // Until one answer shows the server speaks HTTP/1.1, libcurl holds further requests back in
    // the hope of multiplexing; the two slow ones below need a connection each.
    ASSERT_EQ(sendWith(*session, get(server.url("/id?i=0"))).status(), 200);
    idServed = 0;
    auto first = asio::co_spawn(threads.io, fetchBody(*session, get(server.url("/slow"))), asio::use_future);
    auto second = asio::co_spawn(threads.io, fetchBody(*session, get(server.url("/slow"))), asio::use_future);
    ASSERT_TRUE(gate.awaitEntered(2));

    HttpRequest impatient = get(server.url("/id?i=1"));
    impatient.timeout = 300ms;
    auto timedOut = asio::co_spawn(threads.io, session->send(impatient), asio::use_future);
    asio::cancellation_signal signal;
    auto strand = asio::make_strand(threads.io);
    auto cancelled = asio::co_spawn(strand, session->send(get(server.url("/id?i=2"))),
                                    asio::bind_cancellation_slot(signal.slot(), asio::use_future));
    auto patient = asio::co_spawn(threads.io, fetchBody(*session, get(server.url("/id?i=3"))), asio::use_future);

    EXPECT_EQ(codeOf(timedOut), Code::timedOut);  // while both slots are still taken
    asio::post(strand, [&] { signal.emit(asio::cancellation_type::terminal); });
    EXPECT_EQ(codeOf(cancelled), Code::cancelled);
    EXPECT_EQ(patient.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(idServed.load(), 0);

    gate.release();
    EXPECT_EQ(first.get(), "late");
    EXPECT_EQ(second.get(), "late");
    EXPECT_EQ(patient.get(), "3");
    EXPECT_EQ(idServed.load(), 1);
}

TEST_P(CurlSessionConcurrencyTest, CallerResumesOnItsOwnExecutor) {
    makeSession();  // driven by the fixture's threads
    asio::io_context callerIo;
    auto future = asio::co_spawn(callerIo, threadAfterSend(*session, get(server.url("/id?i=1"))), asio::use_future);
    // Returns only once the caller has resumed: the pending send keeps callerIo busy.
    callerIo.run();
    ASSERT_EQ(future.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(future.get(), std::this_thread::get_id());
}

TEST_P(CurlSessionConcurrencyTest, DestroyingTheSessionCancelsTransfersInFlight) {
    makeSession();
    auto inFlight = asio::co_spawn(threads.io, session->send(get(server.url("/slow"))), asio::use_future);
    ASSERT_TRUE(gate.awaitEntered(1));
    auto notStarted = session->send(get(server.url("/id?i=1")));
    session.reset();

    EXPECT_EQ(codeOf(inFlight), Code::cancelled);
    EXPECT_EQ(answered.load(), 0);
    auto late = asio::co_spawn(threads.io, std::move(notStarted), asio::use_future);
    EXPECT_EQ(codeOf(late), Code::cancelled);
}

TEST_P(CurlSessionConcurrencyTest, TearingDownTheIoContextMidTransferReleasesEverything) {
    auto io = std::make_unique<asio::io_context>();
    auto work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(io->get_executor());
    std::thread runner([&] { io->run(); });
    CurlSessionConfig config;
    config.runByOneThread = GetParam();  // `runner` alone runs `io`
    auto local = std::make_unique<CurlSession>(io->get_executor(), config);
    auto future = asio::co_spawn(*io, local->send(get(server.url("/slow"))), asio::use_future);
    ASSERT_TRUE(gate.awaitEntered(1));

    io->stop();
    runner.join();
    local.reset();  // its clean-up is queued on an io_context that will not run again
    work.reset();
    io.reset();     // destroys the queued handlers and, with them, every transfer (leak-checked)
    EXPECT_THROW(future.get(), std::future_error);  // the caller was destroyed, never resumed
}

INSTANTIATE_TEST_SUITE_P(Threads, CurlSessionConcurrencyTest, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "OneThread" : "Strand"; });

TEST(CurlSessionIdleTest, NothingRunsBeforeTheFirstRequest) {
    asio::io_context io;
    {
        CurlSession session(io.get_executor());
        EXPECT_EQ(io.poll(), 0u);
    }
    EXPECT_EQ(io.poll(), 0u);
}

}  // namespace
}  // namespace tarn::test
