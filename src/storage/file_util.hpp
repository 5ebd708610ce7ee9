// File-system building blocks shared by the file keychain, the defaults file and the shared
// container: directories checked to be private, whole-file writes that a crash cannot tear, and
// errors reported as std::filesystem::filesystem_error with the errno they came from.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::storage_detail {

namespace fs = std::filesystem;

[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error);

/// An owned file descriptor, closed on destruction.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

/// An open directory together with the path it was opened by (for error messages).
struct Directory {
    FileDescriptor fd;
    fs::path path;
};

/// Creates every missing component of `path` with mode 0700; existing ones are left as they are.
void createDirectories(const fs::path& path);

/// Opens an existing directory, following symbolic links. Throws filesystem_error.
Directory openDirectory(const fs::path& path);

/// Opens a directory that must be private to this user: not a symbolic link, a directory, owned by
/// the effective user, no group or other permission bits. With `create`, a missing directory (and
/// missing parents) is made 0700 first. Without it, a missing directory throws with ENOENT. A path
/// that is not private throws with EACCES. The checks are made on the opened descriptor, so the
/// path cannot be swapped between check and use.
Directory openPrivateDirectory(const fs::path& path, bool create);

/// Writes `data` to a new file in `dir` with a fresh random name (O_CREAT|O_EXCL|O_NOFOLLOW, `mode`)
/// and flushes it to disk. Returns the name; the caller renames or removes it.
std::string writeTemporaryFile(const Directory& dir, std::string_view data, mode_t mode);

/// Replaces `name` in `dir` with `data`: temporary file, fsync, rename, fsync of the directory.
/// Afterwards, and after a crash at any point, `name` holds the old or the new content in full.
void writeFileAtomically(const Directory& dir, std::string_view name, std::string_view data, mode_t mode = 0600);

/// Creates `name` in `dir` holding `data` only when no file of that name exists; false when one
/// does. The name appears with its whole content or not at all, also when processes race.
bool createFileExclusively(const Directory& dir, std::string_view name, std::string_view data, mode_t mode = 0600);

/// Replaces the content of `name` atomically only when it exists; false when it does not.
bool replaceExistingFile(const Directory& dir, std::string_view name, std::string_view data, mode_t mode = 0600);

/// Removes `name`; false when it did not exist.
bool removeFile(const Directory& dir, std::string_view name);

/// Reads all of `name` without following a symbolic link; nullopt when it does not exist.
std::optional<std::string> readFileIfExists(const Directory& dir, std::string_view name);

/// Reads all of a file by path (following links); nullopt when it does not exist.
std::optional<std::string> readFileIfExists(const fs::path& path);

/// Flushes the directory entry changes of `dir` to disk.
void syncDirectory(const Directory& dir);

/// A directory for this user's private runtime files: $XDG_RUNTIME_DIR/tarn when that variable
/// names an absolute path, otherwise <temp>/tarn-<uid> (temp: $TMPDIR or /tmp). Not created or
/// checked here; open it with openPrivateDirectory.
fs::path privateRuntimeDirectory();

/// The per-user private directory in the system's temporary directory: <temp>/tarn-<uid>.
fs::path privateTemporaryDirectory();

/// The home directory of the effective user ($HOME, else the password database).
fs::path homeDirectory();

}  // namespace tarn::storage_detail
