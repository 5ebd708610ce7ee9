// The pure part of the tunnel service: turning a handed-over Xray profile into the configuration
// the core runs, deciding whether files may be trusted, and how long to wait after a crash.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::tunnel {

/// A profile the service will not run; the message says why, without any credential.
struct ProfileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LocalPorts {
    int socks = 10808;
    int http = 10809;
};

struct CoreConfig {
    std::string text;  // the configuration for the core
    int socksPort = 0;  // the loopback proxies applications use; 0 when the profile has none
    int httpPort = 0;
    /// Top-level members of the profile left out of the configuration, as JSON strings, for the log.
    std::vector<std::string> dropped;
};

/// System mode: the inbounds through which the host's redirected flows reach the core, on
/// 127.0.0.1 and, when the host has IPv6, on ::1.
struct TransparentInbound {
    int port = 0;
    bool ipv6 = true;
};

/// Bounds on a profile, checked before it is parsed: the parser's memory grows with both.
inline constexpr std::size_t maxProfileBytes = 1 << 20;
inline constexpr int maxProfileDepth = 64;

/// The core's configuration built from the profile, which comes from the backend and is untrusted:
/// only "outbounds", "routing", "dns" and "policy" are taken from it, matched as the core matches
/// member names (regardless of case); every other member, the core's legacy spellings of inbounds,
/// its API, statistics and log settings among them, is left out. The log is ours: warnings to
/// standard error, no access log (it names every site visited), no file. A profile without
/// inbounds gets a SOCKS5 and an HTTP proxy on 127.0.0.1 at `ports`; its own inbounds are kept
/// only as socks, http or dokodemo-door inbounds listening on a loopback address, rebuilt from the
/// members the tunnel knows. Nothing may use a Unix socket ("domainsocket"), which would make the
/// core create or reach a file of the profile's choosing.
///
/// Throws ProfileError, with a reason that quotes no credential, for anything else: text over
/// maxProfileBytes or nested deeper than maxProfileDepth, text that is not a JSON object, a member
/// named twice, wrong JSON types, no outbounds, or an inbound that breaks the rules above.
///
/// With `transparent`, the tunnel's transparent inbounds are added to whatever else runs.
CoreConfig prepareCoreConfig(std::string_view xrayJSON, LocalPorts ports,
                             std::optional<TransparentInbound> transparent = std::nullopt);

/// `name` folded the way the core's JSON decoder compares member names: ASCII letters in upper
/// case, and the three non-ASCII letters that fold onto ASCII ones (KELVIN SIGN, LATIN SMALL
/// LETTER LONG S, DOTLESS I) replaced by them.
std::string foldMemberName(std::string_view name);

/// Every UUID-shaped run in `text` replaced by "<redacted>": a VLESS client id is a credential,
/// and the core's own messages may quote it.
std::string redactUUIDs(std::string_view text);

/// Why `path` may not be believed (a link, not a regular file, another user's, readable or
/// writable by group or others), or nullopt when it is a private file of this user's or, when
/// `sharedGroup` is given (a service running for the users of that group), of a member of it. A
/// missing file is reported as missing.
std::optional<std::string> untrustedFileReason(const std::filesystem::path& path,
                                               std::optional<gid_t> sharedGroup = std::nullopt);

/// The pause before restart number `attempt` (0, 1, ...) after a crash: 1 s doubling to 30 s.
std::chrono::milliseconds crashBackoff(int attempt);

}  // namespace tarn::tunnel
