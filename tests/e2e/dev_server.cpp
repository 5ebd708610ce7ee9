#include "dev_server.hpp"

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tarn::e2e {

namespace {

std::string serverPath() {
    if (const char* path = std::getenv("TARN_DEVSERVER"); path && *path) return path;
    return TARN_DEVSERVER_PATH;
}

// Reads until the first line break or until `deadline`; what came so far when it gives up.
std::string readFirstLine(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string text;
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace

DevServer::DevServer(std::vector<std::string> flags) {
    static std::atomic<int> counter{0};
    logPath_ = ::testing::TempDir() + "tarn-e2e-devserver-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + ".log";

    std::vector<std::string> args = {serverPath(), "--port", "0", "--quiet"};
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("cannot create " + logPath_);
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec. A test that aborts must not leave the server
        // running, so it dies with us.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(log);
    if (pid_ < 0) {
        ::close(out[0]);
        throw std::runtime_error("fork failed");
    }

    std::string line = readFirstLine(out[0], std::chrono::steady_clock::now() + std::chrono::seconds(10));
    ::close(out[0]);
    const std::string prefix = "listening on http://127.0.0.1:";
    auto end = line.find('\n');
    if (line.rfind(prefix, 0) != 0 || end == std::string::npos) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw std::runtime_error("tarn-devserver (" + args[0] + ") did not announce its address; it said \"" + line +
                                 "\"\n" + this->log());
    }
    url_ = line.substr(std::string("listening on ").size(), end - std::string("listening on ").size());
}

DevServer::~DevServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "tarn-devserver did not stop within five seconds of SIGTERM";
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::remove(logPath_.c_str());
}

URL DevServer::baseURL() const { return URL::parse(url_ + "/").value(); }

std::string DevServer::log() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

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

void DevAPI::telegramReady(const std::string& sessionID, const Json& telegramUser) {
    expect(200, post("/dev/telegram/" + sessionID + "/ready", telegramUser), "Telegram ready");
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
