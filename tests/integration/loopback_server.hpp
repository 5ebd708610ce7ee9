// Test support: cpp-httplib servers on 127.0.0.1 inside the test process, and throw-away TLS
// material made with the openssl command line.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace tarn::test {

/// An httplib server on an ephemeral loopback port. Register handlers on `http` before start().
class LoopbackServer {
    // Declared first: `http` refers to it.
    std::unique_ptr<httplib::Server> server_;

public:
    LoopbackServer();
    /// An HTTPS server with the given PEM certificate and key.
    LoopbackServer(const std::filesystem::path& certFile, const std::filesystem::path& keyFile);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    /// Binds to `host` ("0.0.0.0" for every interface) on an ephemeral port and serves.
    void start(const std::string& host = "127.0.0.1");
    void stop();

    int port() const { return port_; }
    /// "http://127.0.0.1:<port>" + path (https for a TLS server).
    std::string url(std::string_view path) const;
    /// Distinct client connections seen so far (by the client's port).
    std::size_t connectionCount() const;

    httplib::Server& http;

private:
    LoopbackServer(const std::filesystem::path* cert, const std::filesystem::path* key, bool tls);

    bool tls_ = false;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::set<int> clientPorts_;
};

/// Blocks handlers until released; the fixture releases it before stopping its servers so that
/// no server thread is stuck in a handler.
class Gate {
public:
    void release();
    /// Waits until released; true when released, false after `limit`.
    bool wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    /// Waits until `count` handlers have entered wait().
    bool awaitEntered(int count, std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    int entered_ = 0;
};

/// A self-signed certificate for 127.0.0.1 and localhost, made in a private temporary directory
/// that is removed again.
class TLSMaterial {
public:
    TLSMaterial();
    ~TLSMaterial();
    TLSMaterial(const TLSMaterial&) = delete;
    TLSMaterial& operator=(const TLSMaterial&) = delete;

    const std::filesystem::path& certFile() const { return cert_; }
    const std::filesystem::path& keyFile() const { return key_; }
    /// "sha256//<base64 of the SHA-256 of the DER public key>".
    const std::string& pin() const { return pin_; }

private:
    std::filesystem::path dir_, cert_, key_;
    std::string pin_;
};

/// One TLSMaterial for the whole test program, made on first use and removed at exit.
const TLSMaterial& sharedTLSMaterial();

/// Request headers as a handler saw them, one "name: value" per line.
std::string formatHeaders(const httplib::Headers& headers);
/// The inverse of formatHeaders, with lower-cased names.
std::map<std::string, std::string> parseHeaders(const std::string& text);

/// Runs a shell command and returns its standard output; throws when it fails.
std::string shellOutput(const std::string& command);


/// The "Threads:" line of /proc/self/status.
int processThreadCount();

}  // namespace tarn::test
