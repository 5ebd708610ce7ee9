#include "system_routes.hpp"

#include "common/subprocess.hpp"
#include "common/tunnel_state.hpp"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace tarn::tunnel {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Under systemd and sudo /usr/sbin is on $PATH; a login shell of a user may not have it.
fs::path tool(const char* name) {
    if (auto found = tools::findOnPath(name)) return *found;
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"}) {
        fs::path candidate = fs::path(dir) / name;
        if (fs::exists(candidate)) return candidate;
    }
    throw std::runtime_error(std::string("system mode needs ") + name + ", which is not installed");
}

struct ToolResult {
    bool ok = false;
    std::string message;  // what the tool wrote on standard error
};

ToolResult run(const char* name, const std::vector<std::string>& args, const fs::path& workDirectory) {
    tools::SpawnOptions options;
    options.pipeStdout = false;
    options.stderrFile = workDirectory / "routing.log";
    ToolResult result;
    try {
        tools::Subprocess process(tool(name), args, options);
        auto exit = process.wait(10s);
        if (!exit) process.stop(0ms);
        result.ok = exit && exit->success();
    } catch (const std::system_error& e) {
        result.message = e.what();
        return result;
    }
    std::ifstream in(options.stderrFile);
    result.message.assign(std::istreambuf_iterator<char>(in), {});
    while (!result.message.empty() && (result.message.back() == '\n' || result.message.back() == ' ')) result.message.pop_back();
    return result;
}

std::vector<std::string> ruleArgs(const char* family, const char* verb) {
    return {family, "rule", verb, "fwmark", std::to_string(flowMark), "lookup", std::to_string(routingTable),
            "priority", std::to_string(rulePriority)};
}

}  // namespace

std::string nftablesScript(const SystemRouting& r) {
    const std::string table = std::string("inet ") + nftTableName;
    const std::string mark = std::to_string(flowMark);
    const std::string group = std::to_string(r.coreGroup);
    const std::string port = std::to_string(r.transparentPort);
    const std::string lan = r.allowLAN ? "ip daddr @lan4 RESULT\n    ip6 daddr @lan6 RESULT\n" : "";
    auto lanRules = [&](const std::string& result) {
        std::string out = lan;
        for (auto at = out.find("RESULT"); at != std::string::npos; at = out.find("RESULT")) out.replace(at, 6, result);
        return out;
    };
    // Declaring the table first makes the delete valid when there is none yet; the whole script
    // is one transaction.
    return "table " + table + " {}\n"
           "delete table " + table + "\n"
           "table " + table + " {\n"
           "  set lan4 { type ipv4_addr; flags interval; elements = { 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16 } }\n"
           "  set lan6 { type ipv6_addr; flags interval; elements = { fc00::/7, fe80::/10 } }\n"
           // Every flow the host starts is marked, and the mark routes it to the local stack...
           "  chain steer {\n"
           "    type route hook output priority mangle; policy accept;\n"
           "    meta skgid " + group + " return\n"
           "    fib daddr type { local, broadcast, multicast } return\n"
           "    ip6 daddr fe80::/10 return\n"
           "    " + lanRules("return") +
           "    meta l4proto { tcp, udp } meta mark set " + mark + "\n"
           "  }\n"
           // ...where TPROXY hands it to the core with its destination intact.
           "  chain divert {\n"
           "    type filter hook prerouting priority mangle; policy accept;\n"
           "    iif lo meta mark " + mark + " meta l4proto { tcp, udp } meta nfproto ipv4 tproxy ip to 127.0.0.1:" + port + " accept\n"
           "    iif lo meta mark " + mark + " meta l4proto { tcp, udp } meta nfproto ipv6 tproxy ip6 to [::1]:" + port + " accept\n"
           "  }\n"
           // The kill switch looks at packets about to leave, after any rerouting: whatever the
           // state of the core or of the routes above, only these go out.
           "  chain killswitch {\n"
           "    type filter hook postrouting priority filter; policy drop;\n"
           "    oif lo accept\n"
           "    meta skgid " + group + " accept\n"
           "    udp sport 68 udp dport 67 accept\n"
           "    udp sport 546 udp dport 547 accept\n"
           "    icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept\n"
           "    " + lanRules("accept") +
           "  }\n"
           "}\n";
}

void installSystemRouting(const SystemRouting& routing, const fs::path& workDirectory) {
    // The kill switch first: from here on nothing leaves but what it lets through.
    const fs::path script = workDirectory / "rules.nft";
    writePrivateFile(script, nftablesScript(routing));
    ToolResult nft = run("nft", {"-f", script.string()}, workDirectory);
    if (!nft.ok) throw std::runtime_error("cannot install the firewall rules: " + nft.message);

    for (const char* family : {"-4", "-6"}) {
        // A host without IPv6 has nothing to route there; its flows are blocked by the table.
        bool v6 = std::string_view(family) == "-6";
        ToolResult route = run("ip", {family, "route", "replace", "local", "default", "dev", "lo", "table",
                                      std::to_string(routingTable)}, workDirectory);
        if (!route.ok && v6) continue;
        if (!route.ok) throw std::runtime_error("cannot add the tunnel's route: " + route.message);
        // One rule, not one more each time: remove the one an earlier run may have left.
        while (run("ip", ruleArgs(family, "del"), workDirectory).ok) {
        }
        ToolResult rule = run("ip", ruleArgs(family, "add"), workDirectory);
        if (!rule.ok && !v6) throw std::runtime_error("cannot add the tunnel's routing rule: " + rule.message);
    }
}

std::string removeSystemRouting(const fs::path& workDirectory) {
    std::string problems;
    for (const char* family : {"-4", "-6"}) {
        for (int i = 0; i < 16 && run("ip", ruleArgs(family, "del"), workDirectory).ok; ++i) {
        }
        run("ip", {family, "route", "flush", "table", std::to_string(routingTable)}, workDirectory);
    }
    if (systemRoutingInstalled(workDirectory)) {
        ToolResult nft = run("nft", {"delete", "table", "inet", nftTableName}, workDirectory);
        if (!nft.ok) problems = "cannot remove the firewall rules: " + nft.message;
    }
    std::error_code ec;
    fs::remove(workDirectory / "rules.nft", ec);
    return problems;
}

bool systemRoutingInstalled(const fs::path& workDirectory) {
    return run("nft", {"list", "table", "inet", nftTableName}, workDirectory).ok;
}

}  // namespace tarn::tunnel
