#include "tarn/storage/session_lock.hpp"

#include "storage/file_util.hpp"
#include "tarn/platform/digest.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/token_store.hpp"

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
    sd::FileDescriptor held = sd::openLockFile(dir, name);
    if (!sd::tryLockExclusive(held.get(), dir.path / name)) return nullptr;
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
    // The zero byte keeps ("ab", "c") and ("a", "bc") apart.
    const std::uint64_t hash = digest::fnv1a(account, digest::fnv1a(std::string_view("", 1), digest::fnv1a(service)));
    return "session-" + digest::hexValue(hash) + ".lock";
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
