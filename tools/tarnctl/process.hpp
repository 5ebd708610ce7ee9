// Child processes tarnctl starts: helper programs (qrencode, xdg-open) and, for the demo, the
// development backend, which must be stopped on every way out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarnctl {

/// The program `name` on $PATH, or nullopt.
std::optional<std::filesystem::path> findOnPath(const std::string& name);

/// Runs a program to completion and returns its standard output, or nullopt when it cannot be
/// started or fails. Standard input and error are /dev/null. No shell is involved.
std::optional<std::string> captureOutput(const std::filesystem::path& program, const std::vector<std::string>& args);

/// Starts a program without waiting for it (a browser opener). False when it cannot be started.
bool startDetached(const std::filesystem::path& program, const std::vector<std::string>& args);

/// tarn-devserver as a child: started on a free loopback port, stopped with SIGTERM (and reaped)
/// by stop() or the destructor; asked by the kernel to stop if tarnctl dies first.
class DevServerChild {
public:
    /// Throws std::runtime_error when it cannot start or does not announce its address in time.
    DevServerChild(const std::filesystem::path& program, const std::vector<std::string>& args,
                   const std::filesystem::path& logFile, std::chrono::seconds startTimeout = std::chrono::seconds(15));
    ~DevServerChild();
    DevServerChild(const DevServerChild&) = delete;
    DevServerChild& operator=(const DevServerChild&) = delete;

    const std::string& url() const noexcept { return url_; }
    pid_t pid() const noexcept { return pid_; }
    /// Stops the server and waits for it; true when it exited cleanly. Safe to call twice.
    bool stop();

private:
    pid_t pid_ = -1;
    int stdoutFD_ = -1;  // kept open: a closed pipe would kill the server on its next write
    std::string url_;
};

}  // namespace tarnctl
