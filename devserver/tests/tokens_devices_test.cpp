// The subscription gate. Token expiry and rotation, logout, deletion, the device limit and VLESS
// revocation are checked through the library in tests/e2e.
#include <gtest/gtest.h>

#include "devserver_process.hpp"

namespace tarn::devserver::test {
namespace {

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
  std::string url = checkout["confirmation_url"];
  ASSERT_EQ(url.rfind(server.url(), 0), 0u);
  EXPECT_EQ(server.get(url.substr(server.url().size())).status, 200);

  Json user = server.get("/subscription/status", token).json();
  EXPECT_EQ(user["subscription_status"], "active");
  EXPECT_EQ(server.post("/vpn/config", body, token).status, 200);
}

}  // namespace
}  // namespace tarn::devserver::test
