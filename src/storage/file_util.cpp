#include "storage/file_util.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

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
    static constexpr char hex[] = "0123456789abcdef";
    std::string name = ".tmp-";
    for (unsigned char b : bytes) {
        name.push_back(hex[b >> 4]);
        name.push_back(hex[b & 0xF]);
    }
    return name;
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

std::string readAll(int fd, const fs::path& path) {
    std::string out;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot read file", path, errno);
        }
        if (n == 0) return out;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

// Removes a temporary file on every path out of the operation that did not hand it over.
class TemporaryFile {
public:
    TemporaryFile(const Directory& dir, std::string name) : dir_(dir), name_(std::move(name)) {}
    ~TemporaryFile() {
        if (!name_.empty()) ::unlinkat(dir_.fd.get(), name_.c_str(), 0);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& name() const { return name_; }
    void release() { name_.clear(); }

private:
    const Directory& dir_;
    std::string name_;
};

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

Directory openDirectory(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throwErrno("cannot open directory", path, errno);
    return {FileDescriptor(fd), path};
}

Directory openPrivateDirectory(const fs::path& path, bool create) {
    if (create) createDirectories(path);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        // A symbolic link (ELOOP) or a file (ENOTDIR) where our directory should be: not ours.
        if (error == ELOOP || error == ENOTDIR) error = EACCES;
        throwErrno("cannot open private directory", path, error);
    }
    Directory dir{FileDescriptor(fd), path};
    struct stat st {};
    if (::fstat(dir.fd.get(), &st) != 0) throwErrno("cannot inspect directory", path, errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        throwErrno("directory is not private to this user", path, EACCES);
    }
    return dir;
}

void syncDirectory(const Directory& dir) {
    if (::fsync(dir.fd.get()) != 0 && errno != EINVAL) throwErrno("cannot flush directory", dir.path, errno);
}

std::string writeTemporaryFile(const Directory& dir, std::string_view data, mode_t mode) {
    for (int attempt = 0;; ++attempt) {
        std::string name = randomTemporaryName();
        int fd = ::openat(dir.fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 8) continue;
            throwErrno("cannot create temporary file", dir.path / name, errno);
        }
        FileDescriptor file(fd);
        TemporaryFile guard(dir, name);
        // The umask may have narrowed the mode at creation; it can never widen it, so set it.
        if (::fchmod(fd, mode) != 0) throwErrno("cannot set file mode", dir.path / name, errno);
        writeAll(fd, data, dir.path / name);
        if (::fsync(fd) != 0) throwErrno("cannot flush file", dir.path / name, errno);
        guard.release();
        return name;
    }
}

void writeFileAtomically(const Directory& dir, std::string_view name, std::string_view data, mode_t mode) {
    TemporaryFile temp(dir, writeTemporaryFile(dir, data, mode));
    if (::renameat(dir.fd.get(), temp.name().c_str(), dir.fd.get(), nameString(name).c_str()) != 0) {
        throwErrno("cannot replace file", dir.path / name, errno);
    }
    temp.release();
    syncDirectory(dir);
}

bool createFileExclusively(const Directory& dir, std::string_view name, std::string_view data, mode_t mode) {
    TemporaryFile temp(dir, writeTemporaryFile(dir, data, mode));
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
    TemporaryFile temp(dir, writeTemporaryFile(dir, data, mode));
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

std::optional<std::string> readFileIfExists(const Directory& dir, std::string_view name) {
    int fd = ::openat(dir.fd.get(), nameString(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throwErrno("cannot open file", dir.path / name, errno);
    }
    FileDescriptor file(fd);
    return readAll(fd, dir.path / name);
}

std::optional<std::string> readFileIfExists(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throwErrno("cannot open file", path, errno);
    }
    FileDescriptor file(fd);
    return readAll(fd, path);
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
