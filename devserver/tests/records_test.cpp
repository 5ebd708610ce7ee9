// Every endpoint answers with the wire records the client decodes: member names, JSON types,
// required members present, timestamps in a form the client reads. Also checks that the Xray
// configuration is accepted by a real V2Ray when one is installed.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "devserver_process.hpp"

namespace tarn::devserver::test {
namespace {

enum class T { String, Int, Bool, Time, Url, Uuid, Object, Array };

struct Member;
using Schema = std::vector<Member>;
struct Member {
  const char* name;
  T type;
  bool required;
  const Schema* nested = nullptr;  // element schema of an object or an array of objects
  T element = T::Object;           // element type of an array
};

constexpr bool R = true, O = false;

const Schema kUser = {
    {"id", T::String, R}, {"email", T::String, O}, {"name", T::String, O}, {"plan", T::String, O},
    {"telegram_user_id", T::String, O}, {"telegram_username", T::String, O}, {"subscription_status", T::String, R},
    {"vpn_access_status", T::String, R}, {"expires_at", T::Time, O}, {"created_at", T::Time, R},
    {"last_sync_at", T::Time, R}, {"subscription_source", T::String, O}, {"subscription_id", T::String, O},
    {"apple_original_transaction_id", T::String, O}, {"vpn_peer_id", T::String, O},
    {"apple_app_account_token", T::Uuid, O}};
const Schema kAuth = {{"access_token", T::String, R}, {"refresh_token", T::String, R}, {"user", T::Object, R, &kUser}};
const Schema kChallenge = {{"challenge_id", T::String, R}, {"expires_in", T::Int, R}, {"resend_after", T::Int, R}};
const Schema kCredentials = {{"id", T::String, R}, {"secret", T::String, R}};
const Schema kTelegramSession = {{"flow_version", T::Int, R}, {"session", T::Object, R, &kCredentials},
                                 {"deeplink", T::Url, R}, {"expires", T::Time, R}};
const Schema kTelegramStatus = {{"status", T::String, R}, {"error", T::String, O}};
const Schema kOAuthSession = {{"auth_session_id", T::String, R}, {"authorization_url", T::Url, R}, {"expires_at", T::Time, R}};
const Schema kOAuthStatus = {{"status", T::String, R}, {"auth", T::Object, O, &kAuth}, {"error", T::String, O}};
const Schema kBotSync = {{"status", T::String, R}, {"last_sync_at", T::Time, O}};
const Schema kSync = {{"user", T::Object, R, &kUser}, {"bot_sync", T::Object, R, &kBotSync}};
const Schema kDevice = {{"id", T::Int, R}, {"name", T::String, R}, {"model", T::String, O}, {"platform", T::String, R},
                        {"device_id", T::String, R}, {"platform_version", T::String, O}, {"client_app", T::String, O},
                        {"client_version", T::String, O}, {"last_seen_at", T::Time, O}};
const Schema kDevices = {{"devices", T::Array, R, &kDevice}, {"used", T::Int, R}, {"limit", T::Int, R},
                         {"available", T::Int, R}, {"subscription_active", T::Bool, R}};
const Schema kRemoval = {{"ok", T::Bool, R}, {"devices", T::Array, R, &kDevice}, {"used", T::Int, R}, {"limit", T::Int, R},
                         {"available", T::Int, R}, {"subscription_active", T::Bool, R},
                         {"legacy_profile_rotated", T::Bool, O}};
const Schema kServer = {{"id", T::String, R}, {"country", T::String, R}, {"city", T::String, R}, {"flag", T::String, O},
                        {"load", T::Int, R}, {"latency", T::Int, R}, {"is_available", T::Bool, R},
                        {"is_premium", T::Bool, R}, {"protocol", T::String, R}};
const Schema kVless = {{"uri", T::String, R}, {"xray_json", T::String, R}, {"server_id", T::String, R},
                       {"user_id", T::String, R}, {"subscription_status", T::String, R}, {"vpn_access_status", T::String, R}};
const Schema kVariant = {{"limit", T::Int, R}, {"unit", T::String, R}, {"price_rub", T::Int, R}, {"month_rub", T::Int, R}};
const Schema kGroup = {{"id", T::String, R}, {"title", T::String, R}, {"days", T::Int, R}, {"featured", T::Bool, R},
                       {"variants", T::Array, R, &kVariant}, {"default_limit", T::Int, R}, {"default_price_rub", T::Int, R},
                       {"default_month_rub", T::Int, R}, {"default_unit", T::String, R}};
const Schema kMethod = {{"id", T::String, R}, {"label", T::String, R}, {"hint", T::String, R}, {"recurring", T::Bool, R}};
const Schema kCatalog = {{"currency", T::String, R}, {"device_limit_options", T::Array, R, nullptr, T::Int},
                         {"tariff_groups", T::Array, R, &kGroup}, {"payment_methods", T::Array, R, &kMethod}};
const Schema kCheckout = {{"ok", T::Bool, R}, {"provider", T::String, R}, {"status", T::String, R},
                          {"payment_id", T::Int, R}, {"checkout_token", T::String, R}, {"confirmation_url", T::Url, R},
                          {"amount_rub", T::Int, R}, {"devices_limit", T::Int, R}, {"promo_code", T::String, R},
                          {"discount_amount_rub", T::Int, R}};
const Schema kRelease = {{"version", T::String, R}, {"build", T::Int, R}, {"minimum_supported_version", T::String, R},
                         {"install_url", T::Url, R}, {"release_notes", T::String, O}, {"published_at", T::Time, O}};

// `pattern`: "d" a decimal digit, "h" a hexadecimal digit, anything else itself.
bool shaped(const std::string& s, std::string_view pattern) {
  if (s.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    bool ok = pattern[i] == 'd' ? std::isdigit(c) != 0 : pattern[i] == 'h' ? std::isxdigit(c) != 0 : s[i] == pattern[i];
    if (!ok) return false;
  }
  return true;
}

// The client's three timestamp forms: ISO 8601 with or without a fraction (zone required), or
// "yyyy-MM-dd HH:mm:ss" read as UTC.
bool clientReadsTime(const std::string& s) {
  if (shaped(s, "dddd-dd-dd dd:dd:dd")) return true;
  if (s.size() < 20 || !shaped(s.substr(0, 19), "dddd-dd-ddTdd:dd:dd")) return false;
  std::string rest = s.substr(19);
  if (rest[0] == '.') {
    std::size_t digits = rest.find_first_not_of("0123456789", 1);
    if (digits == 1 || digits == std::string::npos) return false;
    rest = rest.substr(digits);
  }
  return rest == "Z" || shaped(rest, "+dd:dd") || shaped(rest, "-dd:dd");
}

bool hasType(const Json& v, T type) {
  auto isURL = [](const std::string& s) {
    std::size_t scheme = s.rfind("https://", 0) == 0 ? 8 : s.rfind("http://", 0) == 0 ? 7 : 0;
    return scheme > 0 && s.size() > scheme && s.find_first_of(" \t\r\n") == std::string::npos;
  };
  switch (type) {
    case T::String: return v.is_string();
    case T::Int: return v.is_number_integer();
    case T::Bool: return v.is_boolean();
    case T::Time: return v.is_string() && clientReadsTime(v.get<std::string>());
    case T::Url: return v.is_string() && isURL(v.get<std::string>());
    case T::Uuid: return v.is_string() && shaped(v.get<std::string>(), "hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh");
    case T::Object: return v.is_object();
    case T::Array: return v.is_array();
  }
  return false;
}

void check(const Json& j, const Schema& schema, const std::string& where, std::vector<std::string>& errors) {
  if (!j.is_object()) {
    errors.push_back(where + ": not an object");
    return;
  }
  for (const auto& m : schema) {
    std::string at = where + "." + m.name;
    auto it = j.find(m.name);
    if (it == j.end() || it->is_null()) {
      if (m.required) errors.push_back(at + ": missing");
      continue;
    }
    if (!hasType(*it, m.type)) {
      errors.push_back(at + ": wrong type or form: " + it->dump());
      continue;
    }
    if (m.type == T::Object && m.nested) check(*it, *m.nested, at, errors);
    if (m.type == T::Array) {
      for (std::size_t i = 0; i < it->size(); ++i) {
        std::string item = at + "[" + std::to_string(i) + "]";
        if (m.nested) check((*it)[i], *m.nested, item, errors);
        else if (!hasType((*it)[i], m.element)) errors.push_back(item + ": wrong type");
      }
    }
  }
}

std::string shapeErrors(const Json& j, const Schema& schema) {
  std::vector<std::string> errors;
  check(j, schema, "$", errors);
  std::string out;
  for (const auto& e : errors) out += e + "\n";
  return out;
}

// One endpoint's call and the record it must answer with.
struct Endpoint {
  const char* name;
  std::function<Reply(DevServerProcess&, const std::string& token)> call;
  int status;
  const Schema* schema;  // nullptr: any JSON or an empty body
  bool array = false;    // the answer is a JSON array of `schema`
};

Json event() {
  return {{"event_name", "connect"}, {"device_id", "dev-1"}, {"event_time", "2024-05-01T12:00:00Z"},
          {"app_version", "1.0"}, {"platform", "macos"}, {"metadata", {{"k", "v"}}}};
}
Json pushToken() {
  return {{"platform", "macos"}, {"token", "abc"}, {"environment", "sandbox"}, {"device_id", "dev-1"}, {"app_version", "1.0"}};
}

const std::vector<Endpoint>& endpoints() {
  static const std::vector<Endpoint> table = {
      {"login", [](auto& s, auto&) { return s.post("/auth/login", {{"email", "demo@tarn.dev"}, {"password", "demo-password"}}); }, 200, &kAuth},
      {"register", [](auto& s, auto&) { return s.post("/auth/register", {{"email", "r@example.test"}, {"password", "12345678"}, {"accepted_terms", true}, {"accepted_personal_data_processing", true}}); }, 201, &kAuth},
      {"refresh", [](auto& s, auto&) { return s.post("/auth/refresh", {{"refresh_token", s.loginDemo()["refresh_token"]}}); }, 200, &kAuth},
      {"apple", [](auto& s, auto&) { return s.post("/auth/apple", {{"identity_token", "dev-apple:a@example.test"}, {"device_id", "d"}}); }, 200, &kAuth},
      {"requestEmailCode", [](auto& s, auto&) { return s.post("/api/v1/auth/email/request-code", {{"email", "e@example.test"}, {"platform", "ios"}, {"device_public_id", "d"}}); }, 200, &kChallenge},
      {"createTelegramSession", [](auto& s, auto&) { return s.request("POST", "/auth/telegram/session", Json{{"device_public_id", "d"}}, "", {{"X-Tarn-Auth-Session-Secret-Version", "2"}}); }, 200, &kTelegramSession},
      {"telegramSessionStatus", [](auto& s, auto&) {
         Json t = s.request("POST", "/auth/telegram/session", Json{{"device_public_id", "d"}}, "", {{"X-Tarn-Auth-Session-Secret-Version", "2"}}).json();
         return s.request("GET", "/auth/telegram/session/" + t["session"]["id"].template get<std::string>(), std::nullopt, "", {{"X-Tarn-Auth-Session-Secret", t["session"]["secret"]}}); }, 200, &kTelegramStatus},
      {"createOAuthSession", [](auto& s, auto&) { return s.post("/auth/oauth/session", {{"provider", "google"}, {"device_id", "d"}, {"platform", "ios"}}); }, 200, &kOAuthSession},
      {"oauthSessionStatus", [](auto& s, auto&) {
         std::string id = s.post("/auth/oauth/session", {{"provider", "google"}, {"device_id", "d"}, {"platform", "ios"}}).json()["auth_session_id"];
         s.get("/dev/oauth/authorize?session=" + id);
         return s.get("/auth/oauth/session/" + id); }, 200, &kOAuthStatus},
      {"logout", [](auto& s, auto& t) { return s.post("/auth/logout", Json::object(), t); }, 204, nullptr},
      {"deleteAccount", [](auto& s, auto& t) { return s.request("DELETE", "/me", Json{{"device_id", "d"}}, t); }, 200, nullptr},
      {"me", [](auto& s, auto& t) { return s.get("/me", t); }, 200, &kUser},
      {"syncUser", [](auto& s, auto& t) { return s.post("/users/sync", {{"device_id", "d"}, {"platform", "ios"}, {"app_version", "1.0"}}, t); }, 200, &kSync},
      {"subscriptionStatus", [](auto& s, auto& t) { return s.get("/subscription/status", t); }, 200, &kUser},
      {"accountDevices", [](auto& s, auto& t) { return s.get("/devices", t); }, 200, &kDevices},
      {"removeAccountDevice", [](auto& s, auto& t) {
         std::int64_t id = s.get("/devices", t).json()["devices"][0]["id"];
         return s.request("DELETE", "/devices/" + std::to_string(id), std::nullopt, t); }, 200, &kRemoval},
      {"verifyAppleTransaction", [](auto& s, auto& t) { return s.post("/billing/apple/verify", {{"product_id", "tarn.yearly"}, {"transaction_id", "1"}, {"original_transaction_id", "1"}, {"purchase_date", "2024-05-01 12:00:00"}, {"environment", "Sandbox"}, {"app_account_token", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}, {"signed_transaction_info", "x.y.z"}}, t); }, 200, &kSync},
      {"billingCatalog", [](auto& s, auto& t) { return s.get("/billing/catalog", t); }, 200, &kCatalog},
      {"createBillingCheckout", [](auto& s, auto& t) { return s.post("/billing/checkout", {{"tariff_id", "month"}, {"device_limit", 3}, {"payment_method", "sbp"}, {"recurring_opt_in", false}, {"platform", "ios"}}, t); }, 200, &kCheckout},
      {"servers", [](auto& s, auto& t) { return s.get("/vpn/servers", t); }, 200, &kServer, true},
      {"vpnConfig", [](auto& s, auto& t) { return s.post("/vpn/config", {{"server_id", "de-1"}, {"device_id", "d"}, {"protocol", "vless"}, {"platform", "macos"}}, t); }, 200, &kVless},
      {"revokeVPN", [](auto& s, auto& t) {
         s.post("/vpn/config", {{"server_id", "de-1"}, {"device_id", "d"}, {"protocol", "vless"}, {"platform", "macos"}}, t);
         return s.post("/vpn/revoke", {{"device_id", "d"}}, t); }, 200, nullptr},
      {"recordAppEvent", [](auto& s, auto& t) { return s.post("/app/events", event(), t); }, 202, nullptr},
      {"recordAnonymousAppEvent", [](auto& s, auto&) { return s.post("/app/events/anonymous", event()); }, 202, nullptr},
      {"registerPushToken", [](auto& s, auto& t) { return s.post("/app/push-token", pushToken(), t); }, 204, nullptr},
      {"deletePushToken", [](auto& s, auto& t) { return s.request("DELETE", "/app/push-token", pushToken(), t); }, 204, nullptr},
      {"appRelease", [](auto& s, auto&) { return s.get("/app/ios/release"); }, 200, &kRelease},
  };
  return table;
}

class Records : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Records, EndpointAnswersWithItsRecord) {
  const Endpoint& e = endpoints()[GetParam()];
  DevServerProcess server;
  std::string token = server.loginDemo()["access_token"];
  Reply r = e.call(server, token);
  ASSERT_EQ(r.status, e.status) << e.name << ": " << describe(r);
  if (!e.schema) {
    EXPECT_TRUE(r.body.empty() || !r.json().is_discarded()) << e.name;
    return;
  }
  Json j = r.json();
  if (e.array) {
    ASSERT_TRUE(j.is_array()) << e.name;
    ASSERT_FALSE(j.empty()) << e.name;
    for (const auto& item : j) EXPECT_EQ(shapeErrors(item, *e.schema), "") << e.name;
  } else {
    EXPECT_EQ(shapeErrors(j, *e.schema), "") << e.name << ": " << j.dump();
  }
}

INSTANTIATE_TEST_SUITE_P(AllEndpoints, Records, ::testing::Range<std::size_t>(0, endpoints().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& param) { return std::string(endpoints()[param.param].name); });

TEST(RecordsGuard, AuthorizedEndpointsRefuseAMissingToken) {
  DevServerProcess server;
  for (const char* path : {"/me", "/subscription/status", "/devices", "/billing/catalog", "/vpn/servers"}) {
    Reply r = server.get(path);
    EXPECT_EQ(r.status, 401) << path;
    EXPECT_TRUE(r.json().contains("detail")) << path;
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
