// Loopback ports for programs that start servers of their own (the tunnel's core, the development
// backend's VLESS endpoint) and must know when those listen.
#pragma once

#include <chrono>

namespace tarn::tools {

/// A TCP port on 127.0.0.1 that was free a moment ago. Throws std::system_error.
int freeLoopbackPort();

/// Whether something accepts TCP connections on 127.0.0.1:`port`, waiting at most `timeout`.
bool acceptsConnections(int port, std::chrono::milliseconds timeout = std::chrono::milliseconds(100));

}  // namespace tarn::tools
