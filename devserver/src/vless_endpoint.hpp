// A real VLESS server on loopback for the development backend: a v2ray child whose inbound
// accepts exactly the client ids the backend has issued, so that the profiles it hands out carry
// traffic and a revoked id stops working.
#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "common/subprocess.hpp"

namespace tarn::devserver {

class VlessEndpoint {
public:
  /// Picks a free port on 127.0.0.1 and starts v2ray (`core`, or v2ray on $PATH) with no clients.
  /// Throws std::runtime_error when there is no v2ray or it does not come up within 10 s.
  explicit VlessEndpoint(std::filesystem::path core = {});
  ~VlessEndpoint();
  VlessEndpoint(const VlessEndpoint&) = delete;
  VlessEndpoint& operator=(const VlessEndpoint&) = delete;

  int port() const noexcept { return port_; }
  /// Makes `ids` the accepted clients, restarting v2ray when they changed (v2ray cannot change
  /// its users without a restart); existing connections of removed ids end with it. Throws
  /// std::runtime_error when v2ray does not come back.
  void setClients(const std::set<std::string>& ids);

private:
  void start();

  std::filesystem::path core_;
  std::filesystem::path directory_;  // private: the configuration lists the client ids
  int port_ = 0;
  std::set<std::string> clients_;
  std::unique_ptr<tools::Subprocess> process_;
};

}  // namespace tarn::devserver
