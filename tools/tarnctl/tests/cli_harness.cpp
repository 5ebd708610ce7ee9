#include "cli_harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <httplib.h>

extern char** environ;

namespace tarnctl::test {

namespace {

// Writing to a tarnctl that already exited must fail the test, not kill the test program.
const bool sigpipeIgnored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}();

std::vector<std::string> environmentWith(const EnvChanges& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (!changes.count(name)) env.push_back(entry);
    }
    for (const auto& [name, value] : changes) {
        if (value) env.push_back(name + "=" + *value);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Json Result::json() const {
    Json j = Json::parse(out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "stdout is not one JSON document:\n" << *this;
    return j.is_discarded() ? Json() : j;
}

std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << "exit " << r.exitCode << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err << "---";
}

Json Reply::json() const {
    Json j = Json::parse(body, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << body;
    return j;
}

// -- DevServer --------------------------------------------------------------------------------

DevServer::DevServer(std::vector<std::string> args) {
    static std::atomic<int> counter{0};
    logPath_ = ::testing::TempDir() + "tarnctl-devserver-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + ".log";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv = {TARN_DEVSERVER_PATH, "--port", "0", "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto cargv = pointers(argv);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int rc = ::posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        throw std::runtime_error("cannot start tarn-devserver");
    }
    stdoutFD_ = out[0];
    std::string line;
    pollfd pfd{stdoutFD_, POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&pfd, 1, 10'000) > 0) {
        char buf[256];
        ssize_t n = ::read(stdoutFD_, buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    const std::string prefix = "listening on http://127.0.0.1:";
    auto nl = line.find('\n');
    if (line.compare(0, prefix.size(), prefix) != 0 || nl == std::string::npos) {
        ::kill(pid_, SIGKILL);
        waitExit(pid_);
        pid_ = -1;
        throw std::runtime_error("tarn-devserver did not start: " + line);
    }
    url_ = line.substr(std::string("listening on ").size(), nl - std::string("listening on ").size());
    port_ = std::stoi(line.substr(prefix.size(), nl - prefix.size()));
}

DevServer::~DevServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitExit(pid_);
    }
    if (stdoutFD_ >= 0) ::close(stdoutFD_);
    std::remove(logPath_.c_str());
}

Reply DevServer::get(const std::string& path) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(10, 0);
    auto res = client.Get(path);
    return res ? Reply{res->status, res->body} : Reply{};
}

Reply DevServer::post(const std::string& path, const Json& body) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(10, 0);
    auto res = client.Post(path, body.is_null() ? std::string() : body.dump(), "application/json");
    return res ? Reply{res->status, res->body} : Reply{};
}

// -- Child ------------------------------------------------------------------------------------

Child::Child(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    auto cargv = pointers(argv);
    std::vector<std::string> envStrings = environmentWith(env);
    auto cenv = pointers(envStrings);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    int rc = ::posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitExit(pid_);
    }
    for (int fd : {in_, out_fd_, err_fd_}) {
        if (fd >= 0) ::close(fd);
    }
}

void Child::write(const std::string& text) {
    ASSERT_GE(in_, 0) << "standard input is closed";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << "cannot write to the child: " << std::strerror(errno);
        done += static_cast<std::size_t>(n);
    }
}

void Child::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

bool Child::pump(std::chrono::milliseconds wait) {
    std::vector<pollfd> fds;
    for (int fd : {out_fd_, err_fd_}) {
        if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    }
    if (fds.empty()) return false;
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0) return true;
    for (const auto& p : fds) {
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[4096];
        ssize_t n = ::read(p.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        bool isOut = p.fd == out_fd_;
        if (n <= 0) {
            ::close(p.fd);
            (isOut ? out_fd_ : err_fd_) = -1;
            continue;
        }
        (isOut ? out_ : err_).append(buf, static_cast<std::size_t>(n));
        combined_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> Child::waitForRestOfLine(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto at = combined_.find(text); at != std::string::npos) {
            auto start = at + text.size();
            if (auto nl = combined_.find('\n', start); nl != std::string::npos) return combined_.substr(start, nl - start);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(200)))) return std::nullopt;
    }
}

bool Child::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (combined_.find(text) != std::string::npos) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(200)))) return false;
    }
}

Result Child::finish(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && pump(std::chrono::milliseconds(200))) {
    }
    Result r;
    if (out_fd_ >= 0 || err_fd_ >= 0) ::kill(pid_, SIGKILL);
    r.exitCode = waitExit(pid_);
    pid_ = -1;
    r.out = out_;
    r.err = err_;
    return r;
}

Result run(const std::string& program, const std::vector<std::string>& args, const std::string& input,
           const EnvChanges& env, std::chrono::milliseconds timeout) {
    Child child(program, args, env);
    if (!input.empty()) child.write(input);
    child.closeInput();
    return child.finish(timeout);
}

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

TempDir::TempDir() {
    std::string pattern = ::testing::TempDir() + "tarnctl-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace tarnctl::test
