// Fault injection (status and body, by endpoint and by header), request statistics, and answers
// under concurrent keep-alive load. Delays, dropped connections and lost answers are met through
// the library in tests/e2e (faults_test, token_refresh_test).
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devserver_process.hpp"
#include "faults.hpp"

namespace tarn::devserver::test {
namespace {

using Clock = std::chrono::steady_clock;

class Faults : public ::testing::Test {
protected:
  DevServerProcess server;
  std::string token = server.loginDemo()["access_token"];
};

TEST_F(Faults, StatusFaultsSpoilExactlyTheNextNAnswersOfTheirPath) {
  Reply added = server.post("/dev/faults", {{"path", "/me"}, {"count", 2}, {"status", 503}, {"body", "{\"detail\":\"maintenance\"}"}});
  ASSERT_EQ(added.status, 201) << describe(added);
  EXPECT_EQ(server.get("/subscription/status", token).status, 200) << "other paths are untouched";
  for (int i = 0; i < 2; ++i) {
    Reply r = server.get("/me", token);
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "{\"detail\":\"maintenance\"}");
    EXPECT_EQ(r.headers.find("Content-Type")->second, "application/json");
  }
  EXPECT_EQ(server.get("/me", token).status, 200);
  EXPECT_EQ(server.get("/dev/faults").json(), Json::array());
}

TEST_F(Faults, MethodAndPrefixNarrowOrWidenARule) {
  server.post("/dev/faults", {{"path", "/auth/telegram/session/*"}, {"method", "POST"}, {"status", 500}, {"count", 5}});
  EXPECT_EQ(server.request("GET", "/auth/telegram/session/" + std::string(24, 'a'), std::nullopt, "",
                           {{"X-Tarn-Auth-Session-Secret", std::string(24, 'b')}}).status, 404);
  EXPECT_EQ(server.post("/auth/telegram/session/" + std::string(24, 'a') + "/verify", {{"code", "123456"}}).status, 500);
  EXPECT_EQ(server.request("DELETE", "/dev/faults").status, 204);
  EXPECT_EQ(server.post("/auth/telegram/session/" + std::string(24, 'a') + "/verify", {{"code", "123456"}}).status, 404);
}

TEST_F(Faults, HeaderFaultAppliesToItsOwnRequestAndTheFollowingOnes) {
  Reply first = server.request("GET", "/me", std::nullopt, token, {{"X-Tarn-Dev-Fault", "status=502;count=2;body=bad; gateway"}});
  EXPECT_EQ(first.status, 502);
  EXPECT_EQ(first.body, "bad; gateway");
  EXPECT_EQ(first.headers.find("Content-Type")->second, "text/plain; charset=utf-8");
  EXPECT_EQ(server.get("/me", token).status, 502);
  EXPECT_EQ(server.get("/me", token).status, 200);
  EXPECT_EQ(server.request("GET", "/me", std::nullopt, token, {{"X-Tarn-Dev-Fault", "status=abc"}}).status, 400);
}

TEST_F(Faults, MalformedRulesAreRefused) {
  EXPECT_EQ(server.post("/dev/faults", {{"path", "/me"}}).status, 422) << "neither status, delay nor close";
  EXPECT_EQ(server.post("/dev/faults", {{"path", "me"}, {"status", 500}}).status, 422);
  EXPECT_EQ(server.post("/dev/faults", {{"path", "/me"}, {"status", 500}, {"close", true}}).status, 422);
  EXPECT_EQ(server.post("/dev/faults", {{"path", "/me"}, {"status", 500}, {"count", 0}}).status, 422);
}

TEST(FaultHeader, ParsesEveryItem) {
  struct Case {
    const char* header;
    std::optional<int> status;
    std::int64_t count, delay;
    bool close, after;
    std::optional<std::string> body;
  };
  const Case cases[] = {
      {"status=500", 500, 1, 0, false, false, std::nullopt},
      {" status = 429 ; count=3", 429, 3, 0, false, false, std::nullopt},
      {"delay_ms=250", std::nullopt, 1, 250, false, false, std::nullopt},
      {"close=1;delay_ms=10", std::nullopt, 1, 10, true, false, std::nullopt},
      {"status=503;after=true;body=a=b;c", 503, 1, 0, false, true, std::string("a=b;c")},
  };
  for (const auto& c : cases) {
    FaultRule r = FaultRule::fromHeader(c.header);
    EXPECT_EQ(r.status, c.status) << c.header;
    EXPECT_EQ(r.remaining, c.count) << c.header;
    EXPECT_EQ(r.delayMs, c.delay) << c.header;
    EXPECT_EQ(r.close, c.close) << c.header;
    EXPECT_EQ(r.after, c.after) << c.header;
    EXPECT_EQ(r.body, c.body) << c.header;
  }
  for (const char* bad : {"", "status", "status=5xx", "count=2", "status=500;colour=red", "status=99", "delay_ms=-1"})
    EXPECT_THROW(FaultRule::fromHeader(bad), HttpError) << bad;
}

TEST(Concurrency, ABurstOfSlowRequestsIsServedAllAtOnce) {
  DevServerProcess server;
  constexpr int clients = 24;
  server.post("/dev/faults", {{"path", "/app/ios/release"}, {"delay_ms", 600}, {"count", clients}});
  std::vector<std::future<int>> answers;
  for (int i = 0; i < clients; ++i)
    answers.push_back(std::async(std::launch::async, [&] { return server.get("/app/ios/release").status; }));
  for (auto& a : answers) EXPECT_EQ(a.get(), 200);
  // Too few workers would serve them in turns; a listen backlog that overflows drops SYNs, and
  // the retransmitted ones arrive a second later, after the first requests have finished.
  Json stats = server.get("/dev/stats").json();
  EXPECT_EQ(stats["max_in_flight"], clients);
  EXPECT_EQ(stats["in_flight"], 0);
}

TEST(Concurrency, KeepAliveAnswersDoNotWaitForDelayedAcks) {
  DevServerProcess server;
  httplib::Client client("127.0.0.1", server.port());
  client.set_keep_alive(true);
  ASSERT_TRUE(client.Get("/app/ios/release"));
  auto start = Clock::now();
  constexpr int rounds = 20;
  for (int i = 0; i < rounds; ++i) ASSERT_EQ(client.Get("/app/ios/release")->status, 200);
  // Without TCP_NODELAY each answer on a reused connection waits about 40 ms.
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(20 * rounds));
}

}  // namespace
}  // namespace tarn::devserver::test
