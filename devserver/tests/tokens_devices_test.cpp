// Access-token expiry, refresh-token rotation and the subscription gate. Logout, deletion, the
// device limit and VLESS revocation are checked through the library in tests/e2e.
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
