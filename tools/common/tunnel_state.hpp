// What the tunnel service tells the rest of the system about itself: a small JSON file, replaced
// atomically, in a private per-user directory. tarnctl reads it to wait for a connection and to
// show the local proxy ports. It links nothing of the library, so tarnctl and tests can use it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tarn::tunnel {

struct TunnelState {
    /// "idle" (no profile), "starting", "running", "failed" or "stopped" (the service ended).
    std::string state;
    std::string reason;      // why it failed; empty otherwise
    std::string profile;     // profileFingerprint of the Xray text in use, empty when idle
    std::string serverID;    // from the profile record
    int socksPort = 0;       // loopback proxy ports; 0 when there is none
    int httpPort = 0;
    pid_t pid = 0;           // the service itself
    std::int64_t updatedAt = 0;  // seconds since the epoch
    int restarts = 0;        // restarts after crashes of the current profile
    /// "system" (every flow of the host goes through the tunnel) or "proxy" (only what uses the
    /// local proxies).
    std::string mode = "proxy";
    bool killSwitch = false;  // system mode's rules hold: nothing leaves around the tunnel

    bool operator==(const TunnelState&) const = default;
};

std::string encodeState(const TunnelState& state);
/// nullopt when the text is not a state document.
std::optional<TunnelState> decodeState(std::string_view text);

/// Where the service keeps its state and generated configuration: $TARN_TUNNEL_DIR, else
/// $XDG_RUNTIME_DIR/tarn-tunnel, else $XDG_STATE_HOME/tarn-tunnel, else
/// ~/.local/state/tarn-tunnel.
std::filesystem::path defaultRunDirectory();
inline std::filesystem::path stateFile(const std::filesystem::path& runDirectory) {
    return runDirectory / "state.json";
}

/// Where the system-mode service (root) keeps its state: readable by every user, like the state
/// itself, so that anyone's tarnctl can show it; what holds a credential in there is root's alone.
std::filesystem::path systemRunDirectory();

/// Creates `directory` 0700 (0755 when `readable`) when missing; throws filesystem_error when it
/// is not a directory of this user's that no other user may write to, or, unless `readable`,
/// read.
void ensurePrivateDirectory(const std::filesystem::path& directory, bool readable = false);
/// Replaces `path` atomically with a file of mode `mode` (0600 unless said). Throws
/// filesystem_error.
void writePrivateFile(const std::filesystem::path& path, std::string_view content, mode_t mode = 0600);

/// The state the service published, when the file exists, parses, is this user's or root's and
/// the service that wrote it still holds the run directory (a killed service leaves a stale file
/// behind).
std::optional<TunnelState> readLiveState(const std::filesystem::path& runDirectory);

/// The live state of this user's service, else of the system-mode service, with the run
/// directory it came from.
std::optional<std::pair<TunnelState, std::filesystem::path>> findLiveState();

/// A short stable digest of a profile's Xray text (64-bit FNV-1a, hex), so that a reader can
/// tell which profile the service runs without the file holding the credential inside it.
std::string profileFingerprint(std::string_view xrayJSON);

}  // namespace tarn::tunnel
