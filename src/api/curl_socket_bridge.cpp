// libcurl's socket, timer and connection callbacks, served with Asio waits on the session's strand.
#include "api/curl_socket_bridge.hpp"

#include "api/curl_errors.hpp"
#include "api/curl_session_impl.hpp"

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace tarn::detail {

void CurlSocketBridge::attach(CURLM* multi) {
    // The I/O objects get the plain executor and their waits enter the strand themselves: a
    // strand boxed in an any_io_executor is copied to the heap each time a wait tracks its work,
    // several times per request.
    timer_.emplace(session_.io);
    attached_ = true;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlSocketBridge::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlSocketBridge::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
}

void CurlSocketBridge::detach() {
    attached_ = false;
    for (auto& [fd, watch] : sockets_) watch->release();
    sockets_.clear();
    if (timer_) timer_->cancel();
}

void CurlSocketBridge::openConnectionsOf(CURL* easy) {
    setCurlOption(easy, CURLOPT_OPENSOCKETFUNCTION, &CurlSocketBridge::onOpenSocket);
    setCurlOption(easy, CURLOPT_OPENSOCKETDATA, static_cast<void*>(this));
    setCurlOption(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlSocketBridge::onCloseSocket);
    setCurlOption(easy, CURLOPT_CLOSESOCKETDATA, static_cast<void*>(this));
}

int CurlSocketBridge::onSocket(CURL*, curl_socket_t s, int what, void* userp, void*) {
    try {
        static_cast<CurlSocketBridge*>(userp)->watch(s, what);
        return 0;
    } catch (...) {
        return -1;
    }
}

// Connection sockets are opened and closed through these two, so their watches can outlive
// a transfer: libcurl stops watching a kept-alive connection between transfers, and dropping
// the registration each time would cost two epoll_ctl calls per request.
curl_socket_t CurlSocketBridge::onOpenSocket(void* clientp, curlsocktype, curl_sockaddr* address) {
    curl_socket_t s = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (s == CURL_SOCKET_BAD) return s;
    try {
        static_cast<CurlSocketBridge*>(clientp)->connectionSockets_.insert(s);
    } catch (...) {
        ::close(s);
        return CURL_SOCKET_BAD;
    }
    return s;
}

int CurlSocketBridge::onCloseSocket(void* clientp, curl_socket_t s) {
    auto& self = *static_cast<CurlSocketBridge*>(clientp);
    self.connectionSockets_.erase(s);
    if (auto it = self.sockets_.find(s); it != self.sockets_.end()) {
        it->second->release();  // before close(), while the fd still names this socket
        self.sockets_.erase(it);
    }
    return ::close(s);
}

int CurlSocketBridge::onTimer(CURLM*, long timeoutMs, void* userp) {
    try {
        static_cast<CurlSocketBridge*>(userp)->scheduleTimeout(timeoutMs);
        return 0;
    } catch (...) {
        return -1;
    }
}

void CurlSocketBridge::watch(curl_socket_t s, int what) {
    auto it = sockets_.find(s);
    if (what == CURL_POLL_REMOVE) {
        if (it == sockets_.end()) return;
        if (connectionSockets_.count(s) != 0) {
            // Stays registered until onCloseSocket; only the waits end.
            SocketWatch& w = *it->second;
            w.wanted = 0;
            w.readPending = w.writePending = false;
            ++w.round;
            asio::error_code ignored;
            w.descriptor.cancel(ignored);
        } else {
            // Sockets libcurl opened itself (the threaded resolver's wake-up pair) are closed
            // without telling us, so they are let go now.
            it->second->release();
            sockets_.erase(it);
        }
        return;
    }
    if (it == sockets_.end()) {
        // Covers sockets libcurl opened on its own, such as the threaded resolver's wake-up
        // pipe, as well as connections.
        it = sockets_.emplace(s, std::make_shared<SocketWatch>(session_.io, s)).first;
    }
    it->second->wanted = what;
    arm(it->second);
}

// The waits hold the session weakly: the bridge is part of it, and goes with it. They are not
// bound to the strand: libcurl stops watching a kept-alive connection after every transfer, and
// the wait that cancels needs nothing of the session. Only a socket that became ready enters it.
void CurlSocketBridge::arm(const std::shared_ptr<SocketWatch>& w) {
    auto waitFor = [this, &w](asio::posix::descriptor_base::wait_type type, int event) {
        w->descriptor.async_wait(type, [weak = session_.weak_from_this(), this, w, event,
                                        round = w->round](const asio::error_code& ec) {
            if (ec == asio::error::operation_aborted) return;
            auto self = weak.lock();
            if (!self) return;
            self->dispatch([self, this, w, event, round, ec] {
                if (w->round == round) onReady(w, ec, event);
            });
        });
    };
    if ((w->wanted & CURL_POLL_IN) != 0 && !w->readPending) {
        w->readPending = true;
        waitFor(asio::posix::descriptor_base::wait_read, CURL_CSELECT_IN);
    }
    if ((w->wanted & CURL_POLL_OUT) != 0 && !w->writePending) {
        w->writePending = true;
        waitFor(asio::posix::descriptor_base::wait_write, CURL_CSELECT_OUT);
    }
}

void CurlSocketBridge::onReady(const std::shared_ptr<SocketWatch>& w, const asio::error_code& ec, int event) {
    const int interest = event == CURL_CSELECT_IN ? CURL_POLL_IN : CURL_POLL_OUT;
    (event == CURL_CSELECT_IN ? w->readPending : w->writePending) = false;
    if (w->released || !attached_) return;
    // Cancelled waits never get here (see arm), so an error is the socket's own.
    if (ec) {
        session_.act(w->fd, CURL_CSELECT_ERR);
    } else if ((w->wanted & interest) != 0) {
        session_.act(w->fd, event);
    }
    // A wait is one-shot: watch again for as long as libcurl is interested.
    if (!w->released) arm(w);
}

void CurlSocketBridge::scheduleTimeout(long timeoutMs) {
    // A pending wait would keep the io_context's run() from returning, so "nothing to time"
    // cancels it rather than leaving it to expire.
    timer_->cancel();
    if (timeoutMs < 0) return;  // libcurl has nothing to time
    if (timeoutMs == 0) {
        // A handle being added asks for this; the session acts right after, and a posted act
        // would only find nothing to do and cost the io_context one more round.
        if (starting_) return;
        // Acting now would re-enter libcurl from inside its own callback.
        session_.post([weak = session_.weak_from_this()] {
            if (auto self = weak.lock()) self->act(CURL_SOCKET_TIMEOUT, 0);
        });
        return;
    }
    timer_->expires_after(std::chrono::milliseconds(timeoutMs));
    // Not bound to the strand: libcurl moves its deadline several times per request, and each
    // wait it replaces ends as cancelled, which needs nothing of the session. Only a wait that
    // ran out enters the strand.
    timer_->async_wait([weak = session_.weak_from_this()](const asio::error_code& ec) {
        if (ec) return;
        if (auto self = weak.lock()) {
            self->dispatch([self] { self->act(CURL_SOCKET_TIMEOUT, 0); });
        }
    });
}

}  // namespace tarn::detail
