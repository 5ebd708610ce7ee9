// One tunnel service per run directory: two would run two cores on the same ports and remove each
// other's configuration. The service holds a POSIX record lock on RUN_DIR/lock for as long as it
// runs; the kernel drops it when the process ends however it ends, so a killed service never
// leaves a lock behind, and readers can ask who holds it without taking it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

namespace tarn::tunnel {

/// Another live service holds the run directory.
struct AlreadyRunning : std::runtime_error {
    AlreadyRunning(const std::string& what, pid_t holderPID) : std::runtime_error(what), holder(holderPID) {}
    pid_t holder;
};

class InstanceLock {
public:
    /// Takes the lock of `runDirectory` (which must exist). Throws AlreadyRunning, naming the
    /// holder, or std::filesystem::filesystem_error (the lock file cannot be opened: a link or
    /// something else in its place).
    /// `readable`: other users may open the lock file to ask who holds it.
    explicit InstanceLock(const std::filesystem::path& runDirectory, bool readable = false);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    int fd_ = -1;
};

/// The process that holds `runDirectory`'s lock, or nullopt when none does. Not for the holder
/// itself: it does not see its own lock, and closing the descriptor this opens would drop it.
std::optional<pid_t> lockHolder(const std::filesystem::path& runDirectory);

}  // namespace tarn::tunnel
