#include "cli_harness.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

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

tarn::tools::SpawnOptions childOptions(const EnvChanges& env) {
    tarn::tools::SpawnOptions options;
    options.pipeStdin = options.pipeStdout = options.pipeStderr = true;
    options.parentDeathSignal = SIGKILL;
    options.environment = environmentWith(env);
    return options;
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

// -- Child ------------------------------------------------------------------------------------

Child::Child(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env)
    : process_(program, args, childOptions(env)) {}

Child::~Child() { process_.stop(std::chrono::milliseconds(0)); }

void Child::write(const std::string& text) {
    ASSERT_GE(process_.stdinFD(), 0) << "standard input is closed";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(process_.stdinFD(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << "cannot write to the child: " << std::strerror(errno);
        done += static_cast<std::size_t>(n);
    }
}

void Child::closeInput() { process_.closeStdin(); }

bool Child::pump(std::chrono::milliseconds wait) {
    std::vector<pollfd> fds;
    if (outOpen_) fds.push_back({process_.stdoutFD(), POLLIN, 0});
    if (errOpen_) fds.push_back({process_.stderrFD(), POLLIN, 0});
    if (fds.empty()) return false;
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0) return true;
    for (const auto& p : fds) {
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[4096];
        ssize_t n = ::read(p.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        bool isOut = p.fd == process_.stdoutFD();
        if (n <= 0) {
            (isOut ? outOpen_ : errOpen_) = false;
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
    // With both pipes at their end the program is on its way out; otherwise it overran.
    std::optional<tarn::tools::ExitStatus> status;
    if (!outOpen_ && !errOpen_) status = process_.wait(std::chrono::seconds(5));
    Result r;
    r.exitCode = status ? status->code : process_.stop(std::chrono::milliseconds(0)).code;
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

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace tarnctl::test
