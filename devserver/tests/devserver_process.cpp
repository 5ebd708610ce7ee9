#include "devserver_process.hpp"

#include <signal.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

namespace tarn::devserver::test {

Json Reply::json() const {
  Json j = Json::parse(body, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << "not JSON: " << body;
  return j;
}

std::string describe(const Reply& r) { return "HTTP " + std::to_string(r.status) + " " + r.body; }

namespace {

std::string serverPath() {
  if (const char* path = std::getenv("TARN_DEVSERVER"); path && *path) return path;
  return TARN_DEVSERVER_PATH;
}

std::vector<std::string> serverArgs(std::vector<std::string> args) {
  args.insert(args.begin(), {"--port", "0"});
  return args;
}

Reply expect(int status, Reply reply, const std::string& what) {
  if (reply.status != status)
    throw std::runtime_error(what + ": expected HTTP " + std::to_string(status) + ", got " + describe(reply));
  return reply;
}

}  // namespace

// SIGKILL should the test program die first: an aborted test must not leave a server behind.
DevServerProcess::DevServerProcess(std::vector<std::string> args)
    : server_(serverPath(), serverArgs(std::move(args)), {}, SIGKILL) {}

DevServerProcess::~DevServerProcess() {
  tools::ExitStatus status = server_.stop();
  EXPECT_TRUE(status.success()) << "tarn-devserver did not stop cleanly:\n" << log();
}

Reply DevServerProcess::request(const std::string& method, const std::string& path, const std::optional<Json>& body,
                                const std::string& accessToken, const httplib::Headers& extra) const {
  httplib::Client client("127.0.0.1", port());
  client.set_read_timeout(10, 0);
  httplib::Headers headers = extra;
  if (!accessToken.empty()) headers.emplace("Authorization", "Bearer " + accessToken);
  // A null body is no body, as for a bodiless POST.
  std::string payload = body && !body->is_null() ? body->dump() : "";
  auto send = [&]() -> httplib::Result {
    if (method == "GET") return client.Get(path, headers);
    if (method == "POST") return client.Post(path, headers, payload, "application/json");
    if (method == "DELETE")
      return body ? client.Delete(path, headers, payload, "application/json") : client.Delete(path, headers);
    throw std::invalid_argument("method " + method);
  };
  httplib::Result res = send();
  if (!res) return Reply{};
  return Reply{res->status, res->body, res->headers};
}

Json DevServerProcess::loginDemo() const {
  Reply r = post("/auth/login", {{"email", "demo@tarn.dev"}, {"password", "demo-password"}});
  EXPECT_EQ(r.status, 200) << describe(r);
  return r.json();
}

std::string DevServerProcess::emailCode(const std::string& email) const {
  // The address contains "@" and maybe "+": both must be escaped in a query value.
  std::string escaped;
  for (unsigned char ch : email) {
    if (std::isalnum(ch) || ch == '.' || ch == '-' || ch == '_') {
      escaped += static_cast<char>(ch);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", ch);
      escaped += hex;
    }
  }
  return expect(200, get("/dev/email-code?email=" + escaped), "email code").json().at("code");
}

std::string DevServerProcess::telegramCode(const std::string& sessionID) const {
  return expect(200, get("/dev/telegram-code?session=" + sessionID), "Telegram code").json().at("code");
}

void DevServerProcess::addFault(const Json& rule) const { expect(201, post("/dev/faults", rule), "add fault"); }
void DevServerProcess::clearFaults() const { expect(204, request("DELETE", "/dev/faults"), "clear faults"); }
void DevServerProcess::resetStats() const { expect(204, request("DELETE", "/dev/stats"), "reset stats"); }

std::map<std::string, std::int64_t> DevServerProcess::requestCounts() const {
  return expect(200, get("/dev/stats"), "stats").json().at("requests");
}

std::map<std::string, std::int64_t> DevServerProcess::statusCounts(const std::string& methodAndPath) const {
  Json statuses = expect(200, get("/dev/stats"), "stats").json().at("statuses");
  if (!statuses.contains(methodAndPath)) return {};
  return statuses.at(methodAndPath);
}

void DevServerProcess::expireTokens(const std::string& email) const {
  expect(200, post("/dev/expire-tokens", {{"email", email}}), "expire tokens");
}

void DevServerProcess::updateAccount(const Json& changes) const {
  expect(200, post("/dev/account", changes), "update account");
}

}  // namespace tarn::devserver::test
