// The client side of the request-pipeline, HTTP/2 and concurrency figures of bench/run. One
// program with several modes, so that every client is built with the same flags and reports in
// the same form: one line "key=value ..." on standard output.
//
//   http_client tarn   BASE_URL COUNT [IN_FLIGHT [CA_FILE]]  APIClient::me through CurlSession
//   http_client events BASE_URL COUNT [IN_FLIGHT [CA_FILE]]  APIClient::recordAppEvent (a POST, sent
//                                                            at most once) the same way
//   http_client multi  BASE_URL COUNT [IN_FLIGHT [CA_FILE]]  bare libcurl multi loop on /me
//   http_client socket BASE_URL COUNT [IN_FLIGHT [CA_FILE]]  the same through curl_multi_socket_action
//   http_client burst  BASE_URL CALLS [expire]               CALLS concurrent me() calls at once
//   http_client once   BASE_URL 1                            one me() call, for the cold start
//
// The access token comes from TARN_BENCH_TOKEN (and TARN_BENCH_REFRESH for the refresh token);
// bench/run signs in with curl beforehand, so that no mode spends its time signing in. In burst
// mode "expire" makes the backend forget every access token first, so that each call gets a 401
// and they all have to share one refresh.
//
// CPU time is the whole process's (user + system, every thread), divided by the requests sent.
#include "tarn/api/api_client.hpp"
#include "tarn/api/client_options.hpp"
#include "tarn/api/curl_session.hpp"
#include "tarn/storage/token_store.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <curl/curl.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string mode;
    std::string base;  // with a trailing "/"
    long count = 0;
    long inFlight = 1;
    std::string caFile;
    bool expire = false;
};

std::string env(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') throw std::runtime_error(std::string(name) + " is not set");
    return v;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void report(const char* client, long requests, double wall, double cpu) {
    std::printf("client=%s requests=%ld wall_s=%.4f rps=%.1f cpu_us_per_req=%.2f\n", client, requests, wall,
                static_cast<double>(requests) / wall, cpu * 1e6 / static_cast<double>(requests));
}

// The library's store in memory: what the client asks of any store, without a keychain's own
// cost (the shipped keychains are measured elsewhere). It says it never blocks, so the client
// calls it directly; TARN_BENCH_STORE=thread makes it say otherwise, to measure the trip to the
// client's store thread that a keychain-backed store costs.
class BenchTokenStore final : public tarn::MemoryTokenStore {
public:
    explicit BenchTokenStore(tarn::AuthTokens tokens) : MemoryTokenStore(std::move(tokens)) {
        const char* store = std::getenv("TARN_BENCH_STORE");
        blocks_ = store != nullptr && std::string_view(store) == "thread";
    }
    bool mayBlock() const noexcept override { return blocks_; }

private:
    bool blocks_ = false;
};

std::shared_ptr<tarn::TokenStore> tokenStore() {
    const char* refresh = std::getenv("TARN_BENCH_REFRESH");
    return std::make_shared<BenchTokenStore>(
        tarn::AuthTokens{env("TARN_BENCH_TOKEN"), refresh != nullptr ? refresh : "none"});
}

tarn::CurlSessionConfig sessionConfig(const Options& o) {
    tarn::CurlSessionConfig config;
    if (!o.caFile.empty()) config.caFile = o.caFile;
    // TARN_BENCH_CACHE=off: the same path without the session's HTTP cache, to see what a miss costs.
    const char* cache = std::getenv("TARN_BENCH_CACHE");
    if (cache != nullptr && std::string_view(cache) == "off") config.cache.reset();
    // TARN_BENCH_ONE_THREAD=1: the session told that only this process's main thread runs it.
    const char* oneThread = std::getenv("TARN_BENCH_ONE_THREAD");
    config.runByOneThread = oneThread != nullptr && std::string_view(oneThread) == "1";
    return config;
}

// `inFlight` coroutines each sending its share of `count` calls back to back.
asio::awaitable<void> callMe(tarn::APIClient client, long calls) {
    for (long i = 0; i < calls; ++i) co_await client.me();
}

asio::awaitable<void> recordEvents(tarn::APIClient client, long calls) {
    const tarn::AppEventPayload event{"vpn_connected", "bench-device",
                                      std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()),
                                      "1.0.0", "linux", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                      std::nullopt, std::nullopt, std::nullopt};
    for (long i = 0; i < calls; ++i) co_await client.recordAppEvent(event);
}

// The server list called again and again, as an app does on each start or refresh, with the
// session's cache (each call after the first a 304 revalidation) or without it (the whole list
// each time). Reports the bytes the server sent per call besides the usual figures.
void runServers(const Options& o) {
    asio::io_context io(1);
    tarn::CurlSessionConfig config = sessionConfig(o);
    if (o.mode == "servers-nocache") config.cache.reset();
    auto session = std::make_shared<tarn::CurlSession>(io.get_executor(), config);
    std::size_t wireBytes = 0;
    tarn::APIClientOptions options;
    options.trace = [&wireBytes](const tarn::HttpTrace& t) {
        // A revalidated answer hands on the stored body; the wire carried a bodiless 304.
        if (t.cacheResult == tarn::HttpCacheResult::network) wireBytes += t.bytesReceived;
    };
    tarn::APIClient client(*tarn::URL::parse(o.base), session, tokenStore(), std::move(options));
    auto list = [&client](long calls) -> asio::awaitable<void> {
        for (long i = 0; i < calls; ++i) co_await client.servers();
    };
    asio::co_spawn(io, list(1), asio::detached);  // the first call: connection and a full list
    io.run();
    io.restart();
    wireBytes = 0;
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    auto done = asio::co_spawn(io, list(o.count), asio::use_future);
    io.run();
    done.get();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    report(o.mode.c_str(), o.count, wall, cpuSeconds() - cpu0);
    std::printf("client=%s body_bytes_per_req=%.0f\n", o.mode.c_str(),
                static_cast<double>(wireBytes) / static_cast<double>(o.count));
}

void runTarn(const Options& o) {
    const auto callMany = o.mode == "events" ? recordEvents : callMe;
    asio::io_context io(1);
    auto session = std::make_shared<tarn::CurlSession>(io.get_executor(), sessionConfig(o));
    tarn::APIClient client(*tarn::URL::parse(o.base), session, tokenStore());
    // One warm-up call opens the connection (and the TLS session) outside the timed part.
    asio::co_spawn(io, callMany(client, 1), asio::detached);
    io.run();
    io.restart();
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    std::vector<std::future<void>> done;
    for (long i = 0; i < o.inFlight; ++i) {
        const long share = o.count / o.inFlight + (i < o.count % o.inFlight ? 1 : 0);
        done.push_back(asio::co_spawn(io, callMany(client, share), asio::use_future));
    }
    io.run();
    for (auto& f : done) f.get();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const std::string name = o.mode + (o.inFlight > 1 ? "_inflight" : "");
    report(name.c_str(), o.count, wall, cpuSeconds() - cpu0);
}

std::size_t discardBody(char*, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(static_cast<std::size_t>(size * count), '\0');
    return size * count;
}

// The header lines APIClient::me sends, so that the loops below send the same request bytes:
// libcurl writes every header byte through its printf, some 70 instructions a byte, and a
// shorter request would be cheaper for that reason alone.
curl_slist* requestHeaders() {
    const std::string auth = "Authorization: Bearer " + env("TARN_BENCH_TOKEN");
    std::string agent = "User-Agent: ";
    agent += tarn::APIClientOptions::defaultUserAgent();
    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    headers = curl_slist_append(headers, agent.c_str());
    return curl_slist_append(headers, auth.c_str());
}

// Reused easy handles on one multi handle asking for /me, `inFlight` at a time, each body kept in
// a string and not decoded; how libcurl is driven is up to the loop that uses it.
class BareLoop {
public:
    explicit BareLoop(const Options& o) : o_(o), url_(o.base + "me"), bodies_(static_cast<std::size_t>(o.inFlight)) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi = curl_multi_init();
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, long{CURLPIPE_MULTIPLEX});
        headers_ = requestHeaders();
        for (auto& body : bodies_) {
            CURL* easy = curl_easy_init();
            curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_);
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardBody);
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
            curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_2TLS});
            curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
            if (!o.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, o.caFile.c_str());
            handles_.push_back(easy);
        }
    }
    ~BareLoop() {
        for (CURL* h : handles_) curl_easy_cleanup(h);
        curl_slist_free_all(headers_);
        curl_multi_cleanup(multi);
    }
    BareLoop(const BareLoop&) = delete;
    BareLoop& operator=(const BareLoop&) = delete;

    // A warm-up batch (connect and handshake outside the timed part), then `o.count` requests
    // timed; `step(firstOfBatch)` lets libcurl make progress once, waiting for the network if it
    // has to.
    template <class Step>
    void run(const char* name, Step step) {
        batch(o_.inFlight, step);
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        batch(o_.count, step);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        report(name, o_.count, wall, cpuSeconds() - cpu0);
    }

    CURLM* multi = nullptr;

private:
    template <class Step>
    void batch(long total, Step step) {
        long started = 0, finished = 0;
        for (CURL* easy : handles_) {
            if (started == total) break;
            curl_multi_add_handle(multi, easy);
            ++started;
        }
        for (bool first = true; finished < total; first = false) {
            step(first);
            int left = 0;
            while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
                if (m->msg != CURLMSG_DONE) continue;
                if (m->data.result != CURLE_OK) throw std::runtime_error(curl_easy_strerror(m->data.result));
                long status = 0;
                curl_easy_getinfo(m->easy_handle, CURLINFO_RESPONSE_CODE, &status);
                if (status != 200) throw std::runtime_error("status " + std::to_string(status));
                ++finished;
                curl_multi_remove_handle(multi, m->easy_handle);
                for (auto& b : bodies_) b.clear();
                if (started < total) {
                    curl_multi_add_handle(multi, m->easy_handle);
                    ++started;
                }
            }
        }
    }

    const Options& o_;
    const std::string url_;
    std::vector<std::string> bodies_;
    std::vector<CURL*> handles_;
    curl_slist* headers_ = nullptr;
};

// The floor a libcurl-based client can reach: the loop waits in curl_multi_poll and lets
// curl_multi_perform look at every transfer.
void runMulti(const Options& o) {
    BareLoop loop(o);
    loop.run(o.inFlight > 1 ? "multi_inflight" : "multi", [&](bool first) {
        // Polled before each perform but a batch's first: perform, poll, perform, ...
        if (!first) curl_multi_poll(loop.multi, nullptr, 0, 1000, nullptr);
        int running = 0;
        curl_multi_perform(loop.multi, &running);
    });
}

// The same loop driven the way an event-driven program drives libcurl: libcurl names the sockets
// and the deadline through its callbacks, epoll waits on them, and each readiness goes to
// curl_multi_socket_action for that socket alone. What this costs above the loop just above is
// the price of libcurl's event interface itself, which any client living in an event loop pays.
struct SocketWatcher {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    long timeoutMs = -1;
    ~SocketWatcher() { close(epoll); }
    static int onSocket(CURL*, curl_socket_t fd, int what, void* userp, void*) {
        auto& self = *static_cast<SocketWatcher*>(userp);
        if (what == CURL_POLL_REMOVE) {
            epoll_ctl(self.epoll, EPOLL_CTL_DEL, fd, nullptr);
            return 0;
        }
        epoll_event ev{};
        ev.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
        ev.data.fd = fd;
        if (epoll_ctl(self.epoll, EPOLL_CTL_MOD, fd, &ev) != 0) epoll_ctl(self.epoll, EPOLL_CTL_ADD, fd, &ev);
        return 0;
    }
    static int onTimer(CURLM*, long ms, void* userp) {
        static_cast<SocketWatcher*>(userp)->timeoutMs = ms;
        return 0;
    }
};

void runSocketAction(const Options& o) {
    BareLoop loop(o);
    SocketWatcher watcher;
    curl_multi_setopt(loop.multi, CURLMOPT_SOCKETFUNCTION, &SocketWatcher::onSocket);
    curl_multi_setopt(loop.multi, CURLMOPT_SOCKETDATA, &watcher);
    curl_multi_setopt(loop.multi, CURLMOPT_TIMERFUNCTION, &SocketWatcher::onTimer);
    curl_multi_setopt(loop.multi, CURLMOPT_TIMERDATA, &watcher);
    loop.run(o.inFlight > 1 ? "socket_inflight" : "socket", [&](bool) {
        int running = 0;
        epoll_event events[16];
        const int n = epoll_wait(watcher.epoll, events, 16,
                                 watcher.timeoutMs < 0 ? 1000 : static_cast<int>(watcher.timeoutMs));
        if (n <= 0) curl_multi_socket_action(loop.multi, CURL_SOCKET_TIMEOUT, 0, &running);
        for (int i = 0; i < n; ++i) {
            const int what = (events[i].events & EPOLLIN ? CURL_CSELECT_IN : 0) |
                             (events[i].events & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                             (events[i].events & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
            curl_multi_socket_action(loop.multi, events[i].data.fd, what, &running);
        }
    });
}

// ---- burst --------------------------------------------------------------------------------------

long statusField(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

long openSockets() {
    long sockets = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* d = readdir(dir)) {
            char target[64];
            const std::string path = std::string("/proc/self/fd/") + d->d_name;
            const auto n = readlink(path.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)).rfind("socket:", 0) == 0) ++sockets;
        }
        closedir(dir);
    }
    return sockets;
}

// Watches the process every millisecond while a burst runs: the most threads and open sockets
// seen. Peak RSS comes from the kernel's own high-water mark (VmHWM).
class Sampler {
public:
    Sampler()
        : thread_([this] {
              while (!stop_.load()) {
                  peakThreads_ = std::max(peakThreads_.load(), statusField("Threads") - 1);  // minus this one
                  peakSockets_ = std::max(peakSockets_.load(), openSockets());
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~Sampler() { finish(); }
    void finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    long peakThreads() const { return peakThreads_; }
    long peakSockets() const { return peakSockets_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> peakThreads_{0};
    std::atomic<long> peakSockets_{0};
    std::thread thread_;
};

asio::awaitable<void> callMeCounting(tarn::APIClient client, std::atomic<long>& failures) {
    try {
        co_await client.me();
    } catch (const std::exception&) {
        ++failures;
    }
}

void runBurst(const Options& o) {
    asio::io_context io(1);
    auto session = std::make_shared<tarn::CurlSession>(io.get_executor(), sessionConfig(o));
    tarn::APIClient client(*tarn::URL::parse(o.base), session, tokenStore());
    std::atomic<long> failures{0};
    Sampler sampler;
    const auto t0 = Clock::now();
    for (long i = 0; i < o.count; ++i) asio::co_spawn(io, callMeCounting(client, failures), asio::detached);
    io.run();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    sampler.finish();
    std::printf("client=burst calls=%ld expire=%d wall_s=%.4f failures=%ld peak_threads=%ld peak_sockets=%ld "
                "peak_rss_kb=%ld\n",
                o.count, o.expire ? 1 : 0, wall, failures.load(), sampler.peakThreads(), sampler.peakSockets(),
                statusField("VmHWM"));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 4) {
            std::fprintf(stderr, "usage: http_client tarn|events|servers|servers-nocache|multi|socket|burst BASE_URL COUNT [IN_FLIGHT|expire [CA_FILE]]\n");
            return 2;
        }
        Options o;
        o.mode = argv[1];
        o.base = argv[2];
        if (o.base.empty() || o.base.back() != '/') o.base += '/';
        o.count = std::atol(argv[3]);
        if (argc > 4) {
            if (std::string(argv[4]) == "expire") {
                o.expire = true;
            } else {
                o.inFlight = std::max(1L, std::atol(argv[4]));
            }
        }
        if (argc > 5) o.caFile = argv[5];
        if (o.mode == "tarn" || o.mode == "events") {
            runTarn(o);
        } else if (o.mode == "servers" || o.mode == "servers-nocache") {
            runServers(o);
        } else if (o.mode == "multi") {
            runMulti(o);
        } else if (o.mode == "socket") {
            runSocketAction(o);
        } else if (o.mode == "once") {
            // Everything a first call costs: the session, the token store, connect, decode.
            asio::io_context io(1);
            tarn::APIClient client(*tarn::URL::parse(o.base), std::make_shared<tarn::CurlSession>(io.get_executor()),
                                   tokenStore());
            auto user = client.me(asio::use_future);
            io.run();
            if (!user.get().email) return 1;
        } else if (o.mode == "burst") {
            runBurst(o);
        } else {
            std::fprintf(stderr, "unknown mode %s\n", o.mode.c_str());
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "http_client: %s\n", e.what());
        return 1;
    }
}
