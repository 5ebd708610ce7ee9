#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace tarnctl {

namespace {

std::vector<char*> argvOf(const std::filesystem::path& program, std::vector<std::string>& storage,
                          const std::vector<std::string>& args) {
    storage.clear();
    storage.push_back(program.string());
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Reads from fd until end of file or until the deadline; false on timeout.
bool readAll(int fd, std::string& out, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::optional<std::filesystem::path> findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
        auto colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        if (dir.empty()) continue;
        std::filesystem::path candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> captureOutput(const std::filesystem::path& program, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> storage;
    auto argv = argvOf(program, storage, args);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return std::nullopt;
    }
    std::string text;
    bool finished = readAll(out[0], text, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    ::close(out[0]);
    if (!finished) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

bool startDetached(const std::filesystem::path& program, const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Its own process group, so that a Ctrl-C meant for tarnctl does not close the browser.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    std::vector<std::string> storage;
    auto argv = argvOf(program, storage, args);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0;
}

DevServerChild::DevServerChild(const std::filesystem::path& program, const std::vector<std::string>& args,
                               const std::filesystem::path& logFile, std::chrono::seconds startTimeout) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe for tarn-devserver");
    int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("cannot create " + logFile.string());
    }
    std::vector<std::string> storage;
    auto argv = argvOf(program, storage, args);
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec. The kernel stops the server should tarnctl
        // die without cleaning up (SIGKILL, a crash).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(log);
    if (pid_ < 0) {
        ::close(out[0]);
        throw std::runtime_error("cannot start " + program.string());
    }

    // The first line of standard output names the address: "listening on http://127.0.0.1:PORT".
    std::string first;
    auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (first.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{out[0], POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[256];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        first.append(buf, static_cast<std::size_t>(n));
    }
    stdoutFD_ = out[0];
    constexpr std::string_view prefix = "listening on ";
    auto nl = first.find('\n');
    if (nl == std::string::npos || first.compare(0, prefix.size(), prefix) != 0) {
        stop();
        throw std::runtime_error("tarn-devserver did not start (see " + logFile.string() + ")");
    }
    url_ = first.substr(prefix.size(), nl - prefix.size());
}

DevServerChild::~DevServerChild() { stop(); }

bool DevServerChild::stop() {
    bool clean = true;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (stdoutFD_ >= 0) {
        ::close(stdoutFD_);
        stdoutFD_ = -1;
    }
    return clean;
}

}  // namespace tarnctl
