// The development backend as a test peer: DevServer starts the tarn-devserver binary on a free
// port as a child process and stops it again; DevAPI talks to it directly (development endpoints,
// and checks with a token of the test's own), over a CurlSession but never through APIClient.
#pragma once

#include "common/subprocess.hpp"
#include "tarn/api/curl_session.hpp"
#include "tarn/platform/url.hpp"

#include <asio/any_io_executor.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarn::e2e {

using Json = nlohmann::json;

class DevServer {
public:
    /// Starts the server with "--port 0 --quiet" and `flags`; throws std::runtime_error when it
    /// does not announce its address within ten seconds.
    explicit DevServer(std::vector<std::string> flags = {});
    /// SIGTERM, then SIGKILL if it has not stopped after five seconds.
    ~DevServer();

    /// "http://127.0.0.1:<port>", without a trailing "/".
    const std::string& url() const { return server_.url(); }
    URL baseURL() const;
    /// What the server wrote to standard error so far (the development codes, notices).
    std::string log() const { return server_.log(); }

private:
    tools::ServerProcess server_;
};

struct DevReply {
    std::int64_t status = 0;
    std::string body;
    /// The body as JSON; a test failure (and null) when it is not JSON.
    Json json() const;
    friend std::ostream& operator<<(std::ostream& os, const DevReply& r) {
        return os << "HTTP " << r.status << " " << r.body;
    }
};

class DevAPI {
public:
    /// `executor` must be run by threads other than the caller's: every call blocks until answered.
    DevAPI(std::string baseURL, asio::any_io_executor executor);

    DevReply send(std::string method, const std::string& pathAndQuery, const std::optional<Json>& body = std::nullopt,
                  const std::optional<std::string>& bearer = std::nullopt);
    DevReply get(const std::string& path, const std::optional<std::string>& bearer = std::nullopt) {
        return send("GET", path, std::nullopt, bearer);
    }
    DevReply post(const std::string& path, const Json& body) { return send("POST", path, body); }

    std::string emailCode(const std::string& email);
    std::string telegramCode(const std::string& sessionID);
    void addFault(const Json& rule);
    void clearFaults();
    void resetStats();
    /// Requests per "METHOD path" since the last reset.
    std::map<std::string, std::int64_t> requestCounts();
    /// Answers per status of one "METHOD path" since the last reset.
    std::map<std::string, std::int64_t> statusCounts(const std::string& methodAndPath);
    void expireTokens(const std::string& email);
    void updateAccount(const Json& changes);

private:
    DevReply expect(std::int64_t status, DevReply reply, const std::string& what);

    std::string base_;
    asio::any_io_executor executor_;
    CurlSession session_;
};

}  // namespace tarn::e2e
