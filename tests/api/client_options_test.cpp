// What APIClientOptions change on the wire, which options are refused at construction, and what
// the trace hook is told (never a credential).
#include "scripted_session.hpp"
#include "wire_samples.hpp"
#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/json/json.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn {
namespace {

using testing::MemoryTokenStore;
using testing::respond;
using testing::run;
using testing::ScriptedSession;
using testing::sync;
using namespace std::chrono_literals;

APIClient clientWith(std::shared_ptr<HttpSession> session, APIClientOptions options,
                     std::string base = "https://api.tarn.test/v1",
                     std::optional<AuthTokens> tokens = AuthTokens{"old-access", "old-refresh"}) {
    return APIClient(*URL::parse(base), std::move(session), std::make_shared<MemoryTokenStore>(std::move(tokens)),
                     std::move(options));
}

TEST(ClientOptions, UserAgentExtraHeadersAndTimeoutReachTheRequest) {
    auto session = std::make_shared<ScriptedSession>(sync([](const HttpRequest&) { return respond(200); }));
    APIClientOptions defaults;
    EXPECT_TRUE(defaults.userAgent.starts_with("tarn-vpn-core/")) << defaults.userAgent;
    EXPECT_GT(defaults.userAgent.size(), std::string("tarn-vpn-core/").size());

    // The defaults on the wire are checked for every operation by the client's operation table.
    APIClientOptions options;
    options.userAgent = "my-app/2.1";
    options.extraHeaders = {{"X-Request-Source", "settings"}, {"Accept-Language", "ru"}};
    options.requestTimeout = 1500ms;
    // The Telegram poll adds its own header after the extra ones; only the request matters here,
    // so the empty answer fails to decode.
    EXPECT_THROW(run(clientWith(session, options)
                         .telegramSessionStatus("0123456789abcdef0123456789abcdef",
                                                "0123456789abcdef0123456789abcdef0123456789abcdef")),
                 DecodingError);

    ASSERT_EQ(session->requests().size(), 1u);
    const auto sent = session->requests()[0];
    EXPECT_EQ(sent.header("User-Agent"), "my-app/2.1");
    EXPECT_EQ(sent.header("x-request-source"), "settings");
    EXPECT_EQ(sent.header("Accept-Language"), "ru");
    EXPECT_EQ(sent.header("Accept"), "application/json");
    EXPECT_TRUE(sent.header("X-Tarn-Auth-Session-Secret"));
    EXPECT_EQ(sent.timeout, 1500ms);
}

TEST(ClientOptions, UnusableOptionsAreRefusedWithoutShowingTheValue) {
    const std::string secret = "s3cr3t-value";
    const struct {
        const char* name;
        std::function<void(APIClientOptions&)> set;
    } cases[] = {
        {"Authorization", [&](auto& o) { o.extraHeaders = {{"Authorization", "Bearer " + secret}}; }},
        {"authorization in lower case", [&](auto& o) { o.extraHeaders = {{"authorization", secret}}; }},
        {"Content-Type", [&](auto& o) { o.extraHeaders = {{"Content-Type", secret}}; }},
        {"Host", [&](auto& o) { o.extraHeaders = {{"HOST", secret}}; }},
        {"Cookie", [&](auto& o) { o.extraHeaders = {{"Cookie", secret}}; }},
        {"session secret", [&](auto& o) { o.extraHeaders = {{"X-Tarn-Auth-Session-Secret", secret}}; }},
        {"LF in a value", [&](auto& o) { o.extraHeaders = {{"X-Ok", secret + "\nX-Evil: 1"}}; }},
        {"CR in a value", [&](auto& o) { o.extraHeaders = {{"X-Ok", secret + "\r"}}; }},
        {"NUL in a value", [&](auto& o) { o.extraHeaders = {{"X-Ok", secret + std::string(1, '\0')}}; }},
        {"colon in a name", [&](auto& o) { o.extraHeaders = {{"X-Bad: injected", secret}}; }},
        {"empty name", [&](auto& o) { o.extraHeaders = {{"", secret}}; }},
        {"CR LF in the User-Agent", [&](auto& o) { o.userAgent = "app\r\nAuthorization: " + secret; }},
        {"zero timeout", [](auto& o) { o.requestTimeout = 0ms; }},
        {"negative timeout", [](auto& o) { o.requestTimeout = -1ms; }},
        {"no call in flight", [](auto& o) { o.maxCallsInFlight = 0; }},
    };
    auto session = std::make_shared<ScriptedSession>(sync([](const HttpRequest&) { return respond(200); }));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        APIClientOptions options;
        c.set(options);
        try {
            clientWith(session, options);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos) << e.what();
        }
    }
}

struct Traces {
    std::mutex mutex;
    std::vector<HttpTrace> seen;

    std::function<void(const HttpTrace&)> hook() {
        return [this](const HttpTrace& t) {
            std::lock_guard lock(mutex);
            seen.push_back(t);
        };
    }
};

// An expired token, its refresh and the repeat: three exchanges, each traced once, and nothing in
// any trace is a token, the password, a query value or an OAuth session's identifier (which
// collects the tokens once confirmed).
TEST(ClientOptions, TraceSeesEveryExchangeButNoSecret) {
    auto session = std::make_shared<ScriptedSession>(sync([](const HttpRequest& r) {
        if (r.url.find("/auth/oauth/session/") != std::string::npos) return respond(200, R"({"status":"pending"})");
        if (r.url.find("/auth/refresh") != std::string::npos) {
            return respond(200, testing::authJSON("new-access", "new-refresh"));
        }
        if (r.header("Authorization") == "Bearer new-access") return respond(200, testing::kUserJSON);
        return respond(401, R"({"detail":"expired"})");
    }));
    Traces traces;
    APIClientOptions options;
    options.trace = traces.hook();
    APIClient client = clientWith(session, options, "https://api.tarn.test/v1/?key=query-secret&flag");
    EXPECT_EQ(run(client.me()).id, "u1");

    ASSERT_EQ(traces.seen.size(), 3u);
    const std::vector<std::string> methods{"GET", "POST", "GET"};
    const std::vector<std::int64_t> statuses{401, 200, 200};
    for (std::size_t i = 0; i < traces.seen.size(); ++i) {
        const HttpTrace& t = traces.seen[i];
        EXPECT_EQ(t.method, methods[i]);
        EXPECT_EQ(t.statusCode, statuses[i]);
        EXPECT_FALSE(t.transportError);
        EXPECT_GE(t.duration.count(), 0);
        for (const char* secret : {"old-access", "old-refresh", "new-access", "new-refresh", "query-secret"}) {
            EXPECT_EQ(t.path.find(secret), std::string::npos) << t.path;
        }
    }
    EXPECT_EQ(traces.seen[0].path, "/v1/me?key=<redacted>&flag");
    EXPECT_EQ(traces.seen[1].path, "/v1/auth/refresh?key=<redacted>&flag");
    EXPECT_GT(traces.seen[1].bytesSent, 0u);
    EXPECT_EQ(traces.seen[2].bytesReceived, testing::kUserJSON.size());

    run(client.oauthSessionStatus("oauth-poll-id"));
    ASSERT_EQ(traces.seen.size(), 4u);
    EXPECT_EQ(traces.seen[3].path, "/v1/auth/oauth/session/<redacted>?key=<redacted>&flag");
}

TEST(ClientOptions, TraceReportsATransportFailureAndAThrowingHookChangesNothing) {
    auto session = std::make_shared<ScriptedSession>(
        sync([](const HttpRequest&) -> HttpResponse { throw TransportError(TransportError::Code::timedOut, "slow"); }));
    Traces traces;
    APIClientOptions options;
    options.trace = [&](const HttpTrace& t) {
        traces.hook()(t);
        throw std::runtime_error("observer failed");
    };
    APIClient client = clientWith(session, options);
    try {
        run(client.me());
        ADD_FAILURE() << "succeeded";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), TransportError::Code::timedOut);
    }
    ASSERT_EQ(traces.seen.size(), 1u);
    EXPECT_EQ(traces.seen[0].transportError, TransportError::Code::timedOut);
    EXPECT_FALSE(traces.seen[0].statusCode);
}

}  // namespace
}  // namespace tarn
