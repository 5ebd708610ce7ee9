// Test fixture: starts the real tarn-devserver binary on a free port as a child process, reads the
// port from its first output line and offers small JSON-over-HTTP helpers and the development
// endpoints (codes, faults, statistics) for the tests of the backend, the library and the tools.
// The environment variable TARN_DEVSERVER names another build of the server to start.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "common/subprocess.hpp"

namespace tarn::devserver::test {

using Json = nlohmann::json;

struct Reply {
  int status = 0;  // 0: the connection failed or closed without an answer
  std::string body;
  httplib::Headers headers;
  Json json() const;  // the body parsed; a test failure when it is not JSON
};

class DevServerProcess {
public:
  explicit DevServerProcess(std::vector<std::string> args = {});
  ~DevServerProcess();

  int port() const { return server_.port(); }
  const std::string& url() const { return server_.url(); }
  std::string log() const { return server_.log(); }  // what the server wrote to standard error so far

  Reply request(const std::string& method, const std::string& path, const std::optional<Json>& body = std::nullopt,
                const std::string& accessToken = "", const httplib::Headers& extra = {}) const;
  Reply get(const std::string& path, const std::string& token = "") const { return request("GET", path, std::nullopt, token); }
  Reply post(const std::string& path, const Json& body, const std::string& token = "") const {
    return request("POST", path, body, token);
  }

  // Signs in as the seeded demo account; returns the whole AuthResponse.
  Json loginDemo() const;

  // The development endpoints. Each throws std::runtime_error when the server does not answer as
  // it should, so a test cannot go on from a fault or a count it did not get.
  std::string emailCode(const std::string& email) const;
  std::string telegramCode(const std::string& sessionID) const;
  void addFault(const Json& rule) const;
  void clearFaults() const;
  void resetStats() const;
  // Requests per "METHOD path" since the last reset.
  std::map<std::string, std::int64_t> requestCounts() const;
  // Answers per status of one "METHOD path" since the last reset.
  std::map<std::string, std::int64_t> statusCounts(const std::string& methodAndPath) const;
  void expireTokens(const std::string& email) const;
  void updateAccount(const Json& changes) const;

private:
  tools::ServerProcess server_;
};

// Exposition helper for failure messages.
std::string describe(const Reply& r);
inline std::ostream& operator<<(std::ostream& os, const Reply& r) { return os << describe(r); }

}  // namespace tarn::devserver::test
