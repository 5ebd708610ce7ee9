// Every sign-in method end to end over real HTTP against the real binary.
#include <algorithm>
#include <cctype>
#include <thread>

#include <gtest/gtest.h>

#include "devserver_process.hpp"

namespace tarn::devserver::test {
namespace {

// The client's Telegram rules: URL-safe base64 alphabet, id 20..128, secret 20..256 characters.
bool validSessionPart(const std::string& s, std::size_t min, std::size_t max) {
  auto allowed = [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; };
  return s.size() >= min && s.size() <= max && std::all_of(s.begin(), s.end(), allowed);
}

void expectSignedIn(const DevServerProcess& server, const Json& auth, const std::string& email) {
  ASSERT_TRUE(auth.contains("access_token")) << auth.dump();
  Reply me = server.get("/me", auth["access_token"]);
  ASSERT_EQ(me.status, 200) << describe(me);
  if (!email.empty()) {
    EXPECT_EQ(me.json()["email"], email);
  }
  EXPECT_EQ(me.json()["id"], auth["user"]["id"]);
}

TEST(SignIn, PasswordLoginAcceptsTheDemoAccountAndRefusesAWrongPassword) {
  DevServerProcess server;
  expectSignedIn(server, server.loginDemo(), "demo@tarn.dev");
  Reply wrong = server.post("/auth/login", {{"email", "demo@tarn.dev"}, {"password", "nope"}});
  EXPECT_EQ(wrong.status, 401);
  EXPECT_TRUE(wrong.json().contains("detail"));
  EXPECT_EQ(server.post("/auth/login", {{"email", "demo@tarn.dev"}}).status, 422);
}

TEST(SignIn, RegistrationCreatesAnAccountOnceAndNeedsConsent) {
  DevServerProcess server;
  Json body{{"email", "New.User@Example.test"}, {"password", "long enough"}, {"accepted_terms", true},
            {"accepted_personal_data_processing", true}};
  Reply created = server.post("/auth/register", body);
  ASSERT_EQ(created.status, 201) << describe(created);
  expectSignedIn(server, created.json(), "new.user@example.test");
  EXPECT_EQ(server.post("/auth/register", body).status, 409);
  EXPECT_EQ(server.post("/auth/login", {{"email", "new.user@example.test"}, {"password", "long enough"}}).status, 200);

  body["email"] = "other@example.test";
  body["accepted_personal_data_processing"] = false;
  EXPECT_EQ(server.post("/auth/register", body).status, 422);
}

TEST(SignIn, EmailCodeIsShownOnTheConsoleAndSignsIn) {
  DevServerProcess server;
  Reply challenge = server.post("/api/v1/auth/email/request-code",
                                {{"email", "mail@example.test"}, {"platform", "macos"}, {"device_public_id", "dev-1"}});
  ASSERT_EQ(challenge.status, 200) << describe(challenge);
  std::string challengeID = challenge.json()["challenge_id"];

  Reply dev = server.get("/dev/email-code?email=mail@example.test");
  ASSERT_EQ(dev.status, 200) << describe(dev);
  std::string code = dev.json()["code"];
  EXPECT_EQ(dev.json()["challenge_id"], challengeID);
  EXPECT_NE(server.log().find(code), std::string::npos) << "the code must be printed on the console";

  Json verify{{"challenge_id", challengeID}, {"code", code == "000000" ? "111111" : "000000"}, {"accepted_terms", true},
              {"accepted_personal_data_processing", true}};
  EXPECT_EQ(server.post("/api/v1/auth/email/verify-code", verify).status, 400);
  verify["code"] = code;
  Reply signedIn = server.post("/api/v1/auth/email/verify-code", verify);
  ASSERT_EQ(signedIn.status, 200) << describe(signedIn);
  expectSignedIn(server, signedIn.json(), "mail@example.test");
  EXPECT_EQ(server.post("/api/v1/auth/email/verify-code", verify).status, 410) << "a code works once";
}

TEST(SignIn, EmailCodeRequestsAreThrottled) {
  DevServerProcess server({"--email-resend-after", "60"});
  Json body{{"email", "slow@example.test"}, {"platform", "ios"}, {"device_public_id", "dev-1"}};
  ASSERT_EQ(server.post("/api/v1/auth/email/request-code", body).status, 200);
  Reply again = server.post("/api/v1/auth/email/request-code", body);
  EXPECT_EQ(again.status, 429);
  EXPECT_TRUE(again.headers.count("Retry-After"));
}

TEST(SignIn, AppleAcceptsDevelopmentIdentityTokensOnly) {
  DevServerProcess server;
  Reply ok = server.post("/auth/apple", {{"identity_token", "dev-apple:fruit@example.test"}, {"device_id", "d"}});
  ASSERT_EQ(ok.status, 200) << describe(ok);
  expectSignedIn(server, ok.json(), "fruit@example.test");
  EXPECT_EQ(server.post("/auth/apple", {{"identity_token", "dev-apple"}, {"device_id", "d"}}).status, 200);
  EXPECT_EQ(server.post("/auth/apple", {{"identity_token", "eyJhbGciOi.real.jwt"}, {"device_id", "d"}}).status, 401);
}

TEST(SignIn, TelegramSessionRunsFromPendingToVerified) {
  DevServerProcess server({"--telegram-ready-after", "-1"});
  httplib::Headers version{{"X-Tarn-Auth-Session-Secret-Version", "2"}};
  Reply created = server.request("POST", "/auth/telegram/session", Json{{"device_public_id", "dev-1"}}, "", version);
  ASSERT_EQ(created.status, 200) << describe(created);
  Json session = created.json();
  std::string id = session["session"]["id"], secret = session["session"]["secret"];
  EXPECT_EQ(session["flow_version"], 2);
  EXPECT_TRUE(validSessionPart(id, 20, 128)) << id;
  EXPECT_TRUE(validSessionPart(secret, 20, 256));
  EXPECT_EQ(session["deeplink"], "https://t.me/tarnvpn_bot?start=ios_auth_" + id);
  EXPECT_EQ(session["deeplink"].get<std::string>().find(secret), std::string::npos);

  httplib::Headers withSecret{{"X-Tarn-Auth-Session-Secret", secret}};
  auto status = [&] { return server.request("GET", "/auth/telegram/session/" + id, std::nullopt, "", withSecret); };
  EXPECT_EQ(status().json(), Json({{"status", "pending"}}));
  EXPECT_EQ(server.request("GET", "/auth/telegram/session/" + id, std::nullopt, "",
                           {{"X-Tarn-Auth-Session-Secret", secret + "x"}}).status, 403);

  Reply ready = server.post("/dev/telegram/" + id + "/ready", Json::object());
  ASSERT_EQ(ready.status, 200) << describe(ready);
  std::string code = ready.json()["code"];
  EXPECT_EQ(status().json(), Json({{"status", "code_ready"}}));
  EXPECT_EQ(server.get("/dev/telegram-code?session=" + id).json()["code"], code);
  EXPECT_NE(server.log().find(code), std::string::npos);

  auto verify = [&](const std::string& c) {
    return server.request("POST", "/auth/telegram/session/" + id + "/verify", Json{{"code", c}}, "", withSecret);
  };
  EXPECT_EQ(verify(code == "123456" ? "654321" : "123456").status, 400);
  Reply signedIn = verify(code);
  ASSERT_EQ(signedIn.status, 200) << describe(signedIn);
  expectSignedIn(server, signedIn.json(), "demo@tarn.dev");
  Json after = status().json();
  EXPECT_EQ(after["status"], "consumed");
  EXPECT_FALSE(after.contains("auth") || after.contains("access_token") || after.contains("refresh_token"));
  EXPECT_EQ(verify(code).status, 409) << "a session signs in once";
}

TEST(SignIn, TelegramSessionBecomesReadyByItselfAndNeedsTheFlowVersion) {
  DevServerProcess server({"--telegram-ready-after", "0.2"});
  EXPECT_EQ(server.post("/auth/telegram/session", {{"device_public_id", "dev-1"}}).status, 400)
      << "the secret version header is required";
  Json session = server.request("POST", "/auth/telegram/session", Json{{"device_public_id", "dev-1"}}, "",
                                {{"X-Tarn-Auth-Session-Secret-Version", "2"}}).json();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Reply status = server.request("GET", "/auth/telegram/session/" + session["session"]["id"].get<std::string>(),
                                std::nullopt, "", {{"X-Tarn-Auth-Session-Secret", session["session"]["secret"]}});
  EXPECT_EQ(status.json()["status"], "code_ready");
}

TEST(SignIn, OAuthSessionIsConfirmedByTheServersOwnPageAndDeliversTheSignInOnce) {
  DevServerProcess server;
  Reply created = server.post("/auth/oauth/session", {{"provider", "google"}, {"device_id", "d"}, {"platform", "ios"}});
  ASSERT_EQ(created.status, 200) << describe(created);
  std::string id = created.json()["auth_session_id"];
  std::string authorizationURL = created.json()["authorization_url"];
  ASSERT_EQ(authorizationURL.rfind(server.url() + "/", 0), 0u) << authorizationURL;
  EXPECT_EQ(server.get("/auth/oauth/session/" + id).json(), Json({{"status", "pending"}}));

  Reply page = server.get(authorizationURL.substr(server.url().size()) + "&email=g@example.test");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<html"), std::string::npos);

  Json confirmed = server.get("/auth/oauth/session/" + id).json();
  EXPECT_EQ(confirmed["status"], "confirmed");
  expectSignedIn(server, confirmed["auth"], "g@example.test");
  Json later = server.get("/auth/oauth/session/" + id).json();
  EXPECT_EQ(later["status"], "confirmed");
  EXPECT_FALSE(later.contains("auth")) << "tokens are handed out once";
  EXPECT_EQ(server.post("/auth/oauth/session", {{"provider", "github"}, {"device_id", "d"}, {"platform", "ios"}}).status, 422);
}

TEST(SignIn, TheConsoleNeverShowsPasswordsTokensOrSessionSecrets) {
  DevServerProcess server;
  Json auth = server.loginDemo();
  Json refreshed = server.post("/auth/refresh", {{"refresh_token", auth["refresh_token"]}}).json();
  Json session = server.request("POST", "/auth/telegram/session", Json{{"device_public_id", "dev-1"}}, "",
                                {{"X-Tarn-Auth-Session-Secret-Version", "2"}}).json();
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
