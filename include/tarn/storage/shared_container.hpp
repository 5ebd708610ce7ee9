// SharedContainer: hands the VPN connection profile from the application to the tunnel process
// as two files in a directory both can reach: "xray-config.json" (the raw Xray configuration) and
// "vless-config.json" (the whole profile). A small value; every operation goes to the files.
#pragma once

#include "tarn/export.hpp"
#include "tarn/models/devices_vpn.hpp"

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>

namespace tarn {

/// The directory is <root>/<appGroupID> when that is an existing directory. Otherwise (no such
/// group directory, or an appGroupID that is not a single plain path component) the files go to
/// a private per-user temporary directory, <temp>/tarn-<uid> (temp: $TMPDIR or /tmp), which the
/// tunnel running as another user cannot see. That directory is created 0700; when the path
/// exists but is not a directory owned by this user without group or other access, it is not
/// used: write and readConfig fail with filesystem_error (operation not permitted, saying why).
///
/// The group directory must be owned by this user or root and not writable by other users, or
/// write and readConfig refuse it (filesystem_error, operation not permitted, saying why).
///
/// Each file is replaced atomically (temporary file created 0600 with O_EXCL|O_NOFOLLOW in the
/// same directory, fsync, rename, fsync of the directory): a reader in any process, and the files
/// after a crash, hold the old or the new content, never part of one; a write first removes the
/// temporary files that writers killed mid-write left behind. The two files are not
/// replaced together: write puts the Xray file first and the profile last, so a writer that dies
/// between the two leaves a new Xray file beside the old record. The record holds the same Xray
/// text, so a reader can tell whether the pair belongs together: readMatchingConfig does.
///
/// Failures: write throws EncodingError (nothing written) or std::filesystem::filesystem_error;
/// readConfig throws filesystem_error or DecodingError; clearVPNConfig never fails.
/// Thread safety: no state of its own; concurrent writes each leave a complete file.
class TARN_EXPORT SharedContainer {
public:
    /// The directory shared by the application and the tunnel service, one subdirectory per
    /// application group: "/var/lib/tarn/app-groups". The installer creates it.
    static std::filesystem::path defaultRoot();

    explicit SharedContainer(std::string appGroupID, std::filesystem::path root = defaultRoot());

    const std::string& appGroupID() const noexcept { return appGroupID_; }

    /// The directory in use, worked out afresh on every call.
    std::filesystem::path url() const;
    std::filesystem::path vlessConfigURL() const { return url() / "vless-config.json"; }
    std::filesystem::path xrayConfigURL() const { return url() / "xray-config.json"; }

    void write(const VLESSConfig& config) const;
    VLESSConfig readConfig() const;
    /// The record, when "xray-config.json" holds exactly its `xrayJSON`, so that the Xray text the
    /// tunnel runs is the one the record describes (run `xrayJSON` of the result rather than
    /// reading the file again). nullopt when the pair does not match after a few re-reads over
    /// about 75 ms (a write cut short, or writes that keep coming). Fails as readConfig does, and
    /// with filesystem_error (file too large) for a file of more than `maxFileBytes`, which a
    /// reader of untrusted profiles sets to bound its memory.
    std::optional<VLESSConfig> readMatchingConfig(std::size_t maxFileBytes = std::numeric_limits<std::size_t>::max()) const;
    /// Removes both files, ignoring any failure, and always tries both.
    void clearVPNConfig() const noexcept;

    friend bool operator==(const SharedContainer&, const SharedContainer&) = default;

private:
    std::string appGroupID_;
    std::filesystem::path root_;
};

}  // namespace tarn
