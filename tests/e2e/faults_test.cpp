// Injected server faults on an authorized call with a valid token: each reaches the caller as the
// right failure, none triggers a refresh, none touches the stored pair.
#include "backend_test.hpp"
#include "tarn/json/json.hpp"

#include <algorithm>
#include <thread>

namespace tarn::e2e {
namespace {

using namespace std::chrono_literals;

// Caps the time of every exchange.
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

enum class Expect { success, serverError, transportOther, timedOut, decodingError };

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
    // resend a request whose connection died without an answer. Every exchange has a budget of a
    // second, as an application with a tighter one than the client's own might set.
    auto api = client(store, std::make_shared<TimeBudgetSession>(std::make_shared<CurlSession>(io().get_executor()), 1s));
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
        case Expect::transportOther:
        case Expect::timedOut: {
            auto error = failureOf<TransportError>(api.servers());
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), c.expect == Expect::timedOut ? TransportError::Code::timedOut
                                                                  : TransportError::Code::other)
                << error->what();
            break;
        }
        case Expect::decodingError:
            EXPECT_TRUE(failureOf<DecodingError>(api.servers()));
            break;
    }
    if (c.expect == Expect::timedOut) {
        // The server counts the request once its delayed answer has gone out.
        for (int i = 0; i < 100 && dev().requestCounts()["GET /vpn/servers"] == 0; ++i) std::this_thread::sleep_for(50ms);
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
        FaultCase{"BadGatewayPage", Json{{"status", 502}, {"body", "<html><body>Bad gateway</body></html>"}},
                  Expect::serverError},
        FaultCase{"TooManyRequests", Json{{"status", 429}, {"body", R"({"detail":"slow down"})"}}, Expect::serverError},
        FaultCase{"Forbidden", Json{{"status", 403}, {"body", R"({"detail":"Subscription is not active"})"}},
                  Expect::serverError},
        FaultCase{"SlowAnswer", Json{{"delay_ms", 300}}, Expect::success},
        FaultCase{"AnswerBeyondTheBudget", Json{{"delay_ms", 1500}}, Expect::timedOut},
        FaultCase{"ConnectionDropped", Json{{"close", true}}, Expect::transportOther},
        FaultCase{"AnswerNotTheRecord", Json{{"status", 200}, {"body", R"({"servers":[]})"}}, Expect::decodingError},
        FaultCase{"AnswerNotJSON", Json{{"status", 200}, {"body", "OK"}}, Expect::decodingError}),
    [](const ::testing::TestParamInfo<FaultCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarn::e2e
