// What the sign-in endpoints do beyond what a client drives (the flows themselves run through the
// library in tests/e2e/sign_in_test.cpp): the codes a developer reads on the console, throttling,
// refusals of requests the library never sends, and a console and journal free of secrets.
#include <gtest/gtest.h>

#include "devserver_process.hpp"

namespace tarn::devserver::test {
namespace {

const httplib::Headers kFlowVersion{{"X-Tarn-Auth-Session-Secret-Version", "2"}};

TEST(SignIn, CodesAppearOnTheConsoleAndATelegramSessionSignsInOnce) {
  DevServerProcess server({"--telegram-ready-after", "-1"});
  Reply challenge = server.post("/api/v1/auth/email/request-code",
                                {{"email", "mail@example.test"}, {"platform", "macos"}, {"device_public_id", "dev-1"}});
  ASSERT_EQ(challenge.status, 200) << describe(challenge);
  std::string emailCode = server.get("/dev/email-code?email=mail@example.test").json()["code"];
  EXPECT_NE(server.log().find(emailCode), std::string::npos) << "the code must be printed on the console";
  Json verify{{"challenge_id", challenge.json()["challenge_id"]}, {"code", emailCode},
              {"accepted_terms", true}, {"accepted_personal_data_processing", true}};
  EXPECT_EQ(server.post("/api/v1/auth/email/verify-code", verify).status, 200);

  Json session = server.request("POST", "/auth/telegram/session", Json{{"device_public_id", "dev-1"}}, "", kFlowVersion).json();
  std::string id = session["session"]["id"];
  std::string telegramCode = server.post("/dev/telegram/" + id + "/ready", Json::object()).json()["code"];
  EXPECT_EQ(server.get("/dev/telegram-code?session=" + id).json()["code"], telegramCode);
  EXPECT_NE(server.log().find(telegramCode), std::string::npos);
  httplib::Headers withSecret{{"X-Tarn-Auth-Session-Secret", session["session"]["secret"]}};
  auto verifyTelegram = [&] {
    return server.request("POST", "/auth/telegram/session/" + id + "/verify", Json{{"code", telegramCode}}, "", withSecret);
  };
  EXPECT_EQ(verifyTelegram().status, 200);
  EXPECT_EQ(verifyTelegram().status, 409) << "a session signs in once";
}

TEST(SignIn, EmailCodeRequestsAreThrottled) {
  DevServerProcess server({"--email-resend-after", "60"});
  Json body{{"email", "slow@example.test"}, {"platform", "ios"}, {"device_public_id", "dev-1"}};
  ASSERT_EQ(server.post("/api/v1/auth/email/request-code", body).status, 200);
  Reply again = server.post("/api/v1/auth/email/request-code", body);
  EXPECT_EQ(again.status, 429);
  EXPECT_TRUE(again.headers.count("Retry-After"));
}

TEST(SignIn, RequestsTheClientNeverSendsAreRefused) {
  DevServerProcess server;
  EXPECT_EQ(server.post("/auth/login", {{"email", "demo@tarn.dev"}}).status, 422);
  // Only development identity tokens pass, the bare prefix included.
  EXPECT_EQ(server.post("/auth/apple", {{"identity_token", "dev-apple"}, {"device_id", "d"}}).status, 200);
  EXPECT_EQ(server.post("/auth/apple", {{"identity_token", "eyJhbGciOi.real.jwt"}, {"device_id", "d"}}).status, 401);
  EXPECT_EQ(server.post("/auth/telegram/session", {{"device_public_id", "dev-1"}}).status, 400)
      << "the secret version header is required";
  EXPECT_EQ(server.post("/auth/oauth/session", {{"provider", "github"}, {"device_id", "d"}, {"platform", "ios"}}).status, 422);
}

TEST(SignIn, TheConsoleNeverShowsPasswordsTokensOrSessionSecrets) {
  DevServerProcess server;
  Json auth = server.loginDemo();
  Json refreshed = server.post("/auth/refresh", {{"refresh_token", auth["refresh_token"]}}).json();
  Json session = server.request("POST", "/auth/telegram/session", Json{{"device_public_id", "dev-1"}}, "", kFlowVersion).json();
  server.get("/me", refreshed["access_token"]);
  std::string log = server.log();
  EXPECT_NE(log.find("POST /auth/login 200"), std::string::npos) << log;
  for (const std::string& secret : {std::string("demo-password"), auth["access_token"].get<std::string>(),
                                   auth["refresh_token"].get<std::string>(), refreshed["refresh_token"].get<std::string>(),
                                   session["session"]["secret"].get<std::string>()})
    EXPECT_EQ(log.find(secret), std::string::npos) << "leaked into the console: " << secret.substr(0, 4) << "...";

  // The journal of recent requests redacts credentials as well.
  std::string journal = server.get("/dev/requests").body;
  EXPECT_EQ(journal.find("demo-password"), std::string::npos);
  EXPECT_EQ(journal.find(auth["refresh_token"].get<std::string>()), std::string::npos);
  EXPECT_NE(journal.find("Bearer <redacted>"), std::string::npos);
}

}  // namespace
}  // namespace tarn::devserver::test
