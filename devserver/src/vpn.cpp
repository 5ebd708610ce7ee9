#include "vpn.hpp"

#include <array>
#include <random>
#include <string_view>

namespace tarn::devserver {

Json VpnServer::toJson() const {
  Json j{{"id", id}, {"country", country}, {"city", city}};
  if (flag) j["flag"] = *flag;
  j["load"] = load;
  j["latency"] = latency;
  j["is_available"] = isAvailable;
  j["is_premium"] = isPremium;
  j["protocol"] = "vless";
  return j;
}

namespace {

struct Location {
  std::string_view code, country, city, flag;
};

constexpr std::array<Location, 12> kLocations = {{
    {"de", "Germany", "Frankfurt", "🇩🇪"},
    {"nl", "Netherlands", "Amsterdam", "🇳🇱"},
    {"fi", "Finland", "Helsinki", "🇫🇮"},
    {"us", "United States", "New York", "🇺🇸"},
    {"gb", "United Kingdom", "London", "🇬🇧"},
    {"se", "Sweden", "Stockholm", "🇸🇪"},
    {"pl", "Poland", "Warsaw", "🇵🇱"},
    {"tr", "Turkey", "Istanbul", "🇹🇷"},
    {"kz", "Kazakhstan", "Almaty", "🇰🇿"},
    {"jp", "Japan", "Tokyo", "🇯🇵"},
    {"sg", "Singapore", "Singapore", "🇸🇬"},
    // No flag here: clients must cope with servers that come without one.
    {"xx", "Anycast", "Edge", ""},
}};

// Private and loopback addresses go around the tunnel.
constexpr std::array<std::string_view, 6> kPrivateRanges = {"127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12",
                                                            "192.168.0.0/16", "169.254.0.0/16", "::1/128"};

}  // namespace

std::vector<VpnServer> makeServers(std::size_t count, std::uint64_t seed) {
  // Our own small generator instead of std::uniform_int_distribution: the distributions are not
  // the same on every standard library, and the seed must mean the same list everywhere.
  std::mt19937_64 rng(seed);
  auto between = [&](std::int64_t lo, std::int64_t hi) {
    return lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
  };
  std::vector<VpnServer> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Location& loc = kLocations[i % kLocations.size()];
    VpnServer s;
    s.id = std::string(loc.code) + "-" + std::to_string(i / kLocations.size() + 1);
    s.country = loc.country;
    s.city = loc.city;
    if (!loc.flag.empty()) s.flag = std::string(loc.flag);
    s.load = between(3, 97);
    s.latency = between(12, 240);
    // The first server is always usable so that a demo works whatever the seed.
    s.isAvailable = i == 0 || s.load < 90;
    s.isPremium = i % 3 == 2;
    s.host = s.id + ".vpn.tarn.test";
    out.push_back(std::move(s));
  }
  return out;
}

std::string vlessURI(const VpnServer& server, const std::string& clientUUID) {
  std::string label = server.country + " " + server.city;
  std::string encoded;
  for (unsigned char c : label) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      encoded.push_back(static_cast<char>(c));
    } else {
      static constexpr char hex[] = "0123456789ABCDEF";
      encoded += '%';
      encoded += hex[c >> 4];
      encoded += hex[c & 15];
    }
  }
  std::string security = server.localEndpoint ? "security=none" : "security=tls&sni=" + server.host;
  return "vless://" + clientUUID + "@" + server.host + ":" + std::to_string(server.port) + "?encryption=none&" +
         security + "&type=tcp#" + encoded;
}

namespace {

Json remoteXrayConfig(const VpnServer& server, const std::string& clientUUID) {
  Json privateRanges = Json::array();
  for (auto r : kPrivateRanges) privateRanges.push_back(std::string(r));
  return Json{
      {"log", {{"loglevel", "warning"}}},
      {"inbounds",
       Json::array({
           {{"tag", "socks-in"},
            {"listen", "127.0.0.1"},
            {"port", 10808},
            {"protocol", "socks"},
            {"settings", {{"auth", "noauth"}, {"udp", true}}},
            {"sniffing", {{"enabled", true}, {"destOverride", Json::array({"http", "tls"})}}}},
           {{"tag", "http-in"}, {"listen", "127.0.0.1"}, {"port", 10809}, {"protocol", "http"}, {"settings", Json::object()}},
       })},
      {"outbounds",
       Json::array({
           {{"tag", "proxy"},
            {"protocol", "vless"},
            {"settings",
             {{"vnext", Json::array({{{"address", server.host},
                                      {"port", server.port},
                                      {"users", Json::array({{{"id", clientUUID}, {"encryption", "none"}, {"level", 0}}})}}})}}},
            {"streamSettings",
             {{"network", "tcp"},
              {"security", "tls"},
              {"tlsSettings", {{"serverName", server.host}, {"allowInsecure", false}}}}}},
           {{"tag", "direct"}, {"protocol", "freedom"}, {"settings", Json::object()}},
           {{"tag", "block"}, {"protocol", "blackhole"}, {"settings", Json::object()}},
       })},
      {"routing",
       {{"domainStrategy", "AsIs"},
        {"rules", Json::array({{{"type", "field"}, {"ip", privateRanges}, {"outboundTag", "direct"}}})}}},
  };
}

}  // namespace

Json xrayConfig(const VpnServer& server, const std::string& clientUUID) {
  Json config = remoteXrayConfig(server, clientUUID);
  if (!server.localEndpoint) return config;
  config.erase("inbounds");
  config.erase("routing");
  config["outbounds"][0]["streamSettings"] = Json{{"network", "tcp"}, {"security", "none"}};
  return config;
}

}  // namespace tarn::devserver
