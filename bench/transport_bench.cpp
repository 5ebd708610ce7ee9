// Requests per second through CurlSession against a bare libcurl easy loop, both on keep-alive
// connections to the same in-process cpp-httplib server.
#include "loopback_server.hpp"
#include "tarn/api/curl_session.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <future>
#include <thread>
#include <vector>

namespace {

const std::string kPayload(512, 'x');

tarn::test::LoopbackServer& server() {
    static auto* instance = [] {
        auto* s = new tarn::test::LoopbackServer();
        s->http.Get("/small", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kPayload, "application/json");
        });
        s->start();
        return s;
    }();
    return *instance;
}

class IoThreads {
public:
    explicit IoThreads(int count) : work_(asio::make_work_guard(io)) {
        for (int i = 0; i < count; ++i) threads_.emplace_back([this] { io.run(); });
    }
    ~IoThreads() {
        work_.reset();
        for (auto& t : threads_) t.join();
    }
    asio::io_context io;

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

tarn::HttpRequest smallRequest() {
    tarn::HttpRequest request;
    request.url = server().url("/small");
    return request;
}

asio::awaitable<void> sendWhileRunning(tarn::CurlSession& session, benchmark::State& state) {
    const auto request = smallRequest();
    for (auto _ : state) {
        auto response = co_await session.send(request);
        benchmark::DoNotOptimize(response.body.data());
    }
}

// One coroutine sending back to back: the cost of the session itself.
void BM_CurlSessionSequential(benchmark::State& state) {
    IoThreads threads(1);
    {
        tarn::CurlSession session(threads.io.get_executor());
        asio::co_spawn(threads.io, sendWhileRunning(session, state), asio::use_future).get();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CurlSessionSequential)->UseRealTime();

// A blocking caller outside the io_context: adds the hop to the io thread and back.
void BM_CurlSessionSequentialFromOutside(benchmark::State& state) {
    IoThreads threads(1);
    {
        tarn::CurlSession session(threads.io.get_executor());
        const auto request = smallRequest();
        for (auto _ : state) {
            auto response = asio::co_spawn(threads.io, session.send(request), asio::use_future).get();
            benchmark::DoNotOptimize(response.body.data());
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CurlSessionSequentialFromOutside)->UseRealTime();

size_t appendBody(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// The floor: one reused easy handle, curl_easy_perform in a loop.
void BM_CurlEasySequential(benchmark::State& state) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* easy = curl_easy_init();
    const auto url = server().url("/small");
    std::string body;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &appendBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    for (auto _ : state) {
        body.clear();
        if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("transfer failed");
        benchmark::DoNotOptimize(body.data());
    }
    curl_easy_cleanup(easy);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CurlEasySequential)->UseRealTime();

asio::awaitable<void> sendOnce(tarn::CurlSession& session, tarn::HttpRequest request) {
    co_await session.send(std::move(request));
}

// `range(0)` requests in flight at once from coroutines on two io threads.
void BM_CurlSessionConcurrent(benchmark::State& state) {
    IoThreads threads(2);
    {
        tarn::CurlSession session(threads.io.get_executor());
        const auto request = smallRequest();
        std::vector<std::future<void>> done;
        for (auto _ : state) {
            done.clear();
            for (int i = 0; i < state.range(0); ++i) {
                done.push_back(asio::co_spawn(threads.io, sendOnce(session, request), asio::use_future));
            }
            for (auto& f : done) f.get();
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CurlSessionConcurrent)->Arg(8)->Arg(64)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
