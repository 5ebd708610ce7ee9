#include "storage/file_util.hpp"

#include "tarn/platform/digest.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tarn::storage_detail {

void throwErrno(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

std::string nameString(std::string_view name) { return std::string(name); }

// A name no other writer will pick: 64 random bits. O_EXCL settles the unlikely collision.
std::string randomTemporaryName() {
    unsigned char bytes[8];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot get random bytes for a temporary file name", {}, errno);
        }
        got += static_cast<std::size_t>(n);
    }
    return ".tmp-" + digest::hexBytes(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

void writeAll(int fd, std::string_view data, const fs::path& path) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot write file", path, errno);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string tooLargeMessage(std::size_t maxBytes) {
    return "refusing to read a file larger than " + std::to_string(maxBytes) + " bytes";
}

std::string readAll(int fd, const fs::path& path, std::size_t maxBytes = std::numeric_limits<std::size_t>::max()) {
    std::string out;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot read file", path, errno);
        }
        if (n == 0) return out;
        // The size was checked before reading, but the file may be growing under us.
        if (static_cast<std::size_t>(n) > maxBytes - out.size()) throwErrno(tooLargeMessage(maxBytes).c_str(), path, EFBIG);
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

constexpr std::string_view temporaryPrefix = ".tmp-";

// A temporary file being written, removed on every path out of the operation that did not hand it
// over. Its writer holds an flock on it until then, which tells a sweeper it is not stale.
class TemporaryFile {
public:
    TemporaryFile(const Directory& dir, std::string name, FileDescriptor fd)
        : dir_(&dir), name_(std::move(name)), fd_(std::move(fd)) {}
    TemporaryFile(TemporaryFile&& other) noexcept
        : dir_(other.dir_), name_(std::exchange(other.name_, {})), fd_(std::move(other.fd_)) {}
    ~TemporaryFile() {
        if (!name_.empty()) ::unlinkat(dir_->fd.get(), name_.c_str(), 0);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    const std::string& name() const { return name_; }
    void release() { name_.clear(); }

private:
    const Directory* dir_;
    std::string name_;
    FileDescriptor fd_;  // declared last: closed (and unlocked) after the name is gone
};

TemporaryFile createTemporaryFile(const Directory& dir, std::string_view data, mode_t mode) {
    for (int attempt = 0;; ++attempt) {
        std::string name = randomTemporaryName();
        int fd = ::openat(dir.fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 8) continue;
            throwErrno("cannot create temporary file", dir.path / name, errno);
        }
        FileDescriptor file(fd);
        ::flock(fd, LOCK_EX | LOCK_NB);  // a fresh inode: nobody else can hold it
        TemporaryFile temp(dir, name, std::move(file));
        // The umask may have narrowed the mode at creation; it can never widen it, so set it.
        if (::fchmod(fd, mode) != 0) throwErrno("cannot set file mode", dir.path / name, errno);
        writeAll(fd, data, dir.path / name);
        if (::fsync(fd) != 0) throwErrno("cannot flush file", dir.path / name, errno);
        return temp;
    }
}

// A refusal that says what was found: "refusing a directory ... (uid 1000, mode 0777)".
[[noreturn]] void refuse(const char* what, const struct stat& st, const fs::path& path) {
    char details[48];
    std::snprintf(details, sizeof details, " (uid %u, mode %04o)", static_cast<unsigned>(st.st_uid),
                  static_cast<unsigned>(st.st_mode & 07777));
    throwErrno((std::string("refusing ") + what + details).c_str(), path, EPERM);
}

std::string processName(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/comm";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    FileDescriptor file(fd);
    char buffer[64];
    ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string name(buffer, static_cast<std::size_t>(n));
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    return name;
}

}  // namespace

void createDirectories(const fs::path& path) {
    fs::path current;
    for (const auto& part : path) {
        current /= part;
        if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) {
            throwErrno("cannot create directory", current, errno);
        }
    }
}

Directory openPrivateDirectory(const fs::path& path, bool create) {
    if (create) createDirectories(path);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        // A symbolic link (ELOOP) or a file (ENOTDIR) where our directory should be: not ours.
        if (error == ELOOP) throwErrno("refusing a symbolic link in place of a private directory", path, EPERM);
        if (error == ENOTDIR) throwErrno("refusing a file in place of a private directory", path, EPERM);
        throwErrno("cannot open private directory", path, error);
    }
    Directory dir{FileDescriptor(fd), path};
    struct stat st {};
    if (::fstat(dir.fd.get(), &st) != 0) throwErrno("cannot inspect directory", path, errno);
    if (st.st_uid != ::geteuid()) refuse("a private directory owned by another user", st, path);
    if ((st.st_mode & 077) != 0) refuse("a private directory that other users can reach", st, path);
    return dir;
}

Directory openTrustedDirectory(const fs::path& path, DirectoryTrust trust) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throwErrno("cannot open directory", path, errno);
    Directory dir{FileDescriptor(fd), path};
    struct stat st {};
    if (::fstat(dir.fd.get(), &st) != 0) throwErrno("cannot inspect directory", path, errno);
    if (st.st_uid != ::geteuid() && !(trust.rootMayOwn && st.st_uid == 0)) {
        refuse("a directory owned by another user", st, path);
    }
    const mode_t forbidden = trust.groupMayWrite ? S_IWOTH : (S_IWGRP | S_IWOTH);
    if ((st.st_mode & forbidden) != 0) refuse("a directory that other users can write to", st, path);
    return dir;
}

FileDescriptor openLockFile(const Directory& dir, const std::string& name) {
    int fd = ::openat(dir.fd.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throwErrno("cannot open lock file", dir.path / name, errno);
    return FileDescriptor(fd);
}

bool tryLockExclusive(int lockFd, const fs::path& path) {
    while (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) throwErrno("cannot lock file", path, errno);
    }
    return true;
}

FileLock::FileLock(const Directory& dir, std::string_view name, std::chrono::milliseconds timeout, std::string_view what) {
    const std::string file(name);
    fd_ = openLockFile(dir, file);
    const int fd = fd_.get();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::milliseconds(1);
    while (!tryLockExclusive(fd, dir.path / file)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            const std::string message = std::string(what) + " is held by " + describeLockHolder(fd) + " for more than " +
                                        std::to_string(timeout.count()) + " ms";
            throwErrno(message.c_str(), dir.path / file, EWOULDBLOCK);
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    // Name ourselves for whoever waits next; a failure here only makes that message vaguer.
    const pid_t pid = ::getpid();
    const std::string holder = std::to_string(pid) + " " + processName(pid) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(fd, holder.data(), holder.size(), 0);
    }
}

std::string describeLockHolder(int lockFd) {
    char buffer[128];
    ssize_t n = ::pread(lockFd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return "another process";
    std::string text(buffer, static_cast<std::size_t>(n));
    char* end = nullptr;
    long pid = std::strtol(text.c_str(), &end, 10);
    if (pid <= 0 || end == text.c_str()) return "another process";
    std::string name = processName(static_cast<pid_t>(pid));
    if (name.empty()) return "process " + std::to_string(pid);
    return "process " + std::to_string(pid) + " (" + name + ")";
}

void removeStaleTemporaryFiles(const Directory& dir) {
    int fd = ::openat(dir.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* listing = ::fdopendir(fd);
    if (!listing) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        std::string_view name = entry->d_name;
        if (name.size() > temporaryPrefix.size() && name.substr(0, temporaryPrefix.size()) == temporaryPrefix) {
            names.emplace_back(name);
        }
    }
    ::closedir(listing);
    // A writer locks its file right after creating it; the age check covers that instant.
    const std::time_t settled = std::time(nullptr) - 2;
    for (const auto& name : names) {
        int file = ::openat(dir.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (file < 0) continue;
        FileDescriptor owned(file);
        struct stat st {};
        if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_mtime > settled) continue;
        if (::flock(file, LOCK_EX | LOCK_NB) != 0) continue;  // its writer is alive
        // Unlink only the file we checked: the name may have been reused in the meantime.
        struct stat now {};
        if (::fstatat(dir.fd.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
            now.st_dev == st.st_dev) {
            ::unlinkat(dir.fd.get(), name.c_str(), 0);
        }
    }
}

void syncDirectory(const Directory& dir) {
    if (::fsync(dir.fd.get()) != 0 && errno != EINVAL) throwErrno("cannot flush directory", dir.path, errno);
}

void writeFileAtomically(const Directory& dir, std::string_view name, std::string_view data, mode_t mode) {
    writeFilesAtomically(dir, {{name, data}}, mode);
}

void writeFilesAtomically(const Directory& dir, std::initializer_list<std::pair<std::string_view, std::string_view>> files,
                          mode_t mode) {
    removeStaleTemporaryFiles(dir);
    for (const auto& [name, data] : files) {
        TemporaryFile temp = createTemporaryFile(dir, data, mode);
        if (::renameat(dir.fd.get(), temp.name().c_str(), dir.fd.get(), nameString(name).c_str()) != 0) {
            throwErrno("cannot replace file", dir.path / name, errno);
        }
        temp.release();
    }
    // Each file was flushed before its rename: after a crash each name holds its old or its new
    // content in full, and one flush of the directory makes both renames last.
    syncDirectory(dir);
}

bool createFileExclusively(const Directory& dir, std::string_view name, std::string_view data, mode_t mode) {
    removeStaleTemporaryFiles(dir);
    TemporaryFile temp = createTemporaryFile(dir, data, mode);
    const std::string target = nameString(name);
    // link(2) fails with EEXIST when the name is taken, and the name never shows a partial file.
    if (::linkat(dir.fd.get(), temp.name().c_str(), dir.fd.get(), target.c_str(), 0) != 0) {
        int error = errno;
        if (error == EEXIST) return false;
        if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP) {
            throwErrno("cannot create file", dir.path / name, error);
        }
        // File systems without hard links: a rename that refuses to replace does the same.
        if (::renameat2(dir.fd.get(), temp.name().c_str(), dir.fd.get(), target.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) return false;
            throwErrno("cannot create file", dir.path / name, errno);
        }
        temp.release();
    }
    syncDirectory(dir);
    return true;
}

bool replaceExistingFile(const Directory& dir, std::string_view name, std::string_view data, mode_t mode) {
    removeStaleTemporaryFiles(dir);
    TemporaryFile temp = createTemporaryFile(dir, data, mode);
    const std::string target = nameString(name);
    // Exchanging the names replaces the file only if it still exists, so an update racing a
    // delete cannot bring the deleted item back. The temporary name then holds the old content.
    if (::renameat2(dir.fd.get(), temp.name().c_str(), dir.fd.get(), target.c_str(), RENAME_EXCHANGE) == 0) {
        syncDirectory(dir);
        return true;
    }
    int error = errno;
    if (error == ENOENT) return false;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP && error != EOPNOTSUPP) {
        throwErrno("cannot replace file", dir.path / name, error);
    }
    // No exchange on this file system: check, then rename (a racing delete may be undone).
    struct stat st {};
    if (::fstatat(dir.fd.get(), target.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return false;
        throwErrno("cannot inspect file", dir.path / name, errno);
    }
    if (::renameat(dir.fd.get(), temp.name().c_str(), dir.fd.get(), target.c_str()) != 0) {
        throwErrno("cannot replace file", dir.path / name, errno);
    }
    temp.release();
    syncDirectory(dir);
    return true;
}

bool removeFile(const Directory& dir, std::string_view name) {
    if (::unlinkat(dir.fd.get(), nameString(name).c_str(), 0) != 0) {
        if (errno == ENOENT) return false;
        throwErrno("cannot remove file", dir.path / name, errno);
    }
    syncDirectory(dir);
    return true;
}

std::optional<std::string> readFileIfExists(const Directory& dir, std::string_view name, std::size_t maxBytes) {
    // O_NONBLOCK: a FIFO planted in the file's place must not block the reader.
    int fd = ::openat(dir.fd.get(), nameString(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        if (errno == ELOOP) throwErrno("refusing to read through a symbolic link", dir.path / name, ELOOP);
        throwErrno("cannot open file", dir.path / name, errno);
    }
    FileDescriptor file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) throwErrno("cannot inspect file", dir.path / name, errno);
    if (S_ISDIR(st.st_mode)) throwErrno("cannot read file", dir.path / name, EISDIR);
    if (!S_ISREG(st.st_mode)) throwErrno("refusing to read something that is not a regular file", dir.path / name, EINVAL);
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) throwErrno(tooLargeMessage(maxBytes).c_str(), dir.path / name, EFBIG);
    return readAll(fd, dir.path / name, maxBytes);
}

fs::path privateTemporaryDirectory() {
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    if (ec || temp.empty()) temp = "/tmp";
    return temp / ("tarn-" + std::to_string(::geteuid()));
}

fs::path privateRuntimeDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') return fs::path(runtime) / "tarn";
    return privateTemporaryDirectory();
}

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    struct passwd pw {};
    struct passwd* result = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &pw, buffer, sizeof buffer, &result) == 0 && result && result->pw_dir) {
        return result->pw_dir;
    }
    return "/";
}

}  // namespace tarn::storage_detail
