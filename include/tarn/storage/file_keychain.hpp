// FileKeychain: a Keychain for machines without a Secret Service. Items are files readable by
// their owner only: one directory (0700) per keychain under a root, one file (0600) per item.
// A racing add of the same item by two processes yields exactly one errSecDuplicateItem, and a
// crash never leaves a partly written item (nor, after the next write, its temporary file).
#pragma once

#include "tarn/export.hpp"
#include "tarn/storage/keychain.hpp"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

namespace tarn {

/// Layout: <root>/data-protection/<item> and <root>/legacy/<item>, where <item> is the hex
/// encoding of the service and of the account joined by "-" (never the raw strings, so no value
/// can name a path elsewhere). Directories are created 0700 on first write; an existing root or
/// keychain directory that is not a directory owned by this user with no group or other access
/// makes every operation answer errSecInvalidKeychain; a directory the system will not let us
/// read or write answers errSecIO. The data is stored as it is, not encrypted:
/// its protection is the owner-only file mode.
///
/// The directory holding the root must be one nobody else can write to (owned by this user, no
/// group or other write permission), as for the defaults file: whoever can replace the root can
/// plant or read the items. Otherwise every operation answers errSecInvalidKeychain.
///
/// Statuses: errSecItemNotFound, errSecDuplicateItem, errSecParam (service or account missing, or
/// together longer than 120 bytes), errSecInvalidKeychain, errSecIO (any other file-system failure).
/// A status cannot say what the file system answered, so the latest failure is kept for
/// `lastFailure`: a host can then tell a full disk from a read-only one or a directory in the
/// item's place. Thread-safe and safe across processes.
class TARN_EXPORT FileKeychain : public Keychain {
public:
    explicit FileKeychain(std::filesystem::path root);

    /// $XDG_DATA_HOME/tarn/keychain, or ~/.local/share/tarn/keychain.
    static std::filesystem::path defaultRoot();

    const std::filesystem::path& root() const noexcept { return root_; }

    KeychainCopyResult copyMatching(const KeychainAttributes& query) override;
    OSStatus add(const KeychainAttributes& attributes) override;
    OSStatus update(const KeychainAttributes& query, const KeychainAttributes& attributesToUpdate) override;
    OSStatus deleteItem(const KeychainAttributes& query) override;

    /// What the file system answered when an operation last failed with errSecIO or
    /// errSecInvalidKeychain: the error (ENOSPC, EROFS, EISDIR, ELOOP, EPERM for a refused
    /// directory, ...), the path involved and a short description of the step.
    struct Failure {
        std::error_code code;
        std::filesystem::path path;
        std::string what;
    };
    /// The latest failure of any operation of this instance; nullopt when none has failed.
    std::optional<Failure> lastFailure() const;

private:
    OSStatus failed(const std::filesystem::filesystem_error& error);

    std::filesystem::path root_;
    mutable std::mutex failureLock_;
    std::optional<Failure> lastFailure_;
};

}  // namespace tarn
