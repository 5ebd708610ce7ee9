#include "tarn/storage/session_lock.hpp"

#include "storage/file_util.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>

namespace tarn {

namespace sd = storage_detail;

namespace {

// An exclusive flock(2) on a file of its own. flock belongs to the open file description, so two
// holders in one process exclude each other as well as two processes do, and the kernel drops it
// when the process dies.
class FileSessionLock final : public SessionLock {
public:
    explicit FileSessionLock(sd::FileDescriptor fd) : fd_(std::move(fd)) {}

private:
    sd::FileDescriptor fd_;  // closing it gives the lock up
};

std::unique_ptr<SessionLock> tryLockFile(const sd::Directory& dir, const std::string& name) {
    int fd = ::openat(dir.fd.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) sd::throwErrno("cannot open the session lock", dir.path / name, errno);
    sd::FileDescriptor held(fd);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return nullptr;
        if (errno != EINTR) sd::throwErrno("cannot lock the session lock", dir.path / name, errno);
    }
    return std::make_unique<FileSessionLock>(std::move(held));
}

// Stores that no other process can reach only need their holders in this process kept apart.
std::mutex& inProcessMutex() {
    static std::mutex mutex;
    return mutex;
}

std::set<std::string>& inProcessHeld() {
    static std::set<std::string> held;
    return held;
}

class InProcessSessionLock final : public SessionLock {
public:
    explicit InProcessSessionLock(std::string key) : key_(std::move(key)) {}
    ~InProcessSessionLock() override {
        std::lock_guard guard(inProcessMutex());
        inProcessHeld().erase(key_);
    }

private:
    std::string key_;
};

std::unique_ptr<SessionLock> tryLockInProcess(std::string key) {
    std::lock_guard guard(inProcessMutex());
    if (!inProcessHeld().insert(key).second) return nullptr;
    return std::make_unique<InProcessSessionLock>(std::move(key));
}

std::string addressKey(const void* object) {
    std::ostringstream key;
    key << object;
    return key.str();
}

// The lock file's name is a digest of the item's address: bounded in length, and no service or
// account can name a path elsewhere. A collision would only make two stores take turns.
std::string lockFileName(const std::string& service, const std::string& account) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    for (char c : service) mix(static_cast<unsigned char>(c));
    mix(0);
    for (char c : account) mix(static_cast<unsigned char>(c));
    static constexpr char digits[] = "0123456789abcdef";
    std::string name = "session-";
    for (int shift = 60; shift >= 0; shift -= 4) name.push_back(digits[(hash >> shift) & 0xF]);
    return name + ".lock";
}

}  // namespace

std::unique_ptr<SessionLock> TokenStore::tryLockSession() { return tryLockInProcess("store:" + addressKey(this)); }

std::unique_ptr<SessionLock> KeychainTokenStore::tryLockSession() {
    if (dynamic_cast<InMemoryKeychain*>(keychain_.get())) {
        return tryLockInProcess("keychain:" + addressKey(keychain_.get()) + ":" + lockFileName(service_, account_));
    }
    const std::string name = lockFileName(service_, account_);
    // Whoever shares a file keychain shares its root, whatever their environment says. A root
    // that cannot hold the lock cannot hold the items either, so its error is the store's.
    if (auto* files = dynamic_cast<FileKeychain*>(keychain_.get())) {
        return tryLockFile(sd::openPrivateDirectory(files->root(), true), name);
    }
    // The Secret Service is the user's, like the runtime directory. Without a usable one the
    // store still works, as it did before processes took turns: only this process's are kept apart.
    std::optional<sd::Directory> runtime;
    try {
        runtime = sd::openPrivateDirectory(sd::privateRuntimeDirectory(), true);
    } catch (const std::filesystem::filesystem_error&) {
        return tryLockInProcess("runtime:" + name);
    }
    return tryLockFile(*runtime, name);
}

}  // namespace tarn
