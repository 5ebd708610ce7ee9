// Access-token expiry, refresh-token rotation and the per-account device limit.
#include <thread>

#include <gtest/gtest.h>

#include "devserver_process.hpp"

namespace tarn::devserver::test {
namespace {

TEST(Tokens, AccessTokensExpireAndRefreshTokensRotate) {
  DevServerProcess server({"--token-ttl", "0.3"});
  Json auth = server.loginDemo();
  EXPECT_EQ(server.get("/me", auth["access_token"]).status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  Reply expired = server.get("/me", auth["access_token"]);
  EXPECT_EQ(expired.status, 401);
  EXPECT_EQ(expired.headers.find("WWW-Authenticate")->second, "Bearer");

  Reply refreshed = server.post("/auth/refresh", {{"refresh_token", auth["refresh_token"]}});
  ASSERT_EQ(refreshed.status, 200) << describe(refreshed);
  Json pair = refreshed.json();
  EXPECT_NE(pair["refresh_token"], auth["refresh_token"]);
  EXPECT_EQ(server.get("/me", pair["access_token"]).status, 200);

  EXPECT_EQ(server.post("/auth/refresh", {{"refresh_token", auth["refresh_token"]}}).status, 401) << "used token";
  EXPECT_EQ(server.post("/auth/refresh", {{"refresh_token", "rt_never_issued"}}).status, 401);
  EXPECT_EQ(server.post("/auth/refresh", {{"refresh_token", pair["refresh_token"]}}).status, 200);
}

TEST(Tokens, ExpireTokensEndpointExpiresWithoutWaitingAndStatsCountRefreshes) {
  DevServerProcess server;
  Json auth = server.loginDemo();
  ASSERT_EQ(server.post("/dev/expire-tokens", Json{{"email", "demo@tarn.dev"}}).json()["expired"], 1);
  EXPECT_EQ(server.get("/me", auth["access_token"]).status, 401);
  server.post("/auth/refresh", {{"refresh_token", auth["refresh_token"]}});
  EXPECT_EQ(server.get("/dev/stats").json()["requests"]["POST /auth/refresh"], 1);
}

TEST(Tokens, LogoutEndsTheAccessTokenAndTheGivenRefreshToken) {
  DevServerProcess server;
  Json auth = server.loginDemo();
  Reply out = server.post("/auth/logout", {{"refresh_token", auth["refresh_token"]}}, auth["access_token"]);
  EXPECT_EQ(out.status, 204);
  EXPECT_EQ(server.get("/me", auth["access_token"]).status, 401);
  EXPECT_EQ(server.post("/auth/refresh", {{"refresh_token", auth["refresh_token"]}}).status, 401);
}

TEST(Tokens, DeletingTheAccountEndsItsTokensAndItsSignIn) {
  DevServerProcess server;
  Json auth = server.loginDemo();
  EXPECT_EQ(server.request("DELETE", "/me", Json{{"device_id", "d"}}, auth["access_token"]).status, 200);
  EXPECT_EQ(server.get("/me", auth["access_token"]).status, 401);
  EXPECT_EQ(server.post("/auth/refresh", {{"refresh_token", auth["refresh_token"]}}).status, 401);
  EXPECT_EQ(server.post("/auth/login", {{"email", "demo@tarn.dev"}, {"password", "demo-password"}}).status, 401);
}

class Devices : public ::testing::Test {
protected:
  DevServerProcess server{{"--device-limit", "2"}};
  std::string token = server.registerFresh()["access_token"];

  Reply config(const std::string& device) const {
    return server.post("/vpn/config", {{"server_id", "de-1"}, {"device_id", device}, {"protocol", "vless"}, {"platform", "linux"}},
                       token);
  }
};

TEST_F(Devices, ANewDeviceBeyondTheLimitGets409AndRemovalFreesASlot) {
  ASSERT_EQ(config("dev-a").status, 200);
  ASSERT_EQ(server.post("/users/sync", {{"device_id", "dev-b"}, {"platform", "macos"}, {"app_version", "1.0"}}, token).status, 200);
  EXPECT_EQ(config("dev-a").status, 200) << "a known device takes no new slot";

  Reply refused = config("dev-c");
  ASSERT_EQ(refused.status, 409);
  EXPECT_EQ(refused.json()["code"], "device_limit");
  // What the client's device-limit policy looks for in the body.
  EXPECT_NE(refused.body.find("Device limit reached"), std::string::npos);

  Json list = server.get("/devices", token).json();
  ASSERT_EQ(list["devices"].size(), 2u);
  EXPECT_EQ(list["used"], 2);
  EXPECT_EQ(list["limit"], 2);
  EXPECT_EQ(list["available"], 0);

  std::int64_t first = list["devices"][0]["id"];
  Reply removed = server.request("DELETE", "/devices/" + std::to_string(first), std::nullopt, token);
  ASSERT_EQ(removed.status, 200) << describe(removed);
  EXPECT_EQ(removed.json()["ok"], true);
  EXPECT_EQ(removed.json()["used"], 1);
  EXPECT_EQ(removed.json()["available"], 1);
  EXPECT_EQ(removed.json()["legacy_profile_rotated"], true) << "dev-a had a VLESS profile";
  EXPECT_EQ(config("dev-c").status, 200);

  EXPECT_EQ(server.request("DELETE", "/devices/" + std::to_string(first), std::nullopt, token).status, 404);
  EXPECT_EQ(server.request("DELETE", "/devices/-5", std::nullopt, token).status, 404);
}

TEST_F(Devices, RevocationGivesTheDeviceANewVlessIdentity) {
  std::string before = config("dev-a").json()["uri"];
  EXPECT_EQ(server.post("/vpn/revoke", {{"device_id", "dev-a"}}, token).status, 200);
  EXPECT_NE(config("dev-a").json()["uri"], before);
  EXPECT_EQ(server.post("/vpn/revoke", {{"device_id", "unknown"}}, token).status, 404);
}

TEST(Subscription, InactiveSubscriptionsGetNoVpnProfileAndPaymentRestoresIt) {
  DevServerProcess server;
  Json auth = server.post("/auth/login", {{"email", "expired@tarn.dev"}, {"password", "demo-password"}}).json();
  std::string token = auth["access_token"];
  EXPECT_EQ(auth["user"]["subscription_status"], "expired");
  Json body{{"server_id", "de-1"}, {"device_id", "d"}, {"protocol", "vless"}, {"platform", "ios"}};
  EXPECT_EQ(server.post("/vpn/config", body, token).status, 403);

  Json checkout = server.post("/billing/checkout",
                              {{"tariff_id", "year"}, {"device_limit", 5}, {"payment_method", "card"},
                               {"recurring_opt_in", true}, {"platform", "ios"}, {"promo_code", "tarn10"}},
                              token).json();
  EXPECT_EQ(checkout["promo_code"], "TARN10");
  EXPECT_GT(checkout["discount_amount_rub"].get<int>(), 0);
  std::string url = checkout["confirmation_url"];
  ASSERT_EQ(url.rfind(server.url(), 0), 0u);
  EXPECT_EQ(server.get(url.substr(server.url().size())).status, 200);

  Json user = server.get("/subscription/status", token).json();
  EXPECT_EQ(user["subscription_status"], "active");
  EXPECT_EQ(user["plan"], "yearly");
  EXPECT_EQ(server.post("/vpn/config", body, token).status, 200);
  EXPECT_EQ(server.get("/devices", token).json()["limit"], 5);
}

}  // namespace
}  // namespace tarn::devserver::test
