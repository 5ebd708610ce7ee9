// File-system building blocks shared by the file keychain, the defaults file and the shared
// container: directories checked to be private, whole-file writes that a crash cannot tear, and
// errors reported as std::filesystem::filesystem_error with the errno they came from.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

/// Opens a directory that must be private to this user: not a symbolic link, a directory, owned by
/// the effective user, no group or other permission bits. With `create`, a missing directory (and
/// missing parents) is made 0700 first. Without it, a missing directory throws with ENOENT. A path
/// that is not private throws with EPERM, and the message says why. The checks are made on the
/// opened descriptor, so the path cannot be swapped between check and use.
Directory openPrivateDirectory(const fs::path& path, bool create);

/// Who may own a directory whose files we trust, and whether its group may write there.
struct DirectoryTrust {
    bool rootMayOwn = false;    // a directory an installer made for several users
    bool groupMayWrite = false;
};

/// Opens an existing directory (following symbolic links on the way) whose files nobody else can
/// replace: owned by the effective user (or root when allowed), writable by no other user and, unless
/// allowed, by no group. A directory that fails the check throws with EPERM and a message that
/// names the owner or the mode; a missing one with ENOENT.
Directory openTrustedDirectory(const fs::path& path, DirectoryTrust trust = {});

/// Opens the lock file `name` in `dir`, creating it 0600 when missing; never through a symbolic link.
FileDescriptor openLockFile(const Directory& dir, const std::string& name);

/// Tries once to take an exclusive flock(2) on `lockFd`, repeating only an interrupted try: false
/// when another holder has it. Any other failure throws, naming `path`.
bool tryLockExclusive(int lockFd, const fs::path& path);

/// An exclusive flock(2) on a lock file, taken within a bounded time. While held, the file names
/// the holder (its process id and name), so that a waiter that gives up can say who holds it.
class FileLock {
public:
    /// Takes the lock on `name` in `dir` (created 0600 when missing), waiting at most `timeout`.
    /// When the time is up, throws filesystem_error with EWOULDBLOCK, naming `what` and the holder.
    FileLock(const Directory& dir, std::string_view name, std::chrono::milliseconds timeout, std::string_view what);

private:
    FileDescriptor fd_;  // closing it releases the lock
};

/// The holder a lock file names, as "process 1234 (tarnctl)"; "another process" when unknown.
std::string describeLockHolder(int lockFd);

/// Removes the temporary files (".tmp-*") that writers which died mid-write left in `dir`. A file
/// whose writer is still at work is locked by that writer and stays.
void removeStaleTemporaryFiles(const Directory& dir);

/// Replaces `name` in `dir` with `data`: temporary file, fsync, rename, fsync of the directory.
/// Afterwards, and after a crash at any point, `name` holds the old or the new content in full.
/// This and the two writers below first remove what crashed writers left (removeStaleTemporaryFiles).
void writeFileAtomically(const Directory& dir, std::string_view name, std::string_view data, mode_t mode = 0600);
/// The same for several files, replaced one after another in the order given (a reader sees the
/// first new before the second), with one flush of the directory for all of them.
void writeFilesAtomically(const Directory& dir, std::initializer_list<std::pair<std::string_view, std::string_view>> files,
                          mode_t mode = 0600);

/// Creates `name` in `dir` holding `data` only when no file of that name exists; false when one
/// does. The name appears with its whole content or not at all, also when processes race.
bool createFileExclusively(const Directory& dir, std::string_view name, std::string_view data, mode_t mode = 0600);

/// Replaces the content of `name` atomically only when it exists; false when it does not.
bool replaceExistingFile(const Directory& dir, std::string_view name, std::string_view data, mode_t mode = 0600);

/// Removes `name`; false when it did not exist.
bool removeFile(const Directory& dir, std::string_view name);

/// Reads all of `name` without following a symbolic link (a link throws with ELOOP and says so);
/// nullopt when it does not exist. A file of more than `maxBytes` throws with EFBIG, before any
/// of it is read.
std::optional<std::string> readFileIfExists(const Directory& dir, std::string_view name,
                                            std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

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
