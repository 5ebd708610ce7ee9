// Signs in, fetches the server list and the connection profile of the least loaded server, and
// hands it to the tunnel through the shared container. Built in CI so that it keeps compiling;
// run it against tarn-devserver: fetch_profile http://127.0.0.1:8080 demo@tarn.dev demo-password
#include <tarn/tarn.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <iostream>
#include <optional>

asio::awaitable<tarn::VLESSConfig> fetchProfile(tarn::APIClient client, std::string email, std::string password) {
    tarn::AuthResponse session = co_await client.login(email, password);
    std::vector<tarn::VPNServer> servers = co_await client.servers();
    if (servers.empty()) throw std::runtime_error("no servers");
    auto best = std::min_element(servers.begin(), servers.end(),
                                 [](const auto& a, const auto& b) { return a.load < b.load; });
    std::cout << "signed in as " << session.user.id << ", connecting to " << best->id << "\n";
    co_return co_await client.vpnConfig(best->id, "example-device", "linux");
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: fetch_profile BASE_URL EMAIL PASSWORD\n";
        return 2;
    }
    asio::io_context io;
    auto base = tarn::URL::parse(argv[1]);
    if (!base) {
        std::cerr << "not a URL: " << argv[1] << "\n";
        return 2;
    }
    auto session = std::make_shared<tarn::CurlSession>(io.get_executor());
    tarn::APIClient client(*base, session, std::make_shared<tarn::MemoryTokenStore>());
    auto profile = asio::co_spawn(io, fetchProfile(client, argv[2], argv[3]), asio::use_future);
    io.run();
    try {
        auto config = profile.get();
        std::cout << "profile for server " << config.serverID << "\n";
    } catch (const std::exception& e) {
        std::cerr << "failed: " << e.what() << "\n";
        return 1;
    }
}
