// tarn-devserver: the whole backend API on loopback with in-memory state, for app development
// and for tests that need a real HTTP peer. Prints "listening on <url>" as its first line.
#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include <CLI/CLI.hpp>

#include "common/cli_docs.hpp"

#include "backend.hpp"
#include "tarn/platform/loopback.hpp"

namespace {

// The backend has a published demo password and no real authentication: it must never be
// reachable from another machine. Every address the name resolves to must be loopback.
bool isLoopback(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  bool loopback = true;
  for (addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      loopback = loopback && tarn::isLoopbackAddress(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr);
    } else if (a->ai_family == AF_INET6) {
      loopback = loopback && tarn::isLoopbackAddress(reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
    } else {
      loopback = false;
    }
  }
  ::freeaddrinfo(found);
  return loopback;
}

// httplib listens with a backlog of 5, compiled into the library: a burst of concurrent connects
// then loses SYNs and each lost one costs the client a second's retransmission. Listening again
// on the bound socket raises the backlog.
template <class Base>
class WideBacklog : public Base {
public:
  using Base::Base;
  bool widenBacklog(int backlog) { return ::listen(this->svr_sock_, backlog) == 0; }
};

}  // namespace

int main(int argc, char** argv) {
  using tarn::devserver::Options;
  Options options;
  CLI::App app{"Tarn development backend: the whole REST API on loopback, in memory, with fault injection",
               "tarn-devserver"};
  app.add_option("--host", options.host, "Loopback address to bind")->capture_default_str();
  app.add_option("--port", options.port, "TCP port; 0 picks a free one")->check(CLI::Range(0, 65535))->capture_default_str();
  app.add_option("--token-ttl", options.tokenTTL, "Seconds an access token lives (fractions allowed)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--device-limit", options.deviceLimit, "Devices per account")->check(CLI::NonNegativeNumber)->capture_default_str();
  app.add_option("--servers", options.serverCount, "Number of VPN servers")->check(CLI::Range(1, 1000))->capture_default_str();
  app.add_option("--seed", options.seed, "Seed of the generated server list")->capture_default_str();
  app.add_option("--threads", options.threads, "Worker threads")->check(CLI::Range(1, 1024))->capture_default_str();
  app.add_option("--keep-alive-timeout", options.keepAliveTimeout, "Seconds an idle keep-alive connection is kept")
      ->check(CLI::Range(0, 300))
      ->capture_default_str();
  app.add_option("--telegram-ready-after", options.telegramReadyAfter,
                 "Seconds until a Telegram session shows its code; negative: only via /dev/telegram/<id>/ready")
      ->capture_default_str();
  app.add_option("--session-ttl", options.sessionTTL, "Seconds a Telegram or OAuth session lives")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--email-code-ttl", options.emailCodeTTL, "Seconds an email code lives")->check(CLI::PositiveNumber)->capture_default_str();
  app.add_option("--email-resend-after", options.emailResendAfter, "Seconds before another code may be sent")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--quiet", options.quiet, "No per-request log lines");
  app.add_flag("--vless-endpoint", options.vlessEndpoint,
               "Run a real VLESS server (v2ray) on loopback and hand out profiles that connect to it");
  auto* cert = app.add_option("--tls-cert", options.tlsCert, "PEM certificate: serve HTTPS")->check(CLI::ExistingFile);
  app.add_option("--tls-key", options.tlsKey, "PEM private key of --tls-cert")->check(CLI::ExistingFile)->needs(cert);
  cert->needs(app.get_option("--tls-key"));
  // Read by the build to write the manual page.
  bool manPage = false;
  app.add_flag("--man-page", manPage, "Print the manual page (roff)")->group("");
  CLI11_PARSE(app, argc, argv);
  if (manPage) {
    std::cout << tarn::cli::manPage(app, "tarn-devserver " TARN_DEVSERVER_VERSION,
                                    {{"Demo accounts",
                                      "Both have the password demo-password (published: the server is for development "
                                      "only and binds loopback addresses only).\n\n"
                                      "  demo@tarn.dev     active yearly subscription, VPN enabled, one device\n"
                                      "  expired@tarn.dev  subscription expired, VPN disabled"},
                                     {"See also", "tarnctl(1), tarn-tunnel(1)"}});
    return 0;
  }

  if (!isLoopback(options.host)) {
    std::cerr << "tarn-devserver: refusing to bind " << options.host << ": only loopback addresses are allowed\n";
    return 2;
  }

  // Signals are taken by one thread with sigwait; the workers never see them. A client that goes
  // away mid-answer must not kill the server with SIGPIPE.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const bool tls = !options.tlsCert.empty();
  std::unique_ptr<httplib::Server> server;
  std::function<bool(int)> widenBacklog;
  if (tls) {
    auto s = std::make_unique<WideBacklog<httplib::SSLServer>>(options.tlsCert.c_str(), options.tlsKey.c_str());
    widenBacklog = [p = s.get()](int n) { return p->widenBacklog(n); };
    server = std::move(s);
  } else {
    auto s = std::make_unique<WideBacklog<httplib::Server>>();
    widenBacklog = [p = s.get()](int n) { return p->widenBacklog(n); };
    server = std::move(s);
  }
  if (!server->is_valid()) {
    std::cerr << "tarn-devserver: cannot set up the server (check --tls-cert and --tls-key)\n";
    return 1;
  }

  tarn::devserver::Console console(options.quiet);
  std::unique_ptr<tarn::devserver::Backend> backendHolder;
  try {
    backendHolder = std::make_unique<tarn::devserver::Backend>(options, console);
  } catch (const std::exception& e) {
    std::cerr << "tarn-devserver: " << e.what() << "\n";
    return 1;
  }
  tarn::devserver::Backend& backend = *backendHolder;

  // Without TCP_NODELAY every keep-alive answer waits about 40 ms for the delayed ACK.
  server->set_tcp_nodelay(true);
  const std::size_t threads = options.threads;
  server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server->set_keep_alive_max_count(100000);
  // An idle keep-alive connection holds a worker thread until this timeout ends.
  server->set_keep_alive_timeout(options.keepAliveTimeout);
  server->set_payload_max_length(1 << 20);

  int port = options.port;
  if (port == 0) {
    port = server->bind_to_any_port(options.host);
    if (port < 0) {
      std::cerr << "tarn-devserver: cannot bind " << options.host << "\n";
      return 1;
    }
  } else if (!server->bind_to_port(options.host, port)) {
    std::cerr << "tarn-devserver: cannot bind " << options.host << ":" << port << "\n";
    return 1;
  }
  if (!widenBacklog(1024)) console.notice("[dev] could not raise the listen backlog");
  std::string hostPart = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  std::string url = std::string(tls ? "https" : "http") + "://" + hostPart + ":" + std::to_string(port);
  backend.install(*server, url);

  std::thread stopper([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    console.notice("[dev] stopping on signal " + std::to_string(sig));
    server->stop();
  });

  // The first line of standard output is the contract with scripts and test fixtures.
  std::printf("listening on %s\n", url.c_str());
  std::fflush(stdout);
  console.notice("[dev] demo account: demo@tarn.dev (password: see `man tarn-devserver`, DEMO ACCOUNTS)");

  bool ok = server->listen_after_bind();
  if (!ok) {
    // listen_after_bind only returns early on failure; wake the signal thread so it can finish.
    pthread_kill(stopper.native_handle(), SIGTERM);
  }
  stopper.join();
  return ok ? 0 : 1;
}
