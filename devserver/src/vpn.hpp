// The development backend's VPN side: a deterministic list of servers made from a seed, and the
// VLESS profile (URI and complete Xray client configuration) for one server and device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util.hpp"

namespace tarn::devserver {

struct VpnServer {
  std::string id;       // "de-1"
  std::string country;  // "Germany"
  std::string city;
  std::optional<std::string> flag;
  std::int64_t load = 0;     // percent
  std::int64_t latency = 0;  // milliseconds
  bool isAvailable = true;
  bool isPremium = false;
  std::string host;  // "de-1.vpn.tarn.test"
  int port = 443;
  // The real VLESS endpoint on this machine (--vless-endpoint): plain TCP to host:port.
  bool localEndpoint = false;

  Json toJson() const;
};

// `count` servers; the same seed gives the same list, loads and latencies included.
std::vector<VpnServer> makeServers(std::size_t count, std::uint64_t seed);

// "vless://<uuid>@<host>:<port>?encryption=none&security=tls&sni=<host>&type=tcp#<label>"
std::string vlessURI(const VpnServer& server, const std::string& clientUUID);
// A complete client configuration (SOCKS and HTTP inbounds on loopback, a VLESS outbound over
// TLS, direct and blocking outbounds, routing) that both Xray and V2Ray accept. For the local
// endpoint: plain TCP, no inbounds (the tunnel adds its own proxies) and no direct route for
// private ranges, so that a loopback web server is reached through the tunnel.
Json xrayConfig(const VpnServer& server, const std::string& clientUUID);

}  // namespace tarn::devserver
