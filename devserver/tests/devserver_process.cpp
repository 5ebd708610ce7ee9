#include "devserver_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace tarn::devserver::test {

Json Reply::json() const {
  Json j = Json::parse(body, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << "not JSON: " << body;
  return j;
}

std::string describe(const Reply& r) { return "HTTP " + std::to_string(r.status) + " " + r.body; }

DevServerProcess::DevServerProcess(std::vector<std::string> args) {
  static std::atomic<int> counter{0};
  logPath_ = ::testing::TempDir() + "tarn-devserver-" + std::to_string(::getpid()) + "-" +
             std::to_string(counter++) + ".log";
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

  std::vector<std::string> argv = {TARN_DEVSERVER_PATH, "--port", "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int rc = ::posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }

  // The first line names the address; wait for it, but not forever.
  std::string line;
  pollfd pfd{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos) {
    if (::poll(&pfd, 1, 10'000) <= 0) break;
    char buf[256];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  const std::string prefix = "listening on ";
  std::string url = line.substr(0, line.find('\n'));
  url = url.rfind(prefix, 0) == 0 ? url.substr(prefix.size()) : "";
  bool shaped = url.rfind("http://127.0.0.1:", 0) == 0 || url.rfind("https://127.0.0.1:", 0) == 0;
  std::string port = shaped ? url.substr(url.rfind(':') + 1) : "";
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || line.find('\n') == std::string::npos) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    throw std::runtime_error("unexpected first line from tarn-devserver: " + line + "\n" + log());
  }
  url_ = url;
  port_ = std::stoi(port);
}

DevServerProcess::~DevServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "tarn-devserver did not stop cleanly:\n" << log();
  }
  std::remove(logPath_.c_str());
}

std::string DevServerProcess::log() const {
  std::ifstream in(logPath_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Reply DevServerProcess::request(const std::string& method, const std::string& path, const std::optional<Json>& body,
                                const std::string& accessToken, const httplib::Headers& extra) const {
  httplib::Client client("127.0.0.1", port_);
  client.set_read_timeout(10, 0);
  httplib::Headers headers = extra;
  if (!accessToken.empty()) headers.emplace("Authorization", "Bearer " + accessToken);
  std::string payload = body ? body->dump() : "";
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

Json DevServerProcess::registerFresh(const std::string& name) const {
  static std::atomic<int> counter{0};
  std::string email = "user" + std::to_string(counter++) + "@example.test";
  Reply r = post("/auth/register", {{"email", email},
                                    {"password", "correct horse"},
                                    {"name", name},
                                    {"accepted_terms", true},
                                    {"accepted_personal_data_processing", true}});
  EXPECT_EQ(r.status, 201) << describe(r);
  return r.json();
}

}  // namespace tarn::devserver::test
