#include "core_config.hpp"

#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <initializer_list>
#include <map>

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

int portOf(const Json& port) {
    if (port.is_number_integer()) return port.get<int>();
    if (port.is_string()) {
        // "1080" is a port; a range "1080-1090" has no single one to report.
        const auto& s = port.get_ref<const std::string&>();
        if (!s.empty() && s.size() <= 5 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
            return std::stoi(s);
    }
    return 0;
}

bool isMember(uid_t uid, gid_t group) {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* user = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &user) != 0 || !user) return false;
    if (user->pw_gid == group) return true;
    const std::string name = user->pw_name;
    std::vector<char> groupBuffer(65536);
    struct group gr {};
    struct group* found = nullptr;
    if (::getgrgid_r(group, &gr, groupBuffer.data(), groupBuffer.size(), &found) != 0 || !found) return false;
    for (char** member = found->gr_mem; member && *member; ++member)
        if (name == *member) return true;
    return false;
}

std::string octal(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03o", static_cast<unsigned>(mode & 0777));
    return buf;
}

// A name or tag from the profile as it may appear in a reason: quoted, escaped and short.
std::string quoted(const std::string& text) {
    std::string q = Json(text).dump(-1, ' ', true, Json::error_handler_t::replace);
    return q.size() > 48 ? q.substr(0, 44) + "...\"" : q;
}

// The deepest nesting of arrays and objects, counted without parsing: the parser must never see
// a document deep enough to exhaust memory or the stack of whoever walks it.
bool nestedDeeperThan(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit) return true;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return false;
}

// The members of `object` whose folded names are among `known`, under those canonical names. A
// name the core would read twice is refused: which of the two it keeps is not ours to guess.
// Members outside `known` are left out, and listed in `others` when it is given.
std::map<std::string, const Json*> pickMembers(const Json& object, std::initializer_list<std::string_view> known,
                                               const std::string& where, std::vector<std::string>* others) {
    std::map<std::string, const Json*> picked;
    for (const auto& [name, value] : object.items()) {
        std::string folded = foldMemberName(name);
        auto canonical = std::find_if(known.begin(), known.end(), [&](std::string_view k) { return foldMemberName(k) == folded; });
        if (canonical == known.end()) {
            if (others) others->push_back(quoted(name));
            continue;
        }
        auto [it, inserted] = picked.emplace(std::string(*canonical), &value);
        if (!inserted) throw ProfileError(where + " names \"" + std::string(*canonical) + "\" twice, in two spellings");
    }
    return picked;
}

const Json* member(const std::map<std::string, const Json*>& members, const std::string& name) {
    auto it = members.find(name);
    return it == members.end() || it->second->is_null() ? nullptr : it->second;
}

// A stream setting that makes the core listen on or connect to a Unix socket names a path of
// the profile's choosing.
void refuseUnixSockets(const Json* streamSettings, const std::string& where) {
    if (!streamSettings) return;
    if (!streamSettings->is_object()) throw ProfileError(where + " has stream settings that are not an object");
    auto members = pickMembers(*streamSettings, {"network", "dsSettings"}, where, nullptr);
    const Json* network = member(members, "network");
    if (network && !network->is_string()) throw ProfileError(where + " names a network that is not a string");
    std::string folded = network ? foldMemberName(network->get<std::string>()) : "";
    if (member(members, "dsSettings") || folded == "DOMAINSOCKET" || folded == "DS")
        throw ProfileError(where + " uses a Unix domain socket, which the tunnel does not allow");
}

Json checkedOutbounds(const Json* outbounds) {
    if (!outbounds || !outbounds->is_array() || outbounds->empty())
        throw ProfileError("the profile's Xray configuration has no outbounds");
    for (const Json& outbound : *outbounds) {
        if (!outbound.is_object()) throw ProfileError("the profile has an outbound that is not an object");
        auto members = pickMembers(outbound, {"protocol", "tag", "streamSettings"}, "an outbound of the profile", nullptr);
        const Json* tag = member(members, "tag");
        if (tag && !tag->is_string()) throw ProfileError("the profile has an outbound whose tag is not a string");
        std::string where = "the profile's outbound " + (tag ? quoted(tag->get<std::string>()) : std::string("(untagged)"));
        const Json* protocol = member(members, "protocol");
        if (!protocol || !protocol->is_string()) throw ProfileError(where + " has no protocol name");
        refuseUnixSockets(member(members, "streamSettings"), where);
    }
    return *outbounds;
}

// An inbound rebuilt from the members the tunnel knows, or ProfileError.
Json checkedInbound(const Json& inbound, CoreConfig& out) {
    if (!inbound.is_object()) throw ProfileError("the profile has an inbound that is not an object");
    std::vector<std::string> unknown;
    auto members = pickMembers(inbound, {"tag", "protocol", "listen", "port", "settings", "sniffing"},
                               "an inbound of the profile", &unknown);
    const Json* tag = member(members, "tag");
    if (tag && !tag->is_string()) throw ProfileError("the profile has an inbound whose tag is not a string");
    std::string where = "the profile's inbound " + (tag ? quoted(tag->get<std::string>()) : std::string("(untagged)"));
    if (!unknown.empty()) throw ProfileError(where + " has a member the tunnel does not allow: " + unknown.front());

    const Json* listen = member(members, "listen");
    if (!listen || !listen->is_string() || !isLoopbackLiteral(listen->get<std::string>()))
        throw ProfileError(where + " does not listen on a loopback address only");
    const Json* protocol = member(members, "protocol");
    if (!protocol || !protocol->is_string()) throw ProfileError(where + " has no protocol name");
    const std::string& name = protocol->get_ref<const std::string&>();
    if (name != "socks" && name != "http" && name != "dokodemo-door")
        throw ProfileError(where + " is a " + quoted(name) + " inbound; the tunnel runs only socks, http and dokodemo-door");
    const Json* port = member(members, "port");
    if (!port || !(port->is_number_unsigned() || port->is_string()) || (port->is_number() && port->get<std::uint64_t>() > 65535))
        throw ProfileError(where + " has no valid port");
    for (const char* object : {"settings", "sniffing"}) {
        const Json* value = member(members, object);
        if (value && !value->is_object()) throw ProfileError(where + " has " + object + " that are not an object");
    }

    if (name == "socks" && out.socksPort == 0) out.socksPort = portOf(*port);
    if (name == "http" && out.httpPort == 0) out.httpPort = portOf(*port);
    Json rebuilt = Json::object();
    for (const auto& [canonical, value] : members) rebuilt[canonical] = *value;
    return rebuilt;
}

}  // namespace

std::string foldMemberName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        std::string_view rest = name.substr(i);
        if (c < 0x80) {
            out += static_cast<char>(std::toupper(c));
        } else if (rest.starts_with("\xE2\x84\xAA")) {  // KELVIN SIGN
            out += 'K';
            i += 2;
        } else if (rest.starts_with("\xC5\xBF")) {  // LATIN SMALL LETTER LONG S
            out += 'S';
            i += 1;
        } else if (rest.starts_with("\xC4\xB1")) {  // LATIN SMALL LETTER DOTLESS I
            out += 'I';
            i += 1;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

CoreConfig prepareCoreConfig(std::string_view xrayJSON, LocalPorts ports, std::optional<TransparentInbound> transparent) {
    if (xrayJSON.size() > maxProfileBytes)
        throw ProfileError("the profile's Xray configuration is " + std::to_string(xrayJSON.size()) +
                           " bytes long, more than the " + std::to_string(maxProfileBytes) + " the tunnel accepts");
    if (nestedDeeperThan(xrayJSON, maxProfileDepth))
        throw ProfileError("the profile's Xray configuration is nested more than " + std::to_string(maxProfileDepth) +
                           " levels deep");
    Json profile = Json::parse(xrayJSON, nullptr, false);
    if (!profile.is_object()) throw ProfileError("the profile's Xray configuration is not a JSON object");

    CoreConfig out;
    // "log" is not among them in any spelling: a path there is a file the core would write.
    auto members = pickMembers(profile, {"outbounds", "inbounds", "routing", "dns", "policy"}, "the profile", &out.dropped);

    Json config = Json::object();
    config["log"] = Json{{"loglevel", "warning"}, {"access", "none"}};
    for (const char* section : {"routing", "dns", "policy"}) {
        const Json* value = member(members, section);
        if (!value) continue;
        if (!value->is_object()) throw ProfileError(std::string("the profile's \"") + section + "\" is not an object");
        config[section] = *value;
    }
    config["outbounds"] = checkedOutbounds(member(members, "outbounds"));

    const Json* inbounds = member(members, "inbounds");
    if (!inbounds || (inbounds->is_array() && inbounds->empty())) {
        config["inbounds"] = Json::array({
            {{"tag", "socks-in"},
             {"listen", "127.0.0.1"},
             {"port", ports.socks},
             {"protocol", "socks"},
             {"settings", {{"auth", "noauth"}, {"udp", true}, {"ip", "127.0.0.1"}}}},
            {{"tag", "http-in"}, {"listen", "127.0.0.1"}, {"port", ports.http}, {"protocol", "http"}, {"settings", Json::object()}},
        });
        out.socksPort = ports.socks;
        out.httpPort = ports.http;
    } else {
        if (!inbounds->is_array()) throw ProfileError("the profile's \"inbounds\" is not a list");
        Json checked = Json::array();
        for (const Json& inbound : *inbounds) checked.push_back(checkedInbound(inbound, out));
        config["inbounds"] = std::move(checked);
    }
    if (transparent) {
        // Connections and datagrams keep their original destination through TPROXY; the core
        // reads it from the socket and sends each flow on through the profile's route.
        for (const char* listen : {"127.0.0.1", "::1"}) {
            if (std::string_view(listen) == "::1" && !transparent->ipv6) continue;
            config["inbounds"].push_back(
                {{"tag", std::string("transparent-") + (std::string_view(listen) == "::1" ? "ipv6" : "ipv4")},
                 {"listen", listen},
                 {"port", transparent->port},
                 {"protocol", "dokodemo-door"},
                 {"settings", {{"network", "tcp,udp"}, {"followRedirect", true}}},
                 {"streamSettings", {{"sockopt", {{"tproxy", "tproxy"}}}}}});
        }
    }
    out.text = config.dump(2, ' ', false, Json::error_handler_t::replace);
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

std::optional<std::string> untrustedFileReason(const std::filesystem::path& path, std::optional<gid_t> sharedGroup) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return path.filename().string() + " is missing";
    const std::string name = path.filename().string();
    if (S_ISLNK(st.st_mode)) return name + " is a symbolic link";
    if (!S_ISREG(st.st_mode)) return name + " is not a regular file";
    if (st.st_uid != ::geteuid() && !(sharedGroup && isMember(st.st_uid, *sharedGroup)))
        return name + " belongs to user " + std::to_string(st.st_uid) + ", not to this user" +
               (sharedGroup ? " nor to a member of group " + std::to_string(*sharedGroup) : "");
    if ((st.st_mode & 077) != 0) return name + " is open to other users (mode " + octal(st.st_mode) + ")";
    return std::nullopt;
}

std::chrono::milliseconds crashBackoff(int attempt) {
    using namespace std::chrono_literals;
    if (attempt < 0) attempt = 0;
    return attempt >= 5 ? std::chrono::milliseconds(30s) : std::chrono::milliseconds(1000 << attempt);
}

}  // namespace tarn::tunnel
