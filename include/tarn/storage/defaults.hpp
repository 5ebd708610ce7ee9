// Defaults: the application's small persistent string store (a value by key), where the device
// identifier lives. JSONFileDefaults keeps it in one JSON file that several processes may share;
// InMemoryDefaults is for tests and for hosts that persist settings themselves.
#pragma once

#include "tarn/export.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

class TARN_EXPORT Defaults {
public:
    /// Decides the new value from the current one: a value to store, or nullopt to leave it.
    using StringTransform = std::function<std::optional<std::string>(const std::optional<std::string>& current)>;

    virtual ~Defaults() = default;

    /// The string stored under `key`; nullopt when there is none or the value is not a string.
    virtual std::optional<std::string> stringForKey(std::string_view key) = 0;
    virtual void setString(std::string_view key, std::string_view value) = 0;
    virtual void removeObject(std::string_view key) = 0;

    /// Reads, transforms and writes `key` as one step and returns the value stored afterwards.
    /// Stores shared between processes make the step atomic across them, so that processes
    /// racing to create a value agree on one; this base version is atomic for nobody.
    /// `transform` must not call back into the store.
    virtual std::optional<std::string> updateString(std::string_view key, const StringTransform& transform);
};

/// A Defaults in memory. Thread-safe.
class TARN_EXPORT InMemoryDefaults : public Defaults {
public:
    InMemoryDefaults() = default;
    explicit InMemoryDefaults(std::map<std::string, std::string, std::less<>> values) : values_(std::move(values)) {}

    std::optional<std::string> stringForKey(std::string_view key) override;
    void setString(std::string_view key, std::string_view value) override;
    void removeObject(std::string_view key) override;
    std::optional<std::string> updateString(std::string_view key, const StringTransform& transform) override;

    /// How many times a value was stored (setString and updates that stored one).
    std::size_t writeCount() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> values_;
    std::size_t writes_ = 0;
};

/// A Defaults kept as one JSON object in a file, read afresh on every call so that changes by
/// other processes are seen. Writes take an flock(2) on "<file>.lock" beside it, re-read the file,
/// change one member and replace the file atomically (temporary file, fsync, rename, fsync of the
/// directory): two processes writing different keys both keep their values, and members of any
/// JSON type that this store did not write are kept byte for byte. A write first removes the
/// temporary files that writers killed mid-write left behind.
///
/// Damage: a file that is not one JSON object (cut short, invalid UTF-8, something else in its
/// place) still yields every member that can be read whole, both when reading and when writing.
/// The next write keeps the damaged file as "<file>.corrupt.<n>" (never overwriting an earlier
/// copy; at most 8 are kept, always including the first) and writes the salvaged members with its
/// change. A value that is valid JSON but not Unicode (a lone surrogate escape) is no damage: it
/// reads as no string and is kept as it is.
///
/// Safety: the directory must be owned by this user and writable by nobody else, and the file
/// must not be a symbolic link, or reads and writes refuse. The file and its lock are created 0600,
/// missing directories 0700. A writer waits at most `lockTimeout` for the lock.
///
/// Failures: std::filesystem::filesystem_error when the file or directory cannot be used (a read
/// of a missing file is no failure: nullopt), EWOULDBLOCK naming the holding process when the
/// lock stays held; EncodingError for a key or value that is not UTF-8.
/// Thread-safe and safe across processes.
class TARN_EXPORT JSONFileDefaults : public Defaults {
public:
    static constexpr std::chrono::milliseconds defaultLockTimeout = std::chrono::seconds(5);

    explicit JSONFileDefaults(std::filesystem::path file, std::chrono::milliseconds lockTimeout = defaultLockTimeout);

    /// $XDG_CONFIG_HOME/tarn/defaults.json, or ~/.config/tarn/defaults.json.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& file() const noexcept { return file_; }

    std::optional<std::string> stringForKey(std::string_view key) override;
    void setString(std::string_view key, std::string_view value) override;
    void removeObject(std::string_view key) override;
    std::optional<std::string> updateString(std::string_view key, const StringTransform& transform) override;

private:
    std::filesystem::path file_;
    std::chrono::milliseconds lockTimeout_;
    std::mutex mutex_;  // flock works between threads too; this keeps them from spinning on it
};

}  // namespace tarn
