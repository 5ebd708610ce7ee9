#include "core_config.hpp"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace tarn::tunnel {

using Json = nlohmann::json;

namespace {

bool isLoopbackLiteral(const std::string& address) {
    if (address == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

int portOf(const Json& inbound) {
    const Json& p = inbound.contains("port") ? inbound["port"] : Json();
    if (p.is_number_integer()) return p.get<int>();
    if (p.is_string()) {
        // "1080" is a port; a range "1080-1090" has no single one to report.
        const auto& s = p.get_ref<const std::string&>();
        if (!s.empty() && s.size() <= 5 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
            return std::stoi(s);
    }
    return 0;
}

std::string octal(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03o", static_cast<unsigned>(mode & 0777));
    return buf;
}

}  // namespace

CoreConfig prepareCoreConfig(std::string_view xrayJSON, LocalPorts ports) {
    Json config = Json::parse(xrayJSON, nullptr, false);
    if (!config.is_object()) throw ProfileError("the profile's Xray configuration is not a JSON object");
    if (!config.contains("outbounds") || !config["outbounds"].is_array() || config["outbounds"].empty())
        throw ProfileError("the profile's Xray configuration has no outbounds");

    config["log"] = Json{{"loglevel", "warning"}, {"access", "none"}};

    CoreConfig out;
    Json& inbounds = config["inbounds"];
    if (inbounds.is_null() || (inbounds.is_array() && inbounds.empty())) {
        inbounds = Json::array({
            {{"tag", "socks-in"},
             {"listen", "127.0.0.1"},
             {"port", ports.socks},
             {"protocol", "socks"},
             {"settings", {{"auth", "noauth"}, {"udp", true}, {"ip", "127.0.0.1"}}}},
            {{"tag", "http-in"}, {"listen", "127.0.0.1"}, {"port", ports.http}, {"protocol", "http"}, {"settings", Json::object()}},
        });
    }
    if (!inbounds.is_array()) throw ProfileError("the profile's \"inbounds\" is not a list");
    for (const Json& inbound : inbounds) {
        if (!inbound.is_object()) throw ProfileError("the profile has an inbound that is not an object");
        std::string listen = inbound.contains("listen") && inbound["listen"].is_string() ? inbound["listen"].get<std::string>() : "";
        std::string tag = inbound.value("tag", std::string("(untagged)"));
        if (listen.empty() || !isLoopbackLiteral(listen))
            throw ProfileError("the profile's inbound " + tag + " does not listen on a loopback address only");
        std::string protocol = inbound.value("protocol", std::string());
        if (protocol == "socks" && out.socksPort == 0) out.socksPort = portOf(inbound);
        if (protocol == "http" && out.httpPort == 0) out.httpPort = portOf(inbound);
    }
    out.text = config.dump(2);
    return out;
}

std::string redactUUIDs(std::string_view text) {
    // 8-4-4-4-12 hexadecimal digits.
    static constexpr std::string_view shape = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
    auto matchesAt = [&](std::size_t i) {
        if (i + shape.size() > text.size()) return false;
        for (std::size_t k = 0; k < shape.size(); ++k) {
            char c = text[i + k];
            if (shape[k] == '-' ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
        }
        return true;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (matchesAt(i)) {
            out += "<redacted>";
            i += shape.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::optional<std::string> untrustedFileReason(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return path.filename().string() + " is missing";
    const std::string name = path.filename().string();
    if (S_ISLNK(st.st_mode)) return name + " is a symbolic link";
    if (!S_ISREG(st.st_mode)) return name + " is not a regular file";
    if (st.st_uid != ::geteuid())
        return name + " belongs to user " + std::to_string(st.st_uid) + ", not to this user";
    if ((st.st_mode & 077) != 0) return name + " is open to other users (mode " + octal(st.st_mode) + ")";
    return std::nullopt;
}

std::chrono::milliseconds crashBackoff(int attempt) {
    using namespace std::chrono_literals;
    if (attempt < 0) attempt = 0;
    return attempt >= 5 ? std::chrono::milliseconds(30s) : std::chrono::milliseconds(1000 << attempt);
}

}  // namespace tarn::tunnel
