// The HTTP client peer of the request-pipeline figures: Boost.Beast, the client a C++ developer
// using Boost would write by hand — one keep-alive connection, a synchronous write and read per
// request, and the /me answer decoded into the same record tarn's me() returns. It prints the
// same "key=value" line as http_client, so bench/run reads both alike:
//
//   beast_client BASE_URL COUNT        (token in TARN_BENCH_TOKEN)
//   beast_client decode BASE_URL COUNT fetch /me once, then only decode it COUNT times
//
// The second mode is the "decoding" part of the instruction counts: bench/run compares tarn's
// request against the bare libcurl loop plus this.
#include "tarn/api/client_options.hpp"
#include "tarn/json/json_codec.hpp"
#include "tarn/models/account.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Target {
    std::string host, port, path;
};

// "http://127.0.0.1:8787/" or "http://127.0.0.1:8787/api/" and the like; nothing else is needed.
Target parse(const std::string& base) {
    const std::string scheme = "http://";
    if (base.rfind(scheme, 0) != 0) throw std::runtime_error("only http:// base URLs");
    const auto slash = base.find('/', scheme.size());
    const std::string authority = base.substr(scheme.size(), slash - scheme.size());
    const auto colon = authority.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("the base URL needs a port");
    std::string path = slash == std::string::npos ? "/" : base.substr(slash);
    if (path.back() != '/') path += '/';
    return {authority.substr(0, colon), authority.substr(colon + 1), path + "me"};
}

class Connection {
public:
    explicit Connection(const Target& target) : target_(target), stream_(io_) {
        stream_.connect(tcp::resolver(io_).resolve(target.host, target.port));
        stream_.socket().set_option(tcp::no_delay(true));
        const char* token = std::getenv("TARN_BENCH_TOKEN");
        if (token == nullptr) throw std::runtime_error("TARN_BENCH_TOKEN is not set");
        request_ = {http::verb::get, target.path, 11};
        request_.set(http::field::host, target.host + ":" + target.port);
        request_.set(http::field::user_agent, tarn::APIClientOptions::defaultUserAgent());  // the same request bytes as tarn
        request_.set(http::field::accept, "application/json");
        request_.set(http::field::authorization, std::string("Bearer ") + token);
    }

    std::string me() {
        http::write(stream_, request_);
        http::response<http::string_body> response;
        http::read(stream_, buffer_, response);
        if (response.result() != http::status::ok) throw std::runtime_error("GET /me answered " + std::to_string(response.result_int()));
        return std::move(response.body());
    }

private:
    boost::asio::io_context io_;
    Target target_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    http::request<http::empty_body> request_;
};

}  // namespace

extern "C" [[gnu::noinline]] void tarn_bench_measured(Connection* connection, const std::string* body, long count) {
    for (long i = 0; i < count; ++i) {
        tarn::CRMUser user = connection != nullptr ? tarn::JSONDecoder::tarn().decode<tarn::CRMUser>(connection->me())
                                                   : tarn::JSONDecoder::tarn().decode<tarn::CRMUser>(*body);
        if (user.id.empty()) throw std::runtime_error("no user");
    }
}

int main(int argc, char** argv) {
    try {
        const bool decodeOnly = argc == 4 && std::string(argv[1]) == "decode";
        if (argc != 3 && !decodeOnly) {
            std::fprintf(stderr, "usage: beast_client [decode] BASE_URL COUNT\n");
            return 2;
        }
        Connection connection(parse(argv[decodeOnly ? 2 : 1]));
        const long count = std::atol(argv[decodeOnly ? 3 : 2]);
        std::string body = connection.me();
        body.reserve(body.size() + 64);  // padded, as tarn's transport hands bodies over
        const double cpu0 = cpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        tarn_bench_measured(decodeOnly ? nullptr : &connection, &body, count);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = cpuSeconds() - cpu0;
        std::printf("client=%s requests=%ld wall_s=%.4f rps=%.1f cpu_us_per_req=%.2f\n", decodeOnly ? "decode_me" : "beast",
                    count, wall, static_cast<double>(count) / wall, cpu * 1e6 / static_cast<double>(count));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "beast_client: %s\n", e.what());
        return 1;
    }
}
