// What the endpoints check and how the answers vary: tokens required, event times in the backend's
// forms, seeded server lists, and an Xray configuration a real V2Ray accepts (when one is
// installed). That every answer is the wire record the client decodes is checked by decoding it:
// through the library in tests/e2e, through tarnctl's `api` command in its tests.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "devserver_process.hpp"

namespace tarn::devserver::test {
namespace {

Json event() {
  return {{"event_name", "connect"}, {"device_id", "dev-1"}, {"event_time", "2024-05-01T12:00:00Z"},
          {"app_version", "1.0"}, {"platform", "macos"}, {"metadata", {{"k", "v"}}}};
}

TEST(RecordsGuard, AuthorizedEndpointsRefuseAMissingToken) {
  DevServerProcess server;
  for (const char* path : {"/me", "/subscription/status", "/devices", "/billing/catalog", "/vpn/servers"}) {
    Reply r = server.get(path);
    EXPECT_EQ(r.status, 401) << path;
    EXPECT_TRUE(r.json().contains("detail")) << path;
    EXPECT_EQ(r.headers.find("WWW-Authenticate")->second, "Bearer") << path;
  }
  EXPECT_EQ(server.post("/app/events", event()).status, 401);
}

TEST(RecordsGuard, EventTimesAreReadInTheThreeBackendFormsOnly) {
  DevServerProcess server;
  for (const char* t : {"2024-05-01T12:00:00.123Z", "2024-05-01T15:00:00+03:00", "2024-05-01 12:00:00"}) {
    Json e = event();
    e["event_time"] = t;
    EXPECT_EQ(server.post("/app/events/anonymous", e).status, 202) << t;
  }
  for (Json bad : {Json("2024-05-01"), Json("01.05.2024 12:00"), Json(""), Json(1714564800)}) {
    Json e = event();
    e["event_time"] = bad;
    EXPECT_EQ(server.post("/app/events/anonymous", e).status, 422) << bad.dump();
  }
  Json e = event();
  e["metadata"] = {{"count", 3}};
  EXPECT_EQ(server.post("/app/events/anonymous", e).status, 422) << "metadata values are strings";
}

TEST(RecordsGuard, TheSameSeedGivesTheSameServersAndAnotherSeedAnotherList) {
  auto list = [](const char* seed) {
    DevServerProcess server({"--seed", seed, "--servers", "14"});
    return server.get("/vpn/servers", server.loginDemo()["access_token"]).json();
  };
  Json a = list("7");
  EXPECT_EQ(a.size(), 14u);
  EXPECT_EQ(a[0]["id"], "de-1");
  EXPECT_EQ(a[12]["id"], "de-2");
  EXPECT_EQ(a, list("7"));
  EXPECT_NE(a, list("8"));
}

TEST(XrayConfig, V2RayAcceptsTheConfigurationOfEveryServer) {
  auto v2ray = tools::findOnPath("v2ray");
  if (!v2ray) GTEST_SKIP() << "v2ray is not installed";
  DevServerProcess server({"--servers", "14"});
  std::string token = server.loginDemo()["access_token"];
  std::string file = ::testing::TempDir() + "tarn-xray-" + std::to_string(::getpid()) + ".json";
  for (const auto& s : server.get("/vpn/servers", token).json()) {
    if (!s["is_available"].get<bool>()) continue;
    Reply r = server.post("/vpn/config", {{"server_id", s["id"]}, {"device_id", "d"}, {"protocol", "vless"}, {"platform", "linux"}}, token);
    ASSERT_EQ(r.status, 200) << describe(r);
    Json config = r.json();
    Json xray = Json::parse(config["xray_json"].get<std::string>(), nullptr, false);
    ASSERT_TRUE(xray.is_object()) << "xray_json must be a JSON object serialised as a string";
    std::string uuid = xray["outbounds"][0]["settings"]["vnext"][0]["users"][0]["id"];
    EXPECT_NE(config["uri"].get<std::string>().find(uuid), std::string::npos) << "the URI and the config name one client";
    std::ofstream(file) << config["xray_json"].get<std::string>();
    // V2Ray 4 spells it "-test -config"; V2Ray 5 has a "test" command instead.
    bool accepted = tools::captureOutput(*v2ray, {"-test", "-config", file}) ||
                    tools::captureOutput(*v2ray, {"test", "-c", file});
    EXPECT_TRUE(accepted) << s["id"] << ": " << config["xray_json"].get<std::string>();
  }
  std::remove(file.c_str());
}

}  // namespace
}  // namespace tarn::devserver::test

namespace tarn::devserver::test {
namespace {

// The answers a client may keep carry a tag and a policy, and a request naming the tag gets a
// bodiless 304; anything else the whole answer again.
TEST(Caching, TaggedAnswersAreRevalidatedWithA304) {
  DevServerProcess server;
  const std::string token = server.loginDemo()["access_token"];
  const std::pair<const char*, const char*> paths[] = {
      {"/vpn/servers", "private, max-age=0, stale-if-error=86400"},
      {"/billing/catalog", "private, max-age=300"},
      {"/app/ios/release", "no-cache"},
  };
  for (const auto& [path, policy] : paths) {
    SCOPED_TRACE(path);
    Reply first = server.get(path, token);
    ASSERT_EQ(first.status, 200) << describe(first);
    const std::string tag = first.headers.count("ETag") ? first.headers.find("ETag")->second : "";
    ASSERT_EQ(tag.size(), 18u) << "a quoted tag";
    EXPECT_EQ(first.headers.find("Cache-Control")->second, policy);
    const std::pair<std::string, int> conditions[] = {
        {tag, 304}, {"W/" + tag, 304}, {"\"other\", " + tag, 304}, {"*", 304}, {"\"other\"", 200},
    };
    for (const auto& [condition, status] : conditions) {
      Reply again = server.request("GET", path, std::nullopt, token, {{"If-None-Match", condition}});
      EXPECT_EQ(again.status, status) << condition;
      EXPECT_EQ(again.body.empty(), status == 304) << condition;
      if (status == 304) {
        EXPECT_EQ(again.headers.find("ETag")->second, tag);
      }
    }
  }
  // A change of the answer changes its tag.
  Reply before = server.get("/app/ios/release");
  Json published = before.json();
  published["version"] = "9.9.9";
  ASSERT_EQ(server.post("/dev/release", published).status, 200);
  Reply after = server.request("GET", "/app/ios/release", std::nullopt, "",
                               {{"If-None-Match", before.headers.find("ETag")->second}});
  EXPECT_EQ(after.status, 200);
}

}  // namespace
}  // namespace tarn::devserver::test
