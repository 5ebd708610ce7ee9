// CurlSession behind real reverse proxies that refuse streams unprocessed, with many calls in
// flight over HTTP/2 and TLS: nginx ends each connection after a few requests with a GOAWAY that
// names the streams it will not process, HAProxy resets the streams beyond its concurrency limit
// with REFUSED_STREAM. Every call must succeed, and every POST must reach the backend exactly once.
// The proxies are Debian's nginx and haproxy packages, started here on loopback ports.
#include "common/loopback.hpp"
#include "common/subprocess.hpp"
#include "transport_fixture.hpp"
#include "wire_samples.hpp"

#include "tarn/api/api_client.hpp"
#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>

namespace tarn::test {
namespace {

using namespace std::chrono_literals;

std::optional<std::filesystem::path> findServerProgram(std::string_view name) {
    if (auto onPath = tools::findOnPath(name)) return onPath;
    for (const char* dir : {"/usr/sbin", "/sbin", "/usr/local/sbin"}) {
        auto candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

struct Proxy {
    std::string name;
    std::string program;
    // The configuration for a proxy listening on `port` with TLS from `cert`/`key`/`both` (one
    // PEM with both), in front of http://127.0.0.1:`backend`, writing what it needs into `dir`.
    std::function<std::string(int port, int backend, const TLSMaterial&, const std::filesystem::path& both,
                              const std::filesystem::path& dir)>
        config;
    std::function<std::vector<std::string>(const std::filesystem::path& dir, const std::filesystem::path& file)> args;
};

void PrintTo(const Proxy& proxy, std::ostream* os) { *os << proxy.name; }

const Proxy kProxies[] = {
    {"nginx, GOAWAY after three requests", "nginx",
     [](int port, int backend, const TLSMaterial& tls, const std::filesystem::path&, const std::filesystem::path& dir) {
         const std::string d = dir.string();
         return "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\n"
                "error_log " + d + "/error.log warn;\nevents { worker_connections 512; }\n"
                "http {\n  access_log off;\n  keepalive_requests 3;\n"
                "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n"
                "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n"
                "  scgi_temp_path " + d + "/scgi;\n"
                "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl http2;\n"
                "    ssl_certificate " + tls.certFile().string() + ";\n"
                "    ssl_certificate_key " + tls.keyFile().string() + ";\n"
                "    location / { proxy_pass http://127.0.0.1:" + std::to_string(backend) + "; }\n  }\n}\n";
     },
     [](const std::filesystem::path& dir, const std::filesystem::path& file) {
         return std::vector<std::string>{"-e", (dir / "error.log").string(), "-p", dir.string(), "-c", file.string()};
     }},
    {"HAProxy, REFUSED_STREAM beyond two streams", "haproxy",
     [](int port, int backend, const TLSMaterial&, const std::filesystem::path& both, const std::filesystem::path&) {
         return "global\n  tune.h2.max-concurrent-streams 2\n"
                "defaults\n  mode http\n  timeout connect 5s\n  timeout client 10s\n  timeout server 10s\n"
                "frontend front\n  bind 127.0.0.1:" + std::to_string(port) + " ssl crt " + both.string() +
                " alpn h2\n  default_backend back\n"
                "backend back\n  server app 127.0.0.1:" + std::to_string(backend) + "\n";
     },
     [](const std::filesystem::path&, const std::filesystem::path& file) {
         return std::vector<std::string>{"-db", "-f", file.string()};
     }},
};

class RefusingProxyConcurrencyTest : public TransportTest, public ::testing::WithParamInterface<Proxy> {
protected:
    void SetUp() override {
        program = findServerProgram(GetParam().program);
        if (!program) GTEST_SKIP() << GetParam().program << " is not installed (scripts/bootstrap installs it)";
        // The backend counts what reaches it: a POST the proxy refused never gets here.
        server.http.Post(R"(/events/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex);
                ++posts[std::stoi(request.matches[1])];
            }
            response.set_content(R"({"stored":)" + std::string(request.matches[1]) + "}", "application/json");
        });
        server.http.Get(R"(/items/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(R"({"item":)" + std::string(request.matches[1]) + "}", "application/json");
        });
        server.http.Get("/me", [](const httplib::Request& request, httplib::Response& response) {
            response.status = request.get_header_value("Authorization") == "Bearer fresh-access" ? 200 : 401;
            response.set_content(response.status == 200 ? tarn::testing::kUserJSON : "{}", "application/json");
        });
        server.http.Post("/auth/refresh", [this](const httplib::Request&, httplib::Response& response) {
            {
                std::lock_guard lock(mutex);
                ++refreshes;
            }
            response.set_content(tarn::testing::authJSON("fresh-access", "fresh-refresh"), "application/json");
        });
        server.start();

        char templ[] = "/tmp/tarn-proxy-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        const auto both = dir / "both.pem";
        {
            std::ofstream out(both);
            out << std::ifstream(material->certFile()).rdbuf() << std::ifstream(material->keyFile()).rdbuf();
        }
        port = tools::freeLoopbackPort();
        const auto file = dir / "proxy.conf";
        std::ofstream(file) << GetParam().config(port, server.port(), *material, both, dir);
        tools::SpawnOptions options;
        options.pipeStdout = false;
        options.stderrFile = dir / "stderr.log";
        options.parentDeathSignal = SIGKILL;
        proxy.emplace(*program, GetParam().args(dir, file), options);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!tools::acceptsConnections(port)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the proxy did not start: " << log();
            ASSERT_FALSE(proxy->wait(50ms)) << "the proxy ended: " << log();
        }
    }

    void TearDown() override {
        TransportTest::TearDown();
        if (proxy) proxy->stop(2s);
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }

    std::string log() const {
        std::ifstream in(dir / "stderr.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    const TLSMaterial* material = &sharedTLSMaterial();
    std::optional<std::filesystem::path> program;
    std::filesystem::path dir;
    int port = 0;
    std::optional<tools::Subprocess> proxy;
    std::mutex mutex;
    std::map<int, int> posts;
    int refreshes = 0;
};

TEST_P(RefusingProxyConcurrencyTest, RefusedRequestsAreSentAgainAndEachPostArrivesOnce) {
    CurlSessionConfig config;
    config.caFile = material->certFile().string();
    auto& s = makeSession(config);
    constexpr int kEach = 40;
    const std::string base = "https://127.0.0.1:" + std::to_string(port);
    std::vector<std::future<HttpResponse>> calls;
    for (int i = 0; i < kEach; ++i) {
        HttpRequest post;
        post.method = "POST";
        post.url = base + "/events/" + std::to_string(i);
        post.body = R"({"name":"app_open"})";
        post.setHeader("Content-Type", "application/json");
        post.timeout = 20s;
        calls.push_back(asio::co_spawn(threads.io, s.send(std::move(post)), asio::use_future));
        calls.push_back(asio::co_spawn(threads.io, s.send(get(base + "/items/" + std::to_string(i))), asio::use_future));
    }
    int failures = 0;
    for (int i = 0; i < 2 * kEach; ++i) {
        const std::string what = (i % 2 == 0 ? "POST /events/" : "GET /items/") + std::to_string(i / 2);
        try {
            auto response = calls[i].get();
            EXPECT_EQ(response.statusCode, 200) << what << ": " << response.body;
        } catch (const TransportError& e) {
            ++failures;
            ADD_FAILURE() << what << ": " << e.what();
        }
    }
    EXPECT_EQ(failures, 0);
    std::lock_guard lock(mutex);
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(posts[i], 1) << "POST /events/" << i << " reached the backend";
}

// The shared refresh is a POST too: a refusal of it used to fail every call waiting for it.
TEST_P(RefusingProxyConcurrencyTest, ExpiredTokensAreRefreshedThroughTheProxy) {
    CurlSessionConfig config;
    config.caFile = material->certFile().string();
    auto curl = std::make_shared<CurlSession>(threads.io.get_executor(), config);
    auto store = std::make_shared<KeychainTokenStore>("dev.tarn.proxy", "t", std::make_shared<InMemoryKeychain>());
    store->save(AuthTokens{"expired-access", "stored-refresh"});
    APIClient client(*URL::parse("https://127.0.0.1:" + std::to_string(port) + "/"), curl, store);
    std::vector<std::future<CRMUser>> calls;
    for (int i = 0; i < 40; ++i) calls.push_back(client.me(asio::use_future));
    for (auto& call : calls) {
        try {
            EXPECT_EQ(call.get().id, "u1");
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    EXPECT_EQ(store->loadTokens(), (AuthTokens{"fresh-access", "fresh-refresh"}));
    std::lock_guard lock(mutex);
    EXPECT_GE(refreshes, 1);
}

INSTANTIATE_TEST_SUITE_P(Proxies, RefusingProxyConcurrencyTest, ::testing::ValuesIn(kProxies),
                         [](const ::testing::TestParamInfo<Proxy>& p) { return p.param.program; });

}  // namespace
}  // namespace tarn::test
