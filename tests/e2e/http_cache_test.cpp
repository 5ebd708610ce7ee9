// The session's HTTP cache against the development backend: a second server list is revalidated
// (a 304 on the wire, the whole list to the caller), a failing backend still yields the list it
// allowed to be kept, and after a sign-out another account gets nothing the first one was sent.
#include "backend_test.hpp"

#include <mutex>
#include <vector>

namespace tarn::e2e {
namespace {

class CacheTest : public BackendTest {
protected:
    // What the trace hook saw, in order.
    struct Seen {
        std::mutex mutex;
        std::vector<HttpTrace> traces;
        HttpTrace last() {
            std::lock_guard lock(mutex);
            return traces.back();
        }
    };

    APIClient tracedClient(std::shared_ptr<TokenStore> store, std::shared_ptr<Seen> seen) const {
        APIClientOptions options;
        options.trace = [seen](const HttpTrace& t) {
            std::lock_guard lock(seen->mutex);
            seen->traces.push_back(t);
        };
        return APIClient(baseURL(), session(), std::move(store), std::move(options));
    }
};

TEST_F(CacheTest, ServerListIsRevalidatedKeptThroughAnOutageAndForgottenAtSignOut) {
    auto seen = std::make_shared<Seen>();
    auto store = newStore();
    auto api = tracedClient(store, seen);
    signUp(api);
    dev().resetStats();

    const auto first = run(api.servers());
    EXPECT_EQ(seen->last().cacheResult, HttpCacheResult::network);
    const std::size_t fullBytes = seen->last().bytesReceived;

    EXPECT_EQ(run(api.servers()), first);
    EXPECT_EQ(seen->last().cacheResult, HttpCacheResult::revalidated);
    EXPECT_EQ(seen->last().statusCode, 200);
    EXPECT_EQ(seen->last().bytesReceived, fullBytes) << "the caller gets the whole list";
    EXPECT_EQ(dev().statusCounts("GET /vpn/servers"), (std::map<std::string, std::int64_t>{{"200", 1}, {"304", 1}}));

    dev().addFault(Json{{"path", "/vpn/servers"}, {"method", "GET"}, {"status", 503}, {"body", "down"}});
    EXPECT_EQ(run(api.servers()), first);
    EXPECT_EQ(seen->last().cacheResult, HttpCacheResult::staleAfterError);
    dev().clearFaults();

    run(api.logout());
    signUp(api, "second");
    EXPECT_EQ(run(api.servers()), first);
    EXPECT_EQ(seen->last().cacheResult, HttpCacheResult::network) << "nothing of the first account is used";
}

TEST_F(CacheTest, ASessionWithoutCacheSendsEveryRequestInFull) {
    CurlSessionConfig config;
    config.cache.reset();
    auto store = newStore();
    auto api = client(store, std::make_shared<CurlSession>(io().get_executor(), config));
    signUp(api);
    dev().resetStats();
    run(api.servers());
    run(api.servers());
    EXPECT_EQ(dev().statusCounts("GET /vpn/servers"), (std::map<std::string, std::int64_t>{{"200", 2}}));
}

}  // namespace
}  // namespace tarn::e2e
