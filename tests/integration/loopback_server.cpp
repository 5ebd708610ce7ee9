#include "loopback_server.hpp"

#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace tarn::test {

namespace {

std::unique_ptr<httplib::Server> makeServer(const std::filesystem::path* cert, const std::filesystem::path* key) {
    if (cert == nullptr) return std::make_unique<httplib::Server>();
    auto server = std::make_unique<httplib::SSLServer>(cert->c_str(), key->c_str());
    if (!server->is_valid()) throw std::runtime_error("the TLS server could not load its certificate");
    return server;
}

}  // namespace

LoopbackServer::LoopbackServer() : LoopbackServer(nullptr, nullptr, false) {}

LoopbackServer::LoopbackServer(const std::filesystem::path& certFile, const std::filesystem::path& keyFile)
    : LoopbackServer(&certFile, &keyFile, true) {}

LoopbackServer::LoopbackServer(const std::filesystem::path* cert, const std::filesystem::path* key, bool tls)
    : server_(makeServer(cert, key)), http(*server_), tls_(tls) {
    // Without TCP_NODELAY httplib answers keep-alive requests about 40 ms late.
    http.set_tcp_nodelay(true);
    http.set_keep_alive_max_count(100000);
    http.set_keep_alive_timeout(5);
    // More workers than the client's connection limit, so that a blocked handler never starves
    // the others.
    http.new_task_queue = [] { return new httplib::ThreadPool(24); };
    http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(mutex_);
        clientPorts_.insert(request.remote_port);
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::start(const std::string& host) {
    port_ = http.bind_to_any_port(host);
    if (port_ <= 0) throw std::runtime_error("the loopback server could not bind");
    thread_ = std::thread([this] { http.listen_after_bind(); });
    // stop() is a no-op until the accept loop runs.
    while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LoopbackServer::stop() {
    if (!thread_.joinable()) return;
    http.stop();
    thread_.join();
}

std::string LoopbackServer::url(std::string_view path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::size_t LoopbackServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return clientPorts_.size();
}

void Gate::release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
}

bool Gate::wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    ++entered_;
    cv_.notify_all();
    return cv_.wait_for(lock, limit, [&] { return released_; });
}

bool Gate::awaitEntered(int count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return entered_ >= count; });
}

std::string formatHeaders(const httplib::Headers& headers) {
    std::string text;
    for (const auto& [name, value] : headers) text += name + ": " + value + "\n";
    return text;
}

std::map<std::string, std::string> parseHeaders(const std::string& text) {
    std::map<std::string, std::string> headers;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        auto line = text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        auto colon = line.find(": ");
        if (colon == std::string::npos) continue;
        auto name = line.substr(0, colon);
        for (auto& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
        headers[name] = line.substr(colon + 2);
    }
    return headers;
}

std::string shellOutput(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("cannot run: " + command);
    std::string output;
    std::array<char, 4096> buffer{};
    while (auto n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) output.append(buffer.data(), n);
    if (pclose(pipe.release()) != 0) throw std::runtime_error("command failed: " + command);
    return output;
}

TLSMaterial::TLSMaterial() {
    std::string templ = (std::filesystem::temp_directory_path() / "tarn-tls-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    cert_ = dir_ / "cert.pem";
    key_ = dir_ / "key.pem";
    shellOutput("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost"
                " -keyout '" + key_.string() + "' -out '" + cert_.string() + "' 2>/dev/null");
    auto pin = shellOutput("openssl x509 -in '" + cert_.string() +
                           "' -pubkey -noout | openssl pkey -pubin -outform der"
                           " | openssl dgst -sha256 -binary | base64");
    while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
    pin_ = "sha256//" + pin;
}

TLSMaterial::~TLSMaterial() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

const TLSMaterial& sharedTLSMaterial() {
    static const TLSMaterial material;
    return material;
}

int processThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    throw std::runtime_error("no Threads line in /proc/self/status");
}

}  // namespace tarn::test
