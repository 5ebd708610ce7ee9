// Defaults: the application's small persistent string store (a value by key), where the device
// identifier lives. JSONFileDefaults keeps it in one JSON file that several processes may share;
// InMemoryDefaults is for tests and for hosts that persist settings themselves.
#pragma once

#include "tarn/export.hpp"

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
/// JSON type that this store did not write are kept as they are. A file that is not a JSON object
/// reads as empty; the next write moves it aside to "<file>.corrupt" and starts afresh.
/// The file and its lock are created 0600, the directory 0700 when missing.
///
/// Failures: reading never fails (an unreadable file reads as empty); writing throws
/// std::filesystem::filesystem_error, or EncodingError for a key or value that is not UTF-8.
/// Thread-safe and safe across processes.
class TARN_EXPORT JSONFileDefaults : public Defaults {
public:
    explicit JSONFileDefaults(std::filesystem::path file);

    /// $XDG_CONFIG_HOME/tarn/defaults.json, or ~/.config/tarn/defaults.json.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& file() const noexcept { return file_; }

    std::optional<std::string> stringForKey(std::string_view key) override;
    void setString(std::string_view key, std::string_view value) override;
    void removeObject(std::string_view key) override;
    std::optional<std::string> updateString(std::string_view key, const StringTransform& transform) override;

private:
    std::filesystem::path file_;
    std::mutex mutex_;  // flock works between threads too; this keeps them from spinning on it
};

}  // namespace tarn
