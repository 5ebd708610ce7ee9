// The token store is called on a thread of its own: while one of its calls is stuck (a Secret
// Service that answers slowly), the other calls and timers on the caller's io_context go on, and
// the calls that ask meanwhile share one read of the store.
#include "api/use_awaitable_out_of_line.hpp"
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "tarn/api/api_client.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarn {
namespace {

using namespace std::chrono_literals;
using testing::MemoryTokenStore;
using testing::respond;
using testing::ScriptedSession;
using testing::sync;

const AuthTokens kPair{"access", "refresh"};
const std::string kReleaseJSON =
    R"({"version":"1.2","build":7,"minimum_supported_version":"1.0","install_url":"https://apps.example/tarn"})";

enum class StoreCall { load, save, clear, lock };

// The chosen call, the first time it comes, tells the io_context it is stuck and waits to be let
// go. Called on the io thread it would hold up everything that lets it go, so it gives up after a
// bound long enough for any working run, and the test fails instead of hanging.
class StuckStore : public MemoryTokenStore {
public:
    StuckStore(StoreCall stuck, asio::io_context& io, std::function<void()> onStuck)
        : MemoryTokenStore(kPair), stuck_(stuck), io_(io), onStuck_(std::move(onStuck)), letGo_(release_.get_future()) {}

    std::optional<AuthTokens> loadTokens() override {
        ++loads_;
        stick(StoreCall::load);
        return MemoryTokenStore::loadTokens();
    }
    void save(const AuthTokens& tokens) override {
        stick(StoreCall::save);
        MemoryTokenStore::save(tokens);
    }
    void clear() override {
        stick(StoreCall::clear);
        MemoryTokenStore::clear();
    }
    std::unique_ptr<SessionLock> tryLockSession() override {
        stick(StoreCall::lock);
        return MemoryTokenStore::tryLockSession();
    }

    void letGo() { release_.set_value(); }
    bool wasLetGo() const { return wasLetGo_.load(); }
    int loads() const { return loads_.load(); }

private:
    void stick(StoreCall call) {
        if (call != stuck_ || hasStuck_.exchange(true)) return;
        asio::post(io_, onStuck_);
        wasLetGo_ = letGo_.wait_for(10s) == std::future_status::ready;
    }

    StoreCall stuck_;
    asio::io_context& io_;
    std::function<void()> onStuck_;
    std::promise<void> release_;
    std::future<void> letGo_;
    std::atomic<bool> hasStuck_{false};
    std::atomic<bool> wasLetGo_{false};
    std::atomic<int> loads_{0};
};

std::shared_ptr<ScriptedSession> backend() {
    return std::make_shared<ScriptedSession>(sync([](const HttpRequest& r) {
        if (r.url.ends_with("/app/ios/release")) return respond(200, kReleaseJSON);
        if (r.url.ends_with("/auth/login")) return respond(200, testing::authJSON("new-access", "new-refresh"));
        if (r.url.ends_with("/me") && r.method == "GET") return respond(200, testing::kUserJSON);
        return respond(200);  // the sign-out and the account deletion
    }));
}

TEST(StoreThreadConcurrency, OtherCallsAndTimersGoOnWhileTheStoreIsStuck) {
    struct Row {
        const char* operation;
        StoreCall stuck;
        std::function<asio::awaitable<void>(APIClient)> call;
    };
    const Row rows[] = {
        {"me", StoreCall::load, [](APIClient c) -> asio::awaitable<void> { (void)co_await c.me(); }},
        {"login", StoreCall::save, [](APIClient c) -> asio::awaitable<void> { (void)co_await c.login("e@x.io", "pw"); }},
        {"logout", StoreCall::lock, [](APIClient c) -> asio::awaitable<void> { co_await c.logout(); }},
        {"deleteAccount", StoreCall::clear, [](APIClient c) -> asio::awaitable<void> { co_await c.deleteAccount("d"); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.operation);
        asio::io_context io;
        auto session = backend();
        std::vector<std::string> events;  // touched on the io thread only
        APIClient bystander(*URL::parse("https://api.tarn.test"), session);
        asio::steady_timer tick(io);
        std::shared_ptr<StuckStore> store;
        // While the store is stuck: a timer on the same io_context fires, then a call that needs
        // no token completes, and only then is the store let go.
        store = std::make_shared<StuckStore>(row.stuck, io, [&] {
            tick.expires_after(1ms);
            tick.async_wait([&](std::error_code) {
                events.push_back("timer");
                asio::co_spawn(io, bystander.appRelease(), [&](std::exception_ptr e, IOSAppRelease) {
                    events.push_back(e ? "appRelease failed" : "appRelease");
                    store->letGo();
                });
            });
        });
        {
            // Gone before the store call ends: the call keeps what it needs.
            APIClient client(*URL::parse("https://api.tarn.test"), session, store);
            asio::co_spawn(io, row.call(client), [&](std::exception_ptr e) {
                events.push_back(e ? std::string(row.operation) + " failed" : row.operation);
            });
        }
        io.run();
        EXPECT_TRUE(store->wasLetGo()) << "the stuck store call held up the io_context";
        EXPECT_EQ(events, (std::vector<std::string>{"timer", "appRelease", row.operation}));
    }
}

// While the first call's read of the store is slow, a burst of calls arrives: they do not queue a
// read each but share the next one.
TEST(StoreThreadConcurrency, CallsThatAskWhileTheStoreIsBusyShareOneRead) {
    constexpr int burst = 100;
    asio::io_context io;
    auto session = backend();
    int succeeded = 0;
    auto count = [&](std::exception_ptr e, CRMUser) { succeeded += e ? 0 : 1; };
    std::shared_ptr<StuckStore> store;
    std::optional<APIClient> client;
    store = std::make_shared<StuckStore>(StoreCall::load, io, [&] {
        for (int i = 0; i < burst; ++i) asio::co_spawn(io, client->me(), count);
        // Queued behind the burst's starts, each of which runs up to its read of the store.
        asio::post(io, [&] { store->letGo(); });
    });
    client.emplace(*URL::parse("https://api.tarn.test"), session, store,
                   APIClientOptions{.maxCallsInFlight = burst + 1});  // none waits for a turn
    asio::co_spawn(io, client->me(), count);
    io.run();
    EXPECT_TRUE(store->wasLetGo());
    EXPECT_EQ(succeeded, burst + 1);
    EXPECT_EQ(store->loads(), 2);  // the slow read, and one for the whole burst
    EXPECT_EQ(session->count("/me"), static_cast<std::size_t>(burst + 1));
}

// A store that answers from memory may say it never blocks: it is then called where the call runs,
// sparing every request the trip to the store thread. Any other store is called off that thread.
TEST(StoreThreadConcurrency, OnlyAStoreThatMayBlockIsCalledOnTheStoreThread) {
    class ThreadRecordingStore : public MemoryTokenStore {
    public:
        explicit ThreadRecordingStore(bool blocks) : MemoryTokenStore(kPair), blocks_(blocks) {}
        bool mayBlock() const noexcept override { return blocks_; }
        std::optional<AuthTokens> loadTokens() override {
            loadedOn = std::this_thread::get_id();
            return MemoryTokenStore::loadTokens();
        }
        std::thread::id loadedOn;

    private:
        bool blocks_;
    };
    for (bool blocks : {true, false}) {
        asio::io_context io;
        auto store = std::make_shared<ThreadRecordingStore>(blocks);
        APIClient client(*URL::parse("https://api.tarn.test"), backend(), store);
        std::exception_ptr failure;
        asio::co_spawn(io, client.me(), [&](std::exception_ptr e, CRMUser) { failure = e; });
        io.run();
        ASSERT_FALSE(failure) << blocks;
        EXPECT_EQ(store->loadedOn == std::this_thread::get_id(), !blocks) << "mayBlock " << blocks;
    }
}

// A call's last step queues the save on the worker from a thread that then goes quiet (as an I/O
// thread busy elsewhere would); the call ends on another thread, and its client is let go of, while
// the quiet thread may still be inside the post. ThreadSanitizer sees any use of the worker that
// does not come before its end.
TEST(StoreThreadConcurrency, AClientLetGoOfRightAfterItsLastStoreCallOutlivesThePostOfIt) {
    for (int i = 0; i < 10; ++i) {
        asio::io_context io;
        std::thread answering;
        auto session = std::make_shared<ScriptedSession>([&](const HttpRequest& r) -> asio::awaitable<HttpResponse> {
            if (!r.url.ends_with("/auth/login")) co_return respond(200, testing::kUserJSON);
            // Resumed on a thread of the test's own, the call runs there up to the save.
            detail::UseAwaitableOutOfLine onAnsweringThread;
            co_await asio::async_initiate<detail::UseAwaitableOutOfLine, void()>(
                [&](auto resume) {
                    std::thread& slot = answering;  // the call goes on, and this frame ends, on that thread
                    slot = std::thread([resume = std::move(resume)]() mutable { std::move(resume)(); });
                },
                onAnsweringThread);
            co_return respond(200, testing::authJSON("new-access", "new-refresh"));
        });
        std::optional<APIClient> client(std::in_place, *URL::parse("https://api.tarn.test"), session,
                                         std::make_shared<MemoryTokenStore>(kPair));
        std::exception_ptr failure;
        // The read first, so that the worker's thread is waiting when the save is queued.
        auto calls = [&]() -> asio::awaitable<void> { (void)co_await client->me(); (void)co_await client->login("e@x.io", "pw"); };
        asio::co_spawn(io, calls(), [&](std::exception_ptr e) { failure = e; });
        io.run();
        client.reset();  // before the answering thread is joined, which would order its post first
        if (answering.joinable()) answering.join();
        EXPECT_FALSE(failure);
    }
}

}  // namespace
}  // namespace tarn
