// BlockingClient against a real loopback server: plain calls from several threads at once, one
// shared refresh of an expired token among them, failures thrown to the calling thread, calls
// ended early by their own timeout or a stop from another thread, and a destructor that returns
// with idle connections still open.
#include "loopback_server.hpp"
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/api/blocking_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test {
namespace {

TEST(BlockingClientConcurrency, TwoThreadsShareOneRefreshAndEachGetsItsOwnOutcome) {
    LoopbackServer server;
    std::atomic<int> refreshes{0};
    server.http.Post("/auth/refresh", [&](const httplib::Request&, httplib::Response& res) {
        ++refreshes;
        res.set_content(testing::authJSON("new-access", "new-refresh"), "application/json");
    });
    server.http.Get("/me", [](const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value("Authorization") != "Bearer new-access") {
            res.status = 401;
            return;
        }
        res.set_content(testing::kUserJSON, "application/json");
    });
    server.http.Get("/vpn/servers", [](const httplib::Request&, httplib::Response& res) { res.status = 503; });
    server.start();

    auto store = std::make_shared<testing::MemoryTokenStore>(AuthTokens{"old-access", "old-refresh"});
    std::optional<BlockingClient> client(std::in_place, *URL::parse(server.url("/")), store);

    constexpr int callsPerThread = 20;
    std::atomic<int> users{0}, serverErrors{0};
    auto work = [&] {
        for (int i = 0; i < callsPerThread; ++i) {
            if (client->me().id == "u1") ++users;
            try {
                client->servers();
            } catch (const APIError& e) {
                if (e.statusCode() == 503) ++serverErrors;
            }
        }
    };
    std::thread first(work), second(work);
    first.join();
    second.join();

    EXPECT_EQ(users, 2 * callsPerThread);
    EXPECT_EQ(serverErrors, 2 * callsPerThread);
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(store->tokens(), (AuthTokens{"new-access", "new-refresh"}));
    // Kept-alive connections are still open here; destruction must close them and return.
    client.reset();
}

TEST(BlockingClientConcurrency, ABoundedCallEndsAloneAndLeavesTheClientAndTheSharedRefreshGoing) {
    using namespace std::chrono_literals;
    enum class End { timeout, stopDuring, stopBefore };
    struct Case {
        const char* name;
        End end;
        bool duringRefresh;  // ended while it waits for a refresh another call started
    };
    const std::vector<Case> cases{
        {"timeout while the answer is held back", End::timeout, false},
        {"stop from another thread while the answer is held back", End::stopDuring, false},
        {"stop requested before the call", End::stopBefore, false},
        {"timeout while waiting for the shared refresh", End::timeout, true},
        {"stop from another thread while waiting for the shared refresh", End::stopDuring, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server;
        Gate gate;  // holds back the refresh, or the answer to /me when there is no refresh
        std::atomic<int> refreshes{0}, meRequests{0};
        server.http.Post("/auth/refresh", [&](const httplib::Request&, httplib::Response& res) {
            ++refreshes;
            gate.wait();
            res.set_content(testing::authJSON("new-access", "new-refresh"), "application/json");
        });
        server.http.Get("/me", [&](const httplib::Request& req, httplib::Response& res) {
            ++meRequests;
            if (req.get_header_value("Authorization") != "Bearer new-access") {
                res.status = 401;
                return;
            }
            if (!c.duringRefresh) gate.wait();
            res.set_content(testing::kUserJSON, "application/json");
        });
        server.start();
        auto store = std::make_shared<testing::MemoryTokenStore>(
            c.duringRefresh ? AuthTokens{"old-access", "old-refresh"} : AuthTokens{"new-access", "new-refresh"});
        BlockingClient client(*URL::parse(server.url("/")), store);

        // An unbounded call that starts the refresh the bounded one then waits for.
        std::optional<std::string> companion;
        std::thread companionThread;
        if (c.duringRefresh) {
            companionThread = std::thread([&] { companion = client.me().id; });
            ASSERT_TRUE(gate.awaitEntered(1));
        }
        std::stop_source stop;
        BlockingClient::Limits limits;
        if (c.end == End::timeout) {
            limits.timeout = 300ms;
        } else {
            limits.stop = stop.get_token();
        }
        if (c.end == End::stopBefore) stop.request_stop();
        std::jthread stopper;
        if (c.end == End::stopDuring) {
            // Once the bounded call is held: by the gate, or by the refresh after its own 401.
            const int heldAt = c.duringRefresh ? 2 : 1;
            stopper = std::jthread([&, heldAt] {
                gate.awaitEntered(1);
                while (meRequests < heldAt) std::this_thread::sleep_for(1ms);
                std::this_thread::sleep_for(50ms);
                stop.request_stop();
            });
        }

        auto started = std::chrono::steady_clock::now();
        try {
            client.with(limits).me();
            ADD_FAILURE() << "the bounded call ended with an answer";
        } catch (const TransportError& e) {
            EXPECT_EQ(e.code(), c.end == End::timeout ? TransportError::Code::timedOut : TransportError::Code::cancelled);
            // The same code as a request timeout, so a caller needs to handle only one.
            if (c.end == End::timeout) {
                EXPECT_EQ(e.curlCode(), 28) << "libcurl's CURLE_OPERATION_TIMEDOUT";
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "the held answer was awaited";
        if (stopper.joinable()) stopper.join();
        if (c.end == End::stopBefore) {
            EXPECT_EQ(meRequests, 0) << "nothing is sent for a call stopped already";
        }

        gate.release();
        if (companionThread.joinable()) companionThread.join();
        if (c.duringRefresh) {
            EXPECT_EQ(companion, "u1") << "the refresh the others waited for was cancelled";
            EXPECT_EQ(refreshes, 1);
            EXPECT_EQ(store->tokens(), (AuthTokens{"new-access", "new-refresh"}));
        }
        // The client, and a view with the same stop token as long as it is not stopped, go on.
        EXPECT_EQ(client.me().id, "u1");
        if (c.end == End::timeout) {
            EXPECT_EQ(client.with(limits).me().id, "u1");
        }
    }
}

TEST(BlockingClientConcurrency, ConstructionRefusesWhatTheAPIClientRefuses) {
    EXPECT_THROW(BlockingClient(*URL::parse("http://api.tarn.test/")), APIError);
    APIClientOptions options;
    options.extraHeaders = {{"Authorization", "Basic x"}};
    EXPECT_THROW(BlockingClient(*URL::parse("https://api.tarn.test/"), nullptr, options), std::invalid_argument);
    CurlSessionConfig config;
    config.maxRedirects = -1;
    EXPECT_THROW(BlockingClient(*URL::parse("https://api.tarn.test/"), nullptr, {}, config), std::invalid_argument);
    BlockingClient client(*URL::parse("https://api.tarn.test/"));
    EXPECT_THROW(client.with({.timeout = std::chrono::milliseconds(0)}), std::invalid_argument);
}

}  // namespace
}  // namespace tarn::test
