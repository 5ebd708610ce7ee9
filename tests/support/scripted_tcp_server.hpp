// A hostile HTTP server for tests: a raw TCP listener on 127.0.0.1 that runs a script on every
// connection, so that it can send what no HTTP server library would (answers that are not HTTP,
// connections closed after reading a request) and record exactly what arrived, path included.
#pragma once

#include "tarn/platform/ascii.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarn::test {

class ScriptedTcpServer {
public:
    struct Request {
        std::string method;
        std::string target;  // as it stood in the request line
        std::string head;    // the whole head, request line included
        std::string body;
        int connection = 0;  // 0 for the first connection accepted, and so on

        std::string line() const { return method + " " + target; }
    };

    class Connection {
    public:
        Connection(ScriptedTcpServer& server, int fd, int index) : server_(server), fd_(fd), index_(index) {}

        /// The next request (head and Content-Length body); nullopt once the client closes the
        /// connection or sends nothing for five seconds.
        std::optional<Request> read() {
            std::size_t headEnd;
            while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
                if (!fill()) return std::nullopt;
            }
            Request request;
            request.head = buffer_.substr(0, headEnd + 4);
            request.connection = index_;
            auto lineEnd = request.head.find("\r\n");
            auto firstSpace = request.head.find(' ');
            auto secondSpace = request.head.find(' ', firstSpace + 1);
            request.method = request.head.substr(0, firstSpace);
            request.target = request.head.substr(firstSpace + 1, std::min(secondSpace, lineEnd) - firstSpace - 1);
            std::size_t length = contentLength(request.head);
            while (buffer_.size() < headEnd + 4 + length) {
                if (!fill()) return std::nullopt;
            }
            request.body = buffer_.substr(headEnd + 4, length);
            buffer_.erase(0, headEnd + 4 + length);
            server_.record(request);
            return request;
        }

        void write(std::string_view bytes) {
            while (!bytes.empty()) {
                auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                if (n <= 0) return;
                bytes.remove_prefix(static_cast<std::size_t>(n));
            }
        }

        int index() const { return index_; }

    private:
        bool fill() {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) return false;
            char chunk[16384];
            auto n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }

        static std::size_t contentLength(const std::string& head) {
            auto at = ascii::findIgnoringCase(head, "\r\ncontent-length:");
            return at == std::string::npos ? 0 : std::stoul(head.substr(at + 17));
        }

        ScriptedTcpServer& server_;
        int fd_;
        int index_;
        std::string buffer_;
    };

    /// Runs on its own thread for every connection; the connection closes when it returns.
    using Script = std::function<void(Connection&)>;

    explicit ScriptedTcpServer(Script script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (listener_ >= 0) ::close(listener_);
            throw std::runtime_error("the scripted server cannot listen");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~ScriptedTcpServer() {
        stopping_ = true;
        acceptor_.join();
        {
            std::lock_guard lock(mutex_);
            for (int fd : open_) ::shutdown(fd, SHUT_RDWR);  // ends reads that still wait
        }
        for (auto& t : workers_) t.join();
        ::close(listener_);
    }

    ScriptedTcpServer(const ScriptedTcpServer&) = delete;
    ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

    int port() const { return port_; }
    std::string url(std::string_view path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    /// Requests whose line ("POST /path") is `line`.
    int count(const std::string& line) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& r : requests_) n += r.line() == line ? 1 : 0;
        return n;
    }
    int connections() const { return accepted_.load(); }

    /// A script that answers every request of the connection with `reply`, keeping it open.
    static Script answerEach(std::string reply) {
        return [reply = std::move(reply)](Connection& c) {
            while (c.read()) c.write(reply);
        };
    }

    /// A script that reads one request, writes `reply` and closes.
    static Script answerOnceAndClose(std::string reply) {
        return [reply = std::move(reply)](Connection& c) {
            if (c.read()) c.write(reply);
        };
    }

private:
    void record(const Request& request) {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }

    void acceptLoop() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            int index = accepted_++;
            std::lock_guard lock(mutex_);
            open_.push_back(fd);
            workers_.emplace_back([this, fd, index] {
                Connection connection(*this, fd, index);
                script_(connection);
                ::shutdown(fd, SHUT_RDWR);
                std::lock_guard forget(mutex_);
                std::erase(open_, fd);
                ::close(fd);
            });
        }
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<int> open_;
    std::vector<std::thread> workers_;
    std::vector<Request> requests_;
};

}  // namespace tarn::test
