// The bridge between libcurl's multi interface and Asio: libcurl says which sockets to watch and
// when to time out, the bridge waits for them on the session's strand and tells the session when
// libcurl has something to do. Connection sockets are opened and closed through it as well, so
// that their watches outlive a transfer.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <curl/curl.h>

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace tarn::detail {

class CurlSessionImpl;

// A socket libcurl asked us to watch. The descriptor is never closed by us: libcurl owns the fd.
struct SocketWatch {
    SocketWatch(const asio::any_io_executor& executor, curl_socket_t s) : fd(s), descriptor(executor, s) {}
    ~SocketWatch() { release(); }
    SocketWatch(const SocketWatch&) = delete;
    SocketWatch& operator=(const SocketWatch&) = delete;

    void release() {
        if (released) return;
        released = true;
        asio::error_code ignored;
        descriptor.cancel(ignored);
        (void)descriptor.release();
    }

    curl_socket_t fd;
    asio::posix::stream_descriptor descriptor;
    int wanted = 0;  // CURL_POLL_IN / CURL_POLL_OUT bits
    bool readPending = false;
    bool writePending = false;
    bool released = false;
    // Counts the times libcurl stopped watching the socket: a wait armed before that is stale,
    // even when it completed before the cancel reached it.
    unsigned round = 0;
};

/// Runs on the session's strand, like everything that touches the multi handle.
class CurlSocketBridge {
public:
    explicit CurlSocketBridge(CurlSessionImpl& session) : session_(session) {}
    CurlSocketBridge(const CurlSocketBridge&) = delete;
    CurlSocketBridge& operator=(const CurlSocketBridge&) = delete;

    /// Installs the socket and timer callbacks on a new multi handle.
    void attach(CURLM* multi);
    /// Lets go of every socket and the timer; the multi handle has been cleaned up.
    void detach();
    /// Makes `easy` open and close its connections through the bridge.
    void openConnectionsOf(CURL* easy);
    /// curl_multi_add_handle, without the posted round trip libcurl's timer callback asks for:
    /// the session drives the new transfer right after.
    CURLMcode add(CURLM* multi, CURL* easy) {
        starting_ = true;
        const auto rc = curl_multi_add_handle(multi, easy);
        starting_ = false;
        return rc;
    }

private:
    static int onSocket(CURL*, curl_socket_t s, int what, void* userp, void*);
    static int onTimer(CURLM*, long timeoutMs, void* userp);
    static curl_socket_t onOpenSocket(void* clientp, curlsocktype, curl_sockaddr* address);
    static int onCloseSocket(void* clientp, curl_socket_t s);

    void watch(curl_socket_t s, int what);
    void arm(const std::shared_ptr<SocketWatch>& w);
    void onReady(const std::shared_ptr<SocketWatch>& w, const asio::error_code& ec, int event);
    void scheduleTimeout(long timeoutMs);

    CurlSessionImpl& session_;
    bool attached_ = false;
    bool starting_ = false;  // inside curl_multi_add_handle
    std::optional<asio::steady_timer> timer_;
    std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> sockets_;
    std::unordered_set<curl_socket_t> connectionSockets_;  // opened through onOpenSocket
};

}  // namespace tarn::detail
