// BlockingClient against a real loopback server: plain calls from several threads at once, one
// shared refresh of an expired token among them, failures thrown to the calling thread, and a
// destructor that returns with idle connections still open.
#include "loopback_server.hpp"
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/api/blocking_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
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

TEST(BlockingClientConcurrency, ConstructionRefusesWhatTheAPIClientRefuses) {
    EXPECT_THROW(BlockingClient(*URL::parse("http://api.tarn.test/")), APIError);
    APIClientOptions options;
    options.extraHeaders = {{"Authorization", "Basic x"}};
    EXPECT_THROW(BlockingClient(*URL::parse("https://api.tarn.test/"), nullptr, options), std::invalid_argument);
    CurlSessionConfig config;
    config.maxRedirects = -1;
    EXPECT_THROW(BlockingClient(*URL::parse("https://api.tarn.test/"), nullptr, {}, config), std::invalid_argument);
}

}  // namespace
}  // namespace tarn::test
