// The pure part of the tunnel service: turning a handed-over Xray profile into the configuration
// the core runs, deciding whether files may be trusted, and how long to wait after a crash.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

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
};

/// The profile with the core's logging tamed (warnings only, no access log: it names every site
/// visited). A profile without inbounds gets a SOCKS5 and an HTTP proxy on 127.0.0.1 at `ports`;
/// a profile with its own inbounds keeps them, but each must listen on a loopback address: a
/// missing or wildcard "listen" would offer an open proxy to the whole network. Throws
/// ProfileError for text that is not a JSON object, a profile without outbounds, or such an
/// inbound.
CoreConfig prepareCoreConfig(std::string_view xrayJSON, LocalPorts ports);

/// Every UUID-shaped run in `text` replaced by "<redacted>": a VLESS client id is a credential,
/// and the core's own messages may quote it.
std::string redactUUIDs(std::string_view text);

/// Why `path` may not be believed (a link, not a regular file, another user's, readable or
/// writable by group or others), or nullopt when it is this user's own private file. A missing
/// file is reported as missing.
std::optional<std::string> untrustedFileReason(const std::filesystem::path& path);

/// The pause before restart number `attempt` (0, 1, ...) after a crash: 1 s doubling to 30 s.
std::chrono::milliseconds crashBackoff(int attempt);

}  // namespace tarn::tunnel
