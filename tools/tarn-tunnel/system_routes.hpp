// System mode's hold on the host's network: an nftables table of the tunnel's own and a policy
// routing table that send every TCP and UDP flow the host starts, IPv4 and IPv6, to the core's
// transparent inbound, and a kill switch that lets nothing else leave: only loopback, the core's
// own traffic (told apart by the group it runs with), DHCP and neighbour discovery, and the local
// network when the user allows it. The rules live in the kernel, so they outlast a crash of the
// core or of the service: traffic stays blocked until they are removed on disconnect.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace tarn::tunnel {

struct SystemRouting {
    int transparentPort = 0;  // the core's transparent inbound on 127.0.0.1 and ::1
    gid_t coreGroup = 0;      // the group the core runs with; its traffic goes around the tunnel
    bool allowLAN = false;    // private and link-local destinations go directly, not tunnelled
};

/// Names that mark what is ours, so that nothing else on the host is ever touched.
inline constexpr const char* nftTableName = "tarn_tunnel";
inline constexpr unsigned flowMark = 0x2a11;   // flows on their way to the core
inline constexpr int routingTable = 2411;      // delivers marked flows to the local stack
inline constexpr int rulePriority = 2411;

/// The nftables script that replaces the tunnel's table with one for `routing`, in one
/// transaction: the old rules hold until the new ones do.
std::string nftablesScript(const SystemRouting& routing);

/// Installs or replaces the rules and routes. Throws std::runtime_error with the tool's message;
/// what was installed before stays then. `workDirectory` (private) holds the script and the
/// tools' messages.
void installSystemRouting(const SystemRouting& routing, const std::filesystem::path& workDirectory);

/// Removes the table, the routing rules and routes of ours (leftovers of an earlier service
/// included), and nothing else. Never fails; a rule that could not be removed is logged by the
/// caller through the returned text (empty when all went).
std::string removeSystemRouting(const std::filesystem::path& workDirectory);

/// Whether the tunnel's table is in the kernel, left there by this service or an earlier one.
bool systemRoutingInstalled(const std::filesystem::path& workDirectory);

}  // namespace tarn::tunnel
