#include "dev_server.hpp"

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tarn::e2e {

namespace {

std::string serverPath() {
    if (const char* path = std::getenv("TARN_DEVSERVER"); path && *path) return path;
    return TARN_DEVSERVER_PATH;
}

std::vector<std::string> serverArgs(std::vector<std::string> flags) {
    flags.insert(flags.begin(), {"--port", "0", "--quiet"});
    return flags;
}

}  // namespace

// A test that aborts must not leave the server running, so it dies with us.
DevServer::DevServer(std::vector<std::string> flags)
    : server_(serverPath(), serverArgs(std::move(flags)), {}, SIGKILL) {}

DevServer::~DevServer() {
    if (server_.stop(std::chrono::seconds(5)).signal == SIGKILL) {
        ADD_FAILURE() << "tarn-devserver did not stop within five seconds of SIGTERM";
    }
}

URL DevServer::baseURL() const { return URL::parse(url() + "/").value(); }

Json DevReply::json() const {
    Json j = Json::parse(body, nullptr, false);
    if (j.is_discarded()) {
        ADD_FAILURE() << "not JSON: " << body;
        return nullptr;
    }
    return j;
}

DevAPI::DevAPI(std::string baseURL, asio::any_io_executor executor)
    : base_(std::move(baseURL)), executor_(executor), session_(executor) {}

DevReply DevAPI::send(std::string method, const std::string& pathAndQuery, const std::optional<Json>& body,
                      const std::optional<std::string>& bearer) {
    HttpRequest request;
    request.method = std::move(method);
    request.url = base_ + pathAndQuery;
    request.timeout = std::chrono::seconds(20);
    if (body) {
        request.body = body->dump();
        request.setHeader("Content-Type", "application/json");
    }
    if (bearer) request.setHeader("Authorization", "Bearer " + *bearer);
    HttpResponse response = asio::co_spawn(executor_, session_.send(std::move(request)), asio::use_future).get();
    return {response.statusCode, std::move(response.body)};
}

DevReply DevAPI::expect(std::int64_t status, DevReply reply, const std::string& what) {
    if (reply.status != status) {
        throw std::runtime_error(what + ": expected HTTP " + std::to_string(status) + ", got HTTP " +
                                 std::to_string(reply.status) + " " + reply.body);
    }
    return reply;
}

std::string DevAPI::emailCode(const std::string& email) {
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
    return expect(200, get("/dev/email-code?email=" + escaped), "email code").json().at("code").get<std::string>();
}

std::string DevAPI::telegramCode(const std::string& sessionID) {
    return expect(200, get("/dev/telegram-code?session=" + sessionID), "Telegram code")
        .json()
        .at("code")
        .get<std::string>();
}

void DevAPI::addFault(const Json& rule) { expect(201, post("/dev/faults", rule), "add fault"); }

void DevAPI::clearFaults() { expect(204, send("DELETE", "/dev/faults"), "clear faults"); }

void DevAPI::resetStats() { expect(204, send("DELETE", "/dev/stats"), "reset stats"); }

std::map<std::string, std::int64_t> DevAPI::requestCounts() {
    return expect(200, get("/dev/stats"), "stats").json().at("requests").get<std::map<std::string, std::int64_t>>();
}

std::map<std::string, std::int64_t> DevAPI::statusCounts(const std::string& methodAndPath) {
    Json statuses = expect(200, get("/dev/stats"), "stats").json().at("statuses");
    if (!statuses.contains(methodAndPath)) return {};
    return statuses.at(methodAndPath).get<std::map<std::string, std::int64_t>>();
}

void DevAPI::expireTokens(const std::string& email) {
    expect(200, post("/dev/expire-tokens", Json{{"email", email}}), "expire tokens");
}

void DevAPI::updateAccount(const Json& changes) { expect(200, post("/dev/account", changes), "update account"); }

}  // namespace tarn::e2e
