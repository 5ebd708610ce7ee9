#include "common/instance_lock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace tarn::tunnel {

namespace fs = std::filesystem;

namespace {

fs::path lockFile(const fs::path& runDirectory) { return runDirectory / "lock"; }

flock wholeFile(short type) {
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

}  // namespace

InstanceLock::InstanceLock(const fs::path& runDirectory, bool readable) {
    const fs::path path = lockFile(runDirectory);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd_ < 0) throw fs::filesystem_error("cannot open the lock file", path, std::error_code(errno, std::generic_category()));
    ::fchmod(fd_, readable ? 0644 : 0600);
    flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd_, F_SETLK, &lock) == 0) return;
    int error = errno;
    ::close(fd_);
    fd_ = -1;
    if (error != EACCES && error != EAGAIN)
        throw fs::filesystem_error("cannot lock", path, std::error_code(error, std::generic_category()));
    pid_t holder = lockHolder(runDirectory).value_or(0);
    throw AlreadyRunning("another tarn-tunnel (pid " + std::to_string(holder) + ") is running with the run directory " +
                             runDirectory.string(),
                         holder);
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<pid_t> lockHolder(const fs::path& runDirectory) {
    int fd = ::open(lockFile(runDirectory).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    flock query = wholeFile(F_WRLCK);
    int result = ::fcntl(fd, F_GETLK, &query);
    ::close(fd);
    if (result != 0 || query.l_type == F_UNLCK) return std::nullopt;
    return query.l_pid;
}

}  // namespace tarn::tunnel
