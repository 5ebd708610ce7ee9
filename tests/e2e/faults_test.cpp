// Injected server faults on an authorized call with a valid token: each reaches the caller as the
// right failure, none triggers a refresh, none touches the stored pair.
#include "backend_test.hpp"
#include "tarn/api/json.hpp"

#include <algorithm>

namespace tarn::e2e {
namespace {

using namespace std::chrono_literals;

// Caps the time of every exchange, as an application with a tighter budget than the client's own
// might wrap its session.
class TimeBudgetSession final : public HttpSession {
public:
    TimeBudgetSession(std::shared_ptr<HttpSession> inner, std::chrono::milliseconds budget)
        : inner_(std::move(inner)), budget_(budget) {}
    asio::awaitable<HttpResponse> send(HttpRequest request) override {
        request.timeout = std::min(request.timeout, budget_);
        auto exchange = inner_->send(std::move(request));
        co_return co_await std::move(exchange);
    }

private:
    std::shared_ptr<HttpSession> inner_;
    std::chrono::milliseconds budget_;
};

enum class Expect { success, serverError, transportOther, decodingError };

struct FaultCase {
    const char* name;
    Json rule;
    Expect expect;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultTest : public BackendTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, AuthorizedCallReportsTheFaultAndKeepsTheTokens) {
    const FaultCase& c = GetParam();
    auto store = newStore();
    signUp(client(store));
    const AuthTokens tokens = *store->loadTokens();
    // A session of its own, so the call opens a new connection: on a kept-alive one libcurl would
    // resend a request whose connection died without an answer (see below).
    auto api = client(store, std::make_shared<CurlSession>(io().get_executor()));
    Json rule = c.rule;
    rule["path"] = "/vpn/servers";
    rule["method"] = "GET";
    dev().addFault(rule);
    dev().resetStats();

    switch (c.expect) {
        case Expect::success:
            EXPECT_EQ(run(api.servers()).size(), 6u);
            break;
        case Expect::serverError:
            EXPECT_EQ(failureOf<APIError>(api.servers()),
                      APIError::server(c.rule["status"].get<int>(), c.rule["body"].get<std::string>()));
            break;
        case Expect::transportOther: {
            auto error = failureOf<TransportError>(api.servers());
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), TransportError::Code::other) << error->what();
            break;
        }
        case Expect::decodingError:
            EXPECT_TRUE(failureOf<DecodingError>(api.servers()));
            break;
    }
    EXPECT_EQ(store->loadTokens(), tokens);
    EXPECT_EQ(dev().requestCounts().count("POST /auth/refresh"), 0u);
    EXPECT_EQ(dev().requestCounts()["GET /vpn/servers"], 1) << "nothing is retried";
    // The fault was used up; the next call is served normally.
    EXPECT_EQ(run(api.servers()).size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(
    Injected, FaultTest,
    ::testing::Values(
        FaultCase{"InternalError", Json{{"status", 500}, {"body", "down for maintenance"}}, Expect::serverError},
        FaultCase{"BadGatewayPage", Json{{"status", 502}, {"body", "<html><body>Bad gateway</body></html>"}},
                  Expect::serverError},
        FaultCase{"TooManyRequests", Json{{"status", 429}, {"body", R"({"detail":"slow down"})"}}, Expect::serverError},
        FaultCase{"Forbidden", Json{{"status", 403}, {"body", R"({"detail":"Subscription is not active"})"}},
                  Expect::serverError},
        FaultCase{"SlowAnswer", Json{{"delay_ms", 300}}, Expect::success},
        FaultCase{"ConnectionDropped", Json{{"close", true}}, Expect::transportOther},
        FaultCase{"AnswerNotTheRecord", Json{{"status", 200}, {"body", R"({"servers":[]})"}}, Expect::decodingError},
        FaultCase{"AnswerNotJSON", Json{{"status", 200}, {"body", "OK"}}, Expect::decodingError}),
    [](const ::testing::TestParamInfo<FaultCase>& row) { return std::string(row.param.name); });

class KeptAliveConnectionTest : public BackendTest {};

// The classic stale keep-alive race: the server closes an idle connection just as a request goes
// out on it. libcurl resends such a request once on a new connection, which is what makes long-lived
// sessions usable.
TEST_F(KeptAliveConnectionTest, DropWithoutAnswerIsResentOnceOnANewConnection) {
    auto store = newStore();
    auto api = client(store);
    signUp(api);
    dev().resetStats();
    dev().addFault(Json{{"path", "/vpn/servers"}, {"close", true}});

    EXPECT_EQ(run(api.servers()).size(), 6u);
    EXPECT_EQ(dev().statusCounts("GET /vpn/servers"), (std::map<std::string, std::int64_t>{{"0", 1}, {"200", 1}}));
}

// The same race after the server did handle the request: resending a POST whose answer was lost
// would deliver it twice (an analytics event recorded twice; for a checkout two payments, for a
// refresh a spent token sent again). The lost answer surfaces as a TransportError instead.
TEST_F(KeptAliveConnectionTest, PostWhoseAnswerIsLostIsNotSentTwice) {
    auto store = newStore();
    auto api = client(store);
    signUp(api);
    dev().resetStats();
    dev().addFault(Json{{"path", "/app/events"}, {"close", true}, {"after", true}});

    AppEventPayload event{"vpn_connected", kDeviceID, std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()),
                          "1.2.3", "ios", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                          std::nullopt, std::nullopt};
    EXPECT_TRUE(failureOf<TransportError>(api.recordAppEvent(event)));
    EXPECT_EQ(dev().requestCounts()["POST /app/events"], 1);
}

class SlowAnswerTest : public BackendTest {};

TEST_F(SlowAnswerTest, AnswerSlowerThanTheSessionBudgetTimesOut) {
    auto store = newStore();
    auto budgeted = client(store, std::make_shared<TimeBudgetSession>(session(), 250ms));
    signUp(budgeted);
    const AuthTokens tokens = *store->loadTokens();
    dev().addFault(Json{{"path", "/vpn/servers"}, {"delay_ms", 1500}});

    auto error = failureOf<TransportError>(budgeted.servers());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), TransportError::Code::timedOut) << error->what();
    EXPECT_EQ(store->loadTokens(), tokens);

    // Within the budget the same client works.
    dev().addFault(Json{{"path", "/vpn/servers"}, {"delay_ms", 50}});
    EXPECT_EQ(run(budgeted.servers()).size(), 6u);
}

TEST_F(SlowAnswerTest, ServerThatIsGoneIsACannotConnectFailure) {
    // Port 9 (discard): nothing listens there on a test machine.
    auto store = newStore();
    store->save({"access", "refresh"});
    APIClient unreachable(URL::parse("http://127.0.0.1:9/").value(), session(), store);
    auto error = failureOf<TransportError>(unreachable.me());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), TransportError::Code::cannotConnect) << error->what();
    EXPECT_EQ(store->loadTokens(), (AuthTokens{"access", "refresh"}));
}

}  // namespace
}  // namespace tarn::e2e
