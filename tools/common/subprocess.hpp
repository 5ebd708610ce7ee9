// Child programs for tarnctl and the test programs: started without a shell, read through a pipe
// on standard output, stopped and reaped within a bounded time. It links nothing of the library, so
// that the development backend's tests can use it and stay independent of the client.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::tools {

/// The program `name` on $PATH, or nullopt.
std::optional<std::filesystem::path> findOnPath(std::string_view name);

/// Runs a program to completion and returns its standard output; nullopt when it cannot be
/// started, fails, or has not finished within `timeout` (it is killed then). Standard input and
/// error are /dev/null.
std::optional<std::string> captureOutput(const std::filesystem::path& program, const std::vector<std::string>& args,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// Starts a program that is never waited for (a browser opener), in its own process group so that
/// a Ctrl-C meant for us does not reach it. False when it cannot be started.
bool startDetached(const std::filesystem::path& program, const std::vector<std::string>& args);

/// How a child ended.
struct ExitStatus {
    int code = -1;   // its exit code; -1 when a signal ended it
    int signal = 0;  // the signal that ended it, or 0
    bool success() const { return code == 0; }
};

struct SpawnOptions {
    bool pipeStdin = false;   // otherwise /dev/null
    bool pipeStdout = true;   // otherwise /dev/null
    bool pipeStderr = false;  // otherwise stderrFile, or /dev/null when that is empty
    std::filesystem::path stderrFile;  // created or truncated, readable by the owner only; never a link
    /// Sent by the kernel when the thread that started the child ends, so that a crash or a
    /// SIGKILL of ours does not leave it running; 0 for none.
    int parentDeathSignal = 0;
    bool newProcessGroup = false;
    /// The child's only group (needs the privilege to change groups); nullopt keeps ours.
    std::optional<gid_t> groupID;
    /// The whole environment as "NAME=value" entries; nullopt passes ours on.
    std::optional<std::vector<std::string>> environment;
};

/// A running child. The pipes stay open until it is stopped: a server whose standard output
/// closed would die of SIGPIPE on its next write.
class Subprocess {
public:
    /// Starts `program` (a path: $PATH is not searched). Throws std::system_error when it cannot
    /// be started, a failed exec included.
    Subprocess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const SpawnOptions& options = {});
    /// stop() with the default grace.
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const noexcept { return pid_; }  // -1 once reaped or detached
    int stdinFD() const noexcept { return stdin_; }
    int stdoutFD() const noexcept { return stdout_; }
    int stderrFD() const noexcept { return stderr_; }
    void closeStdin();

    /// The next line of standard output without its line break; nullopt when the output ends or
    /// `timeout` passes first.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);

    /// Waits up to `timeout` for the child to exit and reaps it; nullopt while it still runs.
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    /// SIGTERM, up to `grace` for the child to exit, then SIGKILL (at once when `grace` is zero);
    /// reaps it, closes the pipes and returns how it ended. Safe to call again.
    ExitStatus stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
    /// Leaves the child running on its own: nothing signals or reaps it any more.
    void detach();

private:
    bool reap(int flags);
    void closePipes();

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string pending_;  // standard output read past the last line handed out
    std::optional<ExitStatus> exit_;
};

/// A server that names its address on the first line of standard output, "listening on URL"
/// (tarn-devserver), with standard error going to a log file.
class ServerProcess {
public:
    /// `logFile` empty: a fresh file in the temporary directory, removed after the server stops.
    /// Throws std::runtime_error, with the log, when the server does not announce a URL with a
    /// port within `startTimeout`; std::system_error when it cannot be started at all.
    ServerProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::filesystem::path& logFile, int parentDeathSignal,
                  std::chrono::milliseconds startTimeout = std::chrono::seconds(10));

    const std::string& url() const noexcept { return url_; }
    int port() const noexcept { return port_; }
    /// What the server wrote to standard error so far.
    std::string log() const;
    ExitStatus stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) { return process_.stop(grace); }

private:
    struct LogFile {
        explicit LogFile(const std::filesystem::path& given);
        ~LogFile();
        LogFile(const LogFile&) = delete;
        LogFile& operator=(const LogFile&) = delete;
        std::filesystem::path path;
        bool temporary = false;
    };

    LogFile log_;  // before the process: a temporary log is removed only once the server is gone
    Subprocess process_;
    std::string url_;
    int port_ = 0;
};

}  // namespace tarn::tools
