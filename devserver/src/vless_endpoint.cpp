#include "vless_endpoint.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "common/loopback.hpp"
#include "util.hpp"

namespace tarn::devserver {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void writePrivate(const fs::path& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write the VLESS endpoint's configuration");
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!ok) throw std::runtime_error("cannot write the VLESS endpoint's configuration");
}

}  // namespace

VlessEndpoint::VlessEndpoint(fs::path core) : core_(std::move(core)) {
  if (core_.empty()) {
    auto found = tools::findOnPath("v2ray");
    if (!found) throw std::runtime_error("--vless-endpoint needs v2ray on $PATH");
    core_ = *found;
  }
  std::string pattern = (fs::temp_directory_path() / "tarn-devserver-vless-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a private directory for the VLESS endpoint");
  directory_ = pattern;
  port_ = tools::freeLoopbackPort();
  start();
}

VlessEndpoint::~VlessEndpoint() {
  if (process_) process_->stop(0ms);
  std::error_code ec;
  fs::remove_all(directory_, ec);
}

void VlessEndpoint::setClients(const std::set<std::string>& ids) {
  if (ids == clients_) return;
  clients_ = ids;
  start();
}

void VlessEndpoint::start() {
  // SIGKILL: the server keeps nothing worth a clean shutdown, and the devserver's threads block
  // SIGTERM, which the child inherits with the signal mask.
  if (process_) process_->stop(0ms);
  Json clients = Json::array();
  for (const auto& id : clients_) clients.push_back({{"id", id}, {"level", 0}});
  // Plain TCP: the endpoint never leaves this machine, and the client needs no certificate.
  Json config{
      {"log", {{"loglevel", "warning"}, {"access", "none"}}},
      {"inbounds",
       Json::array({{{"listen", "127.0.0.1"},
                     {"port", port_},
                     {"protocol", "vless"},
                     {"settings", {{"clients", clients}, {"decryption", "none"}}},
                     {"streamSettings", {{"network", "tcp"}, {"security", "none"}}}}})},
      {"outbounds", Json::array({{{"protocol", "freedom"}, {"settings", Json::object()}}})},
  };
  const fs::path file = directory_ / "server.json";
  writePrivate(file, config.dump());
  tools::SpawnOptions options;
  options.pipeStdout = false;
  options.parentDeathSignal = SIGKILL;
  options.newProcessGroup = true;
  process_ = std::make_unique<tools::Subprocess>(core_, std::vector<std::string>{"-config", file.string()}, options);
  // The old process may still hold the port for a moment after it exited.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!tools::acceptsConnections(port_)) {
    if (process_->wait(0ms) || std::chrono::steady_clock::now() >= deadline)
      throw std::runtime_error("the VLESS endpoint (v2ray) did not start on 127.0.0.1:" + std::to_string(port_));
    std::this_thread::sleep_for(20ms);
  }
}

}  // namespace tarn::devserver
