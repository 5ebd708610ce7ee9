#include "subprocess.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace tarn::tools {

namespace {

using Clock = std::chrono::steady_clock;

std::system_error systemError(int error, const std::string& what) {
    return std::system_error(error, std::generic_category(), what);
}

// Closes the descriptor on every way out of the constructor, throws included.
class OwnedFD {
public:
    explicit OwnedFD(int fd = -1) : fd_(fd) {}
    ~OwnedFD() { reset(); }
    OwnedFD(const OwnedFD&) = delete;
    OwnedFD& operator=(const OwnedFD&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

struct Pipe {
    OwnedFD read, write;
};

// Both ends close on exec: the child gets only what it is given as 0, 1 and 2, and a pipe does
// not leak into children other threads start at the same time.
void openPipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw systemError(errno, "cannot create a pipe");
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// In the child. dup2 onto itself would keep close-on-exec set, so that case clears the flag.
bool redirect(int from, int to) {
    if (from == to) return ::fcntl(to, F_SETFD, 0) == 0;
    return ::dup2(from, to) == to;
}

enum class ReadOutcome { Line, End, TimedOut };

// Appends what `fd` yields to `buffer` until it holds a line break (when `untilLine`), the output
// ends, or the deadline passes.
ReadOutcome readInto(int fd, std::string& buffer, bool untilLine, Clock::time_point deadline) {
    if (fd < 0) return ReadOutcome::End;
    for (;;) {
        if (untilLine && buffer.find('\n') != std::string::npos) return ReadOutcome::Line;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return ReadOutcome::TimedOut;
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return ReadOutcome::TimedOut;
        if (ready < 0) return ReadOutcome::End;
        char chunk[4096];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ReadOutcome::End;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

ExitStatus statusOf(int status) {
    if (WIFEXITED(status)) return {WEXITSTATUS(status), 0};
    return {-1, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

}  // namespace

std::optional<std::filesystem::path> findOnPath(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
        auto colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        // An empty entry would mean the working directory: never where a tool should come from.
        if (dir.empty()) continue;
        std::filesystem::path candidate = std::filesystem::path(dir) / name;
        std::error_code ec;
        if (::access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> captureOutput(const std::filesystem::path& program, const std::vector<std::string>& args,
                                         std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    try {
        Subprocess child(program, args);
        std::string out;
        if (readInto(child.stdoutFD(), out, false, deadline) != ReadOutcome::End) {
            child.stop(std::chrono::milliseconds(0));
            return std::nullopt;
        }
        // The output ends as the program exits; a moment more lets it be reaped on the way.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        auto status = child.wait(std::max(left, std::chrono::milliseconds(500)));
        if (status && status->success()) return out;
        child.stop(std::chrono::milliseconds(0));
        return std::nullopt;
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

bool startDetached(const std::filesystem::path& program, const std::vector<std::string>& args) {
    SpawnOptions options;
    options.pipeStdout = false;
    options.newProcessGroup = true;
    try {
        Subprocess(program, args, options).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

Subprocess::Subprocess(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const SpawnOptions& options) {
    // Everything the child uses is made before fork: between fork and exec only async-signal-safe
    // calls are allowed, since another thread may have held the allocator's lock at the fork.
    std::vector<std::string> argStrings{program.string()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(argStrings);
    std::vector<std::string> envStrings = options.environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp = pointers(envStrings);
    char** env = options.environment ? envp.data() : environ;

    OwnedFD devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (devNull.get() < 0) throw systemError(errno, "cannot open /dev/null");
    OwnedFD logFile;
    if (!options.pipeStderr && !options.stderrFile.empty()) {
        logFile.reset(::open(options.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (logFile.get() < 0) throw systemError(errno, "cannot create " + options.stderrFile.string());
    }
    Pipe in, out, err, execFailure;
    if (options.pipeStdin) openPipe(in);
    if (options.pipeStdout) openPipe(out);
    if (options.pipeStderr) openPipe(err);
    openPipe(execFailure);
    const int childIn = options.pipeStdin ? in.read.get() : devNull.get();
    const int childOut = options.pipeStdout ? out.write.get() : devNull.get();
    const int childErr = options.pipeStderr ? err.write.get() : logFile.get() >= 0 ? logFile.get() : devNull.get();

    // The child starts with no signal blocked and none ignored, whatever this process chose for
    // itself: tarnctl ignores SIGPIPE, a test thread may block signals, and a program started
    // from here would otherwise inherit both across exec without knowing it.
    sigset_t unblocked;
    ::sigemptyset(&unblocked);

    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) throw systemError(errno, "cannot start " + program.string());
    if (pid == 0) {
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) ::signal(signal, SIG_DFL);
        }
        ::sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        // The group before exec, and none besides it: firewall rules that single out the child's
        // traffic match on its group. Before the parent-death signal, which a change of group clears.
        if (options.groupID && (::setgroups(0, nullptr) != 0 || ::setgid(*options.groupID) != 0)) {
            int error = errno;
            [[maybe_unused]] ssize_t written = ::write(execFailure.write.get(), &error, sizeof error);
            ::_exit(127);
        }
        if (options.parentDeathSignal != 0) {
            ::prctl(PR_SET_PDEATHSIG, options.parentDeathSignal);
            // The parent may have died before the request: nobody would send the signal then.
            if (::getppid() != parent) ::_exit(127);
        }
        if (options.newProcessGroup) ::setpgid(0, 0);
        if (redirect(childIn, STDIN_FILENO) && redirect(childOut, STDOUT_FILENO) && redirect(childErr, STDERR_FILENO)) {
            ::execve(argv[0], argv.data(), env);
        }
        // The parent learns why from the pipe; on a successful exec it only sees the pipe close.
        int error = errno;
        [[maybe_unused]] ssize_t written = ::write(execFailure.write.get(), &error, sizeof error);
        ::_exit(127);
    }
    execFailure.write.reset();
    int error = 0;
    ssize_t n;
    while ((n = ::read(execFailure.read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    pid_ = pid;
    if (n == static_cast<ssize_t>(sizeof error)) {
        reap(0);
        throw systemError(error, "cannot start " + program.string());
    }
    stdin_ = in.write.release();
    stdout_ = out.read.release();
    stderr_ = err.read.release();
}

Subprocess::~Subprocess() { stop(); }

void Subprocess::closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

void Subprocess::closePipes() {
    closeStdin();
    for (int* fd : {&stdout_, &stderr_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

std::optional<std::string> Subprocess::readLine(std::chrono::milliseconds timeout) {
    if (readInto(stdout_, pending_, true, Clock::now() + timeout) != ReadOutcome::Line) return std::nullopt;
    auto nl = pending_.find('\n');
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    return line;
}

// True once the child is reaped (or cannot be, having been reaped elsewhere); the pid is
// forgotten then, so that no signal can reach a process that later gets the same number.
bool Subprocess::reap(int flags) {
    if (pid_ < 0) return true;
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, flags)) < 0 && errno == EINTR) {
    }
    if (r == 0) return false;
    exit_ = r == pid_ ? statusOf(status) : ExitStatus{};
    pid_ = -1;
    return true;
}

std::optional<ExitStatus> Subprocess::wait(std::chrono::milliseconds timeout) {
    // waitpid has no timeout: poll it, with pauses growing up to a few milliseconds.
    auto deadline = Clock::now() + timeout;
    auto pause = std::chrono::microseconds(200);
    while (!reap(WNOHANG)) {
        auto now = Clock::now();
        if (now >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds(20'000));
    }
    return exit_;
}

ExitStatus Subprocess::stop(std::chrono::milliseconds grace) {
    if (pid_ > 0 && grace.count() > 0) {
        ::kill(pid_, SIGTERM);
        wait(grace);
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(0);
    }
    closePipes();
    return exit_.value_or(ExitStatus{});
}

void Subprocess::detach() {
    pid_ = -1;
    closePipes();
}

namespace {

SpawnOptions serverOptions(const std::filesystem::path& logFile, int parentDeathSignal) {
    SpawnOptions options;
    options.stderrFile = logFile;
    options.parentDeathSignal = parentDeathSignal;
    return options;
}

}  // namespace

ServerProcess::LogFile::LogFile(const std::filesystem::path& given) : path(given) {
    if (!path.empty()) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "tarn-server-XXXXXX.log").string();
    int fd = ::mkstemps(pattern.data(), 4);
    if (fd < 0) throw systemError(errno, "cannot create a log file in " + pattern);
    ::close(fd);
    path = pattern;
    temporary = true;
}

ServerProcess::LogFile::~LogFile() {
    std::error_code ec;
    if (temporary) std::filesystem::remove(path, ec);
}

ServerProcess::ServerProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                             const std::filesystem::path& logFile, int parentDeathSignal,
                             std::chrono::milliseconds startTimeout)
    : log_(logFile), process_(program, args, serverOptions(log_.path, parentDeathSignal)) {
    constexpr std::string_view prefix = "listening on ";
    std::optional<std::string> line = process_.readLine(startTimeout);
    if (line && line->starts_with(prefix)) {
        url_ = line->substr(prefix.size());
        auto colon = url_.rfind(':');
        std::string_view port = colon == std::string::npos ? "" : std::string_view(url_).substr(colon + 1);
        if (url_.find("://") != std::string::npos && !port.empty() && port.size() <= 5 &&
            port.find_first_not_of("0123456789") == std::string_view::npos) {
            port_ = std::stoi(std::string(port));
            return;
        }
    }
    process_.stop(std::chrono::milliseconds(0));
    std::string text = log();
    throw std::runtime_error(program.filename().string() + " did not announce its address" +
                             (line ? ", it said \"" + *line + "\"" : "") + " (log " + log_.path.string() + ")" +
                             (text.empty() ? "" : ":\n" + text));
}

std::string ServerProcess::log() const {
    std::ifstream in(log_.path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace tarn::tools
