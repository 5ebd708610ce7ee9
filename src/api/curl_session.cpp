#include "tarn/api/curl_session.hpp"

#include "curl_redirect.hpp"
#include "curl_resend.hpp"
#include "http_cache.hpp"
#include "use_awaitable_out_of_line.hpp"

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/dispatch.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/system_executor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tarn {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;
using Code = TransportError::Code;

// simdjson reads up to 64 bytes past the end of its input; a body with that much spare capacity
// can be parsed in place.
constexpr std::size_t kBodyPadding = 64;

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw TransportError(Code::other, "libcurl could not be initialised");
        }
    });
}

char lowerASCII(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerASCII(x) == lowerASCII(y); });
}

// RFC 9110 token: what a method or header name may consist of.
bool isToken(std::string_view text) {
    static constexpr std::string_view kSpecials = "!#$%&'*+-.^_`|~";
    if (text.empty()) return false;
    for (unsigned char c : text) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && kSpecials.find(char(c)) == std::string_view::npos) return false;
    }
    return true;
}

// A line break in a header value would let the value inject headers (or a whole request).
bool isSafeHeaderValue(std::string_view value) {
    // Three vectorised scans; find_first_of would call memchr once per character of a long
    // bearer token.
    return value.find('\r') == std::string_view::npos && value.find('\n') == std::string_view::npos &&
           value.find('\0') == std::string_view::npos;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// The "user:password" part of a URL, if any, so that it can be kept out of error messages.
std::string_view userInfoOf(std::string_view url) {
    auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) return {};
    auto authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    auto at = authority.rfind('@');
    return at == std::string_view::npos ? std::string_view{} : authority.substr(0, at);
}

void redact(std::string& text, std::string_view secret) {
    if (secret.empty()) return;
    for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos)) {
        text.replace(pos, secret.size(), "<redacted>");
        pos += 10;
    }
}

// Whether the transfer's connection negotiated HTTP/2. libcurl 7.88 names the protocol only once
// an answer arrives, and a refused stream never gets one, so the TLS session is asked instead.
// With another TLS library than OpenSSL the answer is "no", which only costs resends.
bool negotiatedHTTP2(CURL* easy) {
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr ||
        info->backend != CURLSSLBACKEND_OPENSSL || info->internals == nullptr) {
        return false;
    }
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(static_cast<const SSL*>(info->internals), &protocol, &length);
    return protocol != nullptr && std::string_view(reinterpret_cast<const char*>(protocol), length) == "h2";
}

// A response head larger than this is refused as tooLarge. libcurl 7.88 limits each header line
// (100 KiB) but not their number, so a server could make the client hold any amount.
constexpr std::size_t kMaxResponseHeadBytes = 256 * 1024;

// Non-resendable requests reuse only connections idle for less than this (libcurl counts whole
// seconds: 0 retires a connection idle for a second or more). Servers close idle connections
// after a few seconds at the least (2 s gunicorn, 5 s Apache, Node and cpp-httplib, 60 s and more
// behind load balancers); a connection used this recently cannot be in the middle of that close.
constexpr long kMaxIdleSecondsForOnceOnly = 0;

Code codeFor(CURLcode result) {
    switch (result) {
        case CURLE_OPERATION_TIMEDOUT:
            return Code::timedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return Code::cannotConnect;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            return Code::tls;
        case CURLE_FILESIZE_EXCEEDED:
            return Code::tooLarge;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Code::badURL;
        case CURLE_TOO_MANY_REDIRECTS:
            return Code::redirectRefused;
        default:
            return Code::other;
    }
}

std::exception_ptr cancelledError() {
    return std::make_exception_ptr(TransportError(Code::cancelled, "the request was cancelled"));
}

// Resumes one caller, whatever the type of its completion handler.
class Completion {
public:
    virtual ~Completion() = default;
    virtual void complete(std::exception_ptr error, HttpResponse response) = 0;
};

template <class Handler>
class HandlerCompletion final : public Completion {
public:
    HandlerCompletion(Handler handler, const asio::any_io_executor& fallback)
        : handler_(std::move(handler)),
          work_(asio::prefer(asio::get_associated_executor(handler_, fallback),
                             asio::execution::outstanding_work.tracked)) {}

    void complete(std::exception_ptr error, HttpResponse response) override {
        auto executor = work_;
        // Posted, never run inline: the caller resumes on its own executor, and the session's
        // strand is not held while it runs.
        asio::post(executor, [handler = std::move(handler_), work = std::move(work_), error = std::move(error),
                              response = std::move(response)]() mutable {
            // Cleared on the caller's executor, where cancellation is emitted as well.
            asio::get_associated_cancellation_slot(handler).clear();
            std::move(handler)(std::move(error), std::move(response));
            (void)work;
        });
    }

private:
    Handler handler_;
    asio::any_io_executor work_;
};

}  // namespace

// One HTTP exchange (a single hop of a redirect chain) while libcurl works on it.
struct Transfer {
    Transfer(std::shared_ptr<const HttpRequest> r, std::chrono::milliseconds t, std::size_t cap)
        : request(std::move(r)), timeout(t), maxBodyBytes(cap) {}
    ~Transfer() {
        if (easy != nullptr) curl_easy_cleanup(easy);
        curl_slist_free_all(headerList);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void complete(std::exception_ptr error, HttpResponse result = {}) {
        if (auto c = std::move(completion)) c->complete(std::move(error), std::move(result));
    }

    // Shared with the sending coroutine, which needs it again for a redirect; holds the body
    // libcurl sends from.
    std::shared_ptr<const HttpRequest> request;
    std::chrono::milliseconds timeout;
    std::size_t maxBodyBytes;
    std::unique_ptr<Completion> completion;  // empty once the caller has been answered
    std::atomic<bool> cancelRequested{false};

    // While the session holds the transfer back (too many in flight): since when, where in the
    // queue, and the timer that ends the wait when the request's timeout runs out first.
    Clock::time_point queuedAt{};
    std::optional<std::list<std::shared_ptr<Transfer>>::iterator> waitingAt;
    std::optional<asio::steady_timer> waitTimer;

    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    HttpResponse response;
    std::optional<std::uint64_t> contentLength;
    std::size_t bodySent = 0;   // bytes of the request body handed to libcurl
    int sendAttempts = 0;       // times libcurl was about to send the request
    bool overHTTP2 = false;     // the connection of the latest attempt negotiated HTTP/2
    bool resendApproved = false;  // the body's rewind already allowed the coming resend
    bool resendRefused = false;
    bool refusedUnprocessed = false;  // to be started afresh
    bool refusedTooOften = false;     // refused unprocessed, but more often than a resend is worth
    std::size_t headBytes = 0;  // of the response head being read
    bool headTooLarge = false;
    bool conflictingLength = false;
    bool bodyReserved = false;
    bool tooLarge = false;
    bool methodOptionsSet = false;  // anything but a plain GET: the handle needs a reset afterwards

    // Across the attempts of a request the server refused unprocessed.
    int refusals = 0;
    Clock::time_point admittedAt{};

    // Back to the state before the first attempt, for a request started afresh.
    void resetAttempt() {
        curl_slist_free_all(std::exchange(headerList, nullptr));
        errorBuffer[0] = '\0';
        response = {};
        contentLength.reset();
        bodySent = 0;
        sendAttempts = 0;
        overHTTP2 = resendApproved = resendRefused = refusedUnprocessed = refusedTooOften = false;
        headBytes = 0;
        headTooLarge = conflictingLength = bodyReserved = tooLarge = methodOptionsSet = false;
    }
};

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
};

// Everything below runs on `strand` unless it says otherwise; libcurl's multi handle is touched
// nowhere else.
class CurlSessionImpl : public std::enable_shared_from_this<CurlSessionImpl> {
public:
    CurlSessionImpl(asio::any_io_executor ioExecutor, CurlSessionConfig cfg)
        : config(std::move(cfg)), io(std::move(ioExecutor)), strand(asio::make_strand(io)) {}

    ~CurlSessionImpl() {
        // Reached without shutdown() only when the io_context is torn down with the session's
        // last handler still queued: the callers' executors may be gone, so nobody is resumed.
        for (auto& [easy, transfer] : active_) transfer->completion.reset();
        for (auto& transfer : waiting_) {
            transfer->completion.reset();
            transfer->waitTimer.reset();
        }
        closeMulti();
    }

    CurlSessionImpl(const CurlSessionImpl&) = delete;
    CurlSessionImpl& operator=(const CurlSessionImpl&) = delete;

    const CurlSessionConfig config;
    const asio::any_io_executor io;
    const asio::strand<asio::any_io_executor> strand;
    std::atomic<bool> used{false};  // any thread

    void start(std::shared_ptr<Transfer> transfer) {
        if (closed_ || transfer->cancelRequested.load()) {
            transfer->complete(cancelledError());
            return;
        }
        if (active_.size() >= config.maxTransfersInFlight) {
            hold(std::move(transfer));
            return;
        }
        admit(std::move(transfer));
    }

    void cancel(const std::shared_ptr<Transfer>& transfer) {
        if (transfer->waitingAt) {
            unhold(*transfer);
            transfer->complete(cancelledError());
            return;
        }
        auto it = active_.find(transfer->easy);
        if (transfer->easy == nullptr || it == active_.end()) return;  // not started or finished
        active_.erase(it);
        detach(*transfer);
        transfer->complete(cancelledError());
        admitWaiting();
    }

    void shutdown() {
        closed_ = true;
        auto transfers = std::move(active_);
        active_.clear();
        for (auto& [easy, transfer] : transfers) {
            detach(*transfer);
            transfer->complete(cancelledError());
        }
        auto held = std::move(waiting_);
        waiting_.clear();
        for (auto& transfer : held) {
            transfer->waitingAt.reset();
            transfer->waitTimer.reset();
            transfer->complete(cancelledError());
        }
        closeMulti();
    }

private:
    // A transfer handed to libcurl holds its buffers (about 18 KB) from then on, even while it
    // waits for a connection. Beyond maxTransfersInFlight, requests wait here instead, holding
    // only their request, and start in order as earlier ones finish.
    void hold(std::shared_ptr<Transfer> transfer) {
        Transfer& t = *transfer;
        t.queuedAt = Clock::now();
        t.waitTimer.emplace(strand, t.timeout);
        t.waitTimer->async_wait([weak = weak_from_this(), held = std::weak_ptr<Transfer>(transfer)](
                                    const asio::error_code& ec) {
            if (ec) return;
            auto self = weak.lock();
            auto waiting = held.lock();
            if (!self || !waiting || !waiting->waitingAt) return;
            self->unhold(*waiting);
            waiting->complete(std::make_exception_ptr(TransportError(
                Code::timedOut, "the request timeout elapsed while the request waited for a connection")));
        });
        waiting_.push_back(std::move(transfer));
        t.waitingAt = std::prev(waiting_.end());
    }

    void unhold(Transfer& t) {
        waiting_.erase(*t.waitingAt);  // may destroy nothing: the caller holds a reference
        t.waitingAt.reset();
        if (t.waitTimer) t.waitTimer->cancel();
    }

    void admitWaiting() {
        if (admitting_) return;  // admit() acts, and acting comes back here
        admitting_ = true;
        while (!closed_ && !waiting_.empty() && active_.size() < config.maxTransfersInFlight) {
            auto transfer = waiting_.front();
            unhold(*transfer);
            transfer->waitTimer.reset();
            const auto waited = std::chrono::ceil<std::chrono::milliseconds>(Clock::now() - transfer->queuedAt);
            transfer->timeout -= waited;
            if (transfer->cancelRequested.load()) {
                transfer->complete(cancelledError());
            } else if (transfer->timeout.count() <= 0) {
                transfer->complete(std::make_exception_ptr(TransportError(
                    Code::timedOut, "the request timeout elapsed while the request waited for a connection")));
            } else {
                admit(std::move(transfer));
            }
        }
        admitting_ = false;
    }

    void admit(std::shared_ptr<Transfer> transfer) {
        try {
            openMulti();
            configure(*transfer);
        } catch (...) {
            transfer->complete(std::current_exception());
            return;
        }
        transfer->admittedAt = Clock::now();
        starting_ = true;
        const auto rc = curl_multi_add_handle(multi_, transfer->easy);
        starting_ = false;
        if (rc != CURLM_OK) {
            transfer->complete(std::make_exception_ptr(
                TransportError(Code::other, curl_multi_strerror(rc))));
            return;
        }
        active_.emplace(transfer->easy, transfer);
        // Drive the new transfer now rather than waiting for libcurl's timer round trip.
        act(CURL_SOCKET_TIMEOUT, 0);
    }

    void openMulti() {
        if (multi_ != nullptr) return;
        initialiseCurlOnce();
        multi_ = curl_multi_init();
        if (multi_ == nullptr) throw TransportError(Code::other, "libcurl could not create a multi handle");
        timer_.emplace(strand);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlSessionImpl::onSocket);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlSessionImpl::onTimer);
        curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_PIPELINING, long{CURLPIPE_MULTIPLEX});
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, config.maxConnectionsPerHost);
    }

    void closeMulti() {
        if (multi_ != nullptr) {
            for (auto& [easy, transfer] : active_) detach(*transfer);
            active_.clear();
            for (CURL* easy : spareEasy_) curl_easy_cleanup(easy);
            spareEasy_.clear();
            // Closes the cached connections; libcurl reports each socket removed on the way.
            curl_multi_cleanup(multi_);
            multi_ = nullptr;
        }
        for (auto& [fd, watch] : sockets_) watch->release();
        sockets_.clear();
        if (timer_) timer_->cancel();
    }

    void detach(Transfer& transfer) {
        CURL* easy = std::exchange(transfer.easy, nullptr);
        if (multi_ == nullptr) {
            curl_easy_cleanup(easy);
            return;
        }
        curl_multi_remove_handle(multi_, easy);
        // A kept handle saves creating one per request, and keeps its TLS session cache. One that
        // repeated its request keeps libcurl's count of repeats, which would shorten the next
        // request's allowance; one that asked for a fresh connection would keep asking.
        if (spareEasy_.size() >= kSpareEasyHandles || transfer.sendAttempts > 1 || transfer.refusedUnprocessed ||
            transfer.refusals > 0) {
            curl_easy_cleanup(easy);
            return;
        }
        if (transfer.methodOptionsSet) {
            // The method and body options would carry over to the next request: start afresh.
            curl_easy_reset(easy);
            try {
                setSessionOptions(easy);
            } catch (...) {
                curl_easy_cleanup(easy);
                return;
            }
        } else {
            // A plain GET only set options that every request sets again; just drop the pointers
            // into the finished transfer.
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
            curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
            curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void*>(nullptr));
            curl_easy_setopt(easy, CURLOPT_PREREQDATA, static_cast<void*>(nullptr));
        }
        spareEasy_.push_back(easy);
    }

    static void setOption(CURL* easy, CURLoption option, auto value) {
        if (auto rc = curl_easy_setopt(easy, option, value); rc != CURLE_OK) {
            throw TransportError(codeFor(rc), curl_easy_strerror(rc), rc);
        }
    }

    // What every request of this session shares, set once per handle rather than per request.
    void setSessionOptions(CURL* e) {
        setOption(e, CURLOPT_PROTOCOLS_STR, "http,https");
        // Identifiers go into paths unchanged; libcurl would otherwise resolve "." and ".." and
        // send the request to another resource than the one the caller named.
        setOption(e, CURLOPT_PATH_AS_IS, 1L);
        setOption(e, CURLOPT_NOSIGNAL, 1L);
        setOption(e, CURLOPT_FOLLOWLOCATION, 0L);  // the session follows redirects itself
        setOption(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(config.connectTimeout.count()));
        setOption(e, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_2TLS});
        setOption(e, CURLOPT_PIPEWAIT, 1L);
        setOption(e, CURLOPT_SSL_VERIFYPEER, 1L);
        setOption(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (config.caFile) setOption(e, CURLOPT_CAINFO, config.caFile->c_str());
        if (config.pinnedPublicKey) setOption(e, CURLOPT_PINNEDPUBLICKEY, config.pinnedPublicKey->c_str());
        // An empty proxy stops libcurl from reading http_proxy and friends from the environment:
        // the session is configured by its constructor alone.
        setOption(e, CURLOPT_PROXY, config.proxy ? config.proxy->c_str() : "");
        if (config.userAgent) setOption(e, CURLOPT_USERAGENT, config.userAgent->c_str());
        setOption(e, CURLOPT_OPENSOCKETFUNCTION, &CurlSessionImpl::onOpenSocket);
        setOption(e, CURLOPT_OPENSOCKETDATA, static_cast<void*>(this));
        setOption(e, CURLOPT_CLOSESOCKETFUNCTION, &CurlSessionImpl::onCloseSocket);
        setOption(e, CURLOPT_CLOSESOCKETDATA, static_cast<void*>(this));
        setOption(e, CURLOPT_WRITEFUNCTION, &CurlSessionImpl::onBody);
        setOption(e, CURLOPT_HEADERFUNCTION, &CurlSessionImpl::onHeader);
        setOption(e, CURLOPT_PREREQFUNCTION, &CurlSessionImpl::onBeforeSend);
    }

    CURL* takeHandle() {
        if (!spareEasy_.empty()) {
            CURL* easy = spareEasy_.back();
            spareEasy_.pop_back();
            return easy;
        }
        CURL* easy = curl_easy_init();
        if (easy == nullptr) throw TransportError(Code::other, "libcurl could not create a transfer");
        try {
            setSessionOptions(easy);
        } catch (...) {
            curl_easy_cleanup(easy);
            throw;
        }
        return easy;
    }

    void configure(Transfer& t) {
        t.easy = takeHandle();
        CURL* e = t.easy;
        auto set = [e](CURLoption option, auto value) { setOption(e, option, value); };
        const HttpRequest& r = *t.request;
        set(CURLOPT_PRIVATE, static_cast<void*>(&t));
        set(CURLOPT_ERRORBUFFER, t.errorBuffer);
        set(CURLOPT_URL, r.url.c_str());
        set(CURLOPT_TIMEOUT_MS, static_cast<long>(t.timeout.count()));
        set(CURLOPT_WRITEDATA, static_cast<void*>(&t));
        set(CURLOPT_HEADERDATA, static_cast<void*>(&t));

        const bool sendsBody = r.body || r.method == "POST";
        if (r.method != "GET" || sendsBody) t.methodOptionsSet = true;  // before any of them is set
        if (r.method == "HEAD") {
            set(CURLOPT_NOBODY, 1L);
        } else if (sendsBody) {
            // Read through a callback rather than CURLOPT_POSTFIELDS: libcurl resends POSTFIELDS
            // silently when a reused connection dies, but must rewind a read body first, which
            // onSeekBody refuses for requests that may not be sent twice.
            set(CURLOPT_POST, 1L);
            set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(r.body ? r.body->size() : 0));
            set(CURLOPT_READFUNCTION, &CurlSessionImpl::onReadBody);
            set(CURLOPT_READDATA, static_cast<void*>(&t));
            set(CURLOPT_SEEKFUNCTION, &CurlSessionImpl::onSeekBody);
            set(CURLOPT_SEEKDATA, static_cast<void*>(&t));
        }
        // A body-less request needs no rewind, so a resend is also judged where libcurl is about
        // to send on a new connection.
        set(CURLOPT_PREREQDATA, static_cast<void*>(&t));
        // Every connection already open carries the streams that were ahead of it; a server that
        // refused the request once would refuse it there again. On a new connection it comes first.
        if (t.refusals > 0) set(CURLOPT_FRESH_CONNECT, 1L);
        if (!isIdempotent(r.method)) set(CURLOPT_MAXAGE_CONN, kMaxIdleSecondsForOnceOnly);
        if (r.method != "GET" && r.method != "HEAD" && r.method != "POST") {
            set(CURLOPT_CUSTOMREQUEST, r.method.c_str());
        } else if (r.method == "GET" && r.body) {
            set(CURLOPT_CUSTOMREQUEST, "GET");
        }

        bool hasExpect = false;
        bool hasContentType = false;
        std::string& line = headerLine_;  // one buffer for every line: curl_slist_append copies it
        for (const auto& [name, value] : r.headers) {
            hasExpect = hasExpect || equalsIgnoringCase(name, "Expect");
            hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
            // "Name;" is libcurl's spelling of a header with an empty value ("Name:" removes it).
            line.assign(name);
            line.append(value.empty() ? ";" : ": ");
            line.append(value);
            appendHeader(t, line.c_str());
        }
        // libcurl would add "Expect: 100-continue" to larger bodies, costing a round trip, and a
        // form Content-Type the caller never asked for.
        if (!hasExpect) appendHeader(t, "Expect:");
        if (sendsBody && !hasContentType) appendHeader(t, "Content-Type:");
        set(CURLOPT_HTTPHEADER, t.headerList);
    }

    static void appendHeader(Transfer& t, const char* line) {
        auto* list = curl_slist_append(t.headerList, line);
        if (list == nullptr) throw std::bad_alloc();
        t.headerList = list;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* userp) {
        auto& t = *static_cast<Transfer*>(userp);
        const size_t length = size * count;
        std::string_view line = trim(std::string_view(data, length));
        try {
            if (line.substr(0, 5) == "HTTP/") {
                // A new status line: interim (1xx) or proxy answers came before; keep only the
                // headers of the final response.
                t.response.headers.clear();
                t.contentLength.reset();
                t.headBytes = length;
                return length;
            }
            t.headBytes += length;
            if (t.headBytes > kMaxResponseHeadBytes) {
                t.headTooLarge = true;
                return 0;
            }
            if (line.empty()) return length;
            if (data[0] == ' ' || data[0] == '\t') {  // obsolete line folding
                if (!t.response.headers.empty()) t.response.headers.back().second += " " + std::string(line);
                return length;
            }
            auto colon = line.find(':');
            if (colon == std::string_view::npos) return length;
            auto name = line.substr(0, colon);
            auto value = trim(line.substr(colon + 1));
            if (equalsIgnoringCase(name, "Content-Length")) {
                auto declared = contentLengthOf(value);
                // Two lengths that disagree leave the end of the body, and so where the next
                // answer on the connection starts, to whoever reads it: the answer is refused.
                if (declared == kConflictingLength || (declared && t.contentLength && *declared != *t.contentLength)) {
                    t.conflictingLength = true;
                    return 0;
                }
                if (declared) {
                    t.contentLength = declared;
                    if (*declared > t.maxBodyBytes && t.request->method != "HEAD") {
                        t.tooLarge = true;  // refuse before a single body byte is read
                        return 0;
                    }
                }
            }
            if (t.response.headers.empty()) t.response.headers.reserve(8);  // one allocation for a usual answer
            t.response.headers.emplace_back(name, value);
            return length;
        } catch (...) {
            return 0;  // out of memory: fail the transfer, never unwind through libcurl
        }
    }

    // The value of one Content-Length field: a number, or a list of numbers that RFC 9110 allows
    // only when they are all the same. nullopt when it is no number at all (libcurl decides then),
    // kConflictingLength when the list disagrees with itself.
    static constexpr std::uint64_t kConflictingLength = std::numeric_limits<std::uint64_t>::max();
    static std::optional<std::uint64_t> contentLengthOf(std::string_view value) {
        std::optional<std::uint64_t> length;
        while (true) {
            auto comma = value.find(',');
            auto item = trim(value.substr(0, comma));
            std::uint64_t number = 0;
            auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), number);
            if (ec != std::errc() || end != item.data() + item.size()) return length ? kConflictingLength : length;
            if (length && *length != number) return kConflictingLength;
            length = number;
            if (comma == std::string_view::npos) return length;
            value.remove_prefix(comma + 1);
        }
    }

    static size_t onReadBody(char* buffer, size_t size, size_t count, void* userp) {
        auto& t = *static_cast<Transfer*>(userp);
        const std::string_view body = t.request->body ? std::string_view(*t.request->body) : std::string_view();
        const size_t n = std::min(size * count, body.size() - t.bodySent);
        std::memcpy(buffer, body.data() + t.bodySent, n);
        t.bodySent += n;
        return n;
    }

    // libcurl only rewinds the body to send the request again.
    static int onSeekBody(void* userp, curl_off_t offset, int origin) {
        auto& t = *static_cast<Transfer*>(userp);
        if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
        if (t.bodySent == 0) return CURL_SEEKFUNC_OK;  // nothing went out yet: nothing to repeat
        if (!approveResend(t)) return CURL_SEEKFUNC_FAIL;
        t.resendApproved = true;  // onBeforeSend comes next for the same resend
        t.bodySent = 0;
        return CURL_SEEKFUNC_OK;
    }

    // Runs once a connection is ready for the request, before every attempt.
    static int onBeforeSend(void* userp, char*, char*, int, int) {
        auto& t = *static_cast<Transfer*>(userp);
        if (++t.sendAttempts > 1 && !std::exchange(t.resendApproved, false) && !approveResend(t)) {
            return CURL_PREREQFUNC_ABORT;
        }
        t.overHTTP2 = negotiatedHTTP2(t.easy);
        return CURL_PREREQFUNC_OK;
    }

    // Judges the attempt that just failed, before the next one goes out. libcurl writes the
    // error buffer for every failure it describes, and leaves it empty for a refused stream.
    static bool approveResend(Transfer& t) {
        const FailedAttempt attempt{t.overHTTP2, t.errorBuffer[0] != '\0'};
        switch (resendAfter(t.request->method, attempt, t.refusals)) {
            case Resend::byLibcurl:
                return true;
            case Resend::afresh:
                t.refusedUnprocessed = true;
                return false;
            case Resend::never:
                t.resendRefused = true;
                t.refusedTooOften = attempt.overHTTP2 && !attempt.failureReported;
                return false;
        }
        return false;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* userp) {
        auto& t = *static_cast<Transfer*>(userp);
        const size_t length = size * count;
        std::string& body = t.response.body;
        if (length > t.maxBodyBytes - body.size()) {
            t.tooLarge = true;
            return 0;
        }
        try {
            if (!t.bodyReserved) {
                t.bodyReserved = true;
                if (t.contentLength && *t.contentLength <= t.maxBodyBytes) {
                    body.reserve(static_cast<size_t>(*t.contentLength) + kBodyPadding);
                }
            }
            body.append(data, length);
        } catch (...) {
            return 0;
        }
        return length;
    }

    static int onSocket(CURL*, curl_socket_t s, int what, void* userp, void*) {
        try {
            static_cast<CurlSessionImpl*>(userp)->watch(s, what);
            return 0;
        } catch (...) {
            return -1;
        }
    }

    // Connection sockets are opened and closed through these two, so their watches can outlive
    // a transfer: libcurl stops watching a kept-alive connection between transfers, and dropping
    // the registration each time would cost two epoll_ctl calls per request.
    static curl_socket_t onOpenSocket(void* clientp, curlsocktype, curl_sockaddr* address) {
        curl_socket_t s = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (s == CURL_SOCKET_BAD) return s;
        try {
            static_cast<CurlSessionImpl*>(clientp)->connectionSockets_.insert(s);
        } catch (...) {
            ::close(s);
            return CURL_SOCKET_BAD;
        }
        return s;
    }

    static int onCloseSocket(void* clientp, curl_socket_t s) {
        auto& self = *static_cast<CurlSessionImpl*>(clientp);
        self.connectionSockets_.erase(s);
        if (auto it = self.sockets_.find(s); it != self.sockets_.end()) {
            it->second->release();  // before close(), while the fd still names this socket
            self.sockets_.erase(it);
        }
        return ::close(s);
    }

    static int onTimer(CURLM*, long timeoutMs, void* userp) {
        try {
            static_cast<CurlSessionImpl*>(userp)->scheduleTimeout(timeoutMs);
            return 0;
        } catch (...) {
            return -1;
        }
    }

    void watch(curl_socket_t s, int what) {
        auto it = sockets_.find(s);
        if (what == CURL_POLL_REMOVE) {
            if (it == sockets_.end()) return;
            if (connectionSockets_.count(s) != 0) {
                // Stays registered until onCloseSocket; only the waits end.
                it->second->wanted = 0;
                asio::error_code ignored;
                it->second->descriptor.cancel(ignored);
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
            it = sockets_.emplace(s, std::make_shared<SocketWatch>(strand, s)).first;
        }
        it->second->wanted = what;
        arm(it->second);
    }

    void arm(const std::shared_ptr<SocketWatch>& w) {
        if ((w->wanted & CURL_POLL_IN) != 0 && !w->readPending) {
            w->readPending = true;
            w->descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                     [weak = weak_from_this(), w](const asio::error_code& ec) {
                                         if (auto self = weak.lock()) self->onReady(w, ec, CURL_CSELECT_IN);
                                     });
        }
        if ((w->wanted & CURL_POLL_OUT) != 0 && !w->writePending) {
            w->writePending = true;
            w->descriptor.async_wait(asio::posix::descriptor_base::wait_write,
                                     [weak = weak_from_this(), w](const asio::error_code& ec) {
                                         if (auto self = weak.lock()) self->onReady(w, ec, CURL_CSELECT_OUT);
                                     });
        }
    }

    void onReady(const std::shared_ptr<SocketWatch>& w, const asio::error_code& ec, int event) {
        const int interest = event == CURL_CSELECT_IN ? CURL_POLL_IN : CURL_POLL_OUT;
        (event == CURL_CSELECT_IN ? w->readPending : w->writePending) = false;
        if (w->released || multi_ == nullptr) return;
        if (ec && ec != asio::error::operation_aborted) {
            act(w->fd, CURL_CSELECT_ERR);
        } else if (!ec && (w->wanted & interest) != 0) {
            act(w->fd, event);
        }
        // A wait is one-shot: watch again for as long as libcurl is interested.
        if (!w->released) arm(w);
    }

    void scheduleTimeout(long timeoutMs) {
        // A pending wait would keep the io_context's run() from returning, so "nothing to time"
        // cancels it rather than leaving it to expire.
        timer_->cancel();
        if (timeoutMs < 0) return;  // libcurl has nothing to time
        if (timeoutMs == 0) {
            // A handle being added asks for this; start() acts right after, and a posted act
            // would only find nothing to do and cost the io_context one more round.
            if (starting_) return;
            // Acting now would re-enter libcurl from inside its own callback.
            asio::post(strand, [weak = weak_from_this()] {
                if (auto self = weak.lock()) self->act(CURL_SOCKET_TIMEOUT, 0);
            });
            return;
        }
        timer_->expires_after(std::chrono::milliseconds(timeoutMs));
        timer_->async_wait([weak = weak_from_this()](const asio::error_code& ec) {
            if (ec) return;
            if (auto self = weak.lock()) self->act(CURL_SOCKET_TIMEOUT, 0);
        });
    }

    void act(curl_socket_t s, int events) {
        if (multi_ == nullptr) return;
        int running = 0;
        curl_multi_socket_action(multi_, s, events, &running);
        collectFinished();
        admitWaiting();
    }

    void collectFinished() {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            CURLcode result = message->data.result;
            auto it = active_.find(easy);
            if (it == active_.end()) continue;
            auto transfer = std::move(it->second);
            active_.erase(it);
            if (transfer->refusedUnprocessed) {
                detach(*transfer);
                startAfresh(std::move(transfer));
            } else {
                finish(*transfer, result);
            }
        }
    }

    // The server refused the request before processing it: it goes out again as a new transfer,
    // within what is left of its timeout. Posted, so that libcurl's list of finished transfers
    // is read to its end first.
    void startAfresh(std::shared_ptr<Transfer> transfer) {
        Transfer& t = *transfer;
        ++t.refusals;
        t.timeout -= std::chrono::ceil<std::chrono::milliseconds>(Clock::now() - t.admittedAt);
        t.resetAttempt();
        if (t.timeout.count() <= 0) {
            t.complete(std::make_exception_ptr(
                TransportError(Code::timedOut, "the request timeout elapsed while the server refused the request")));
            return;
        }
        asio::post(strand, [weak = weak_from_this(), transfer = std::move(transfer)]() mutable {
            if (auto self = weak.lock()) {
                self->start(std::move(transfer));
            } else {
                transfer->complete(cancelledError());
            }
        });
    }

    void finish(Transfer& t, CURLcode result) {
        long status = 0;
        long requestBytes = 0;
        long osErrno = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(t.easy, CURLINFO_REQUEST_SIZE, &requestBytes);
        curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osErrno);
        detach(t);
        t.response.url = t.request->url;
        // Once the request went out, these codes mean the reply did not parse as HTTP (a missing
        // or malformed status line, an HTTP/0.9 answer, a Location libcurl cannot parse); before
        // that they are about the request's own URL.
        const bool requestSent = requestBytes > 0;
        if (requestSent && (result == CURLE_UNSUPPORTED_PROTOCOL || result == CURLE_WEIRD_SERVER_REPLY ||
                         result == CURLE_URL_MALFORMAT)) {
            HttpResponse notHTTP;
            notHTTP.isHTTP = false;
            notHTTP.url = t.request->url;
            t.complete(nullptr, std::move(notHTTP));
            return;
        }
        if (result == CURLE_OK) {
            t.response.statusCode = status;
            auto& body = t.response.body;
            if (body.capacity() - body.size() < kBodyPadding) {
                try {
                    body.reserve(body.size() + kBodyPadding);  // a body of unknown length grew without it
                } catch (const std::bad_alloc&) {
                    // The padding only saves the parser a copy.
                }
            }
            t.complete(nullptr, std::move(t.response));
            return;
        }
        if (t.tooLarge) {
            t.complete(std::make_exception_ptr(TransportError(
                Code::tooLarge, "the response body exceeds " + std::to_string(t.maxBodyBytes) + " bytes",
                result)));
            return;
        }
        if (t.conflictingLength) {
            // Not an HTTP answer one can rely on: the pipeline reports it as invalidResponse.
            HttpResponse notHTTP;
            notHTTP.isHTTP = false;
            notHTTP.url = t.request->url;
            t.complete(nullptr, std::move(notHTTP));
            return;
        }
        if (t.headTooLarge) {
            t.complete(std::make_exception_ptr(TransportError(
                Code::tooLarge, "the response headers exceed " + std::to_string(kMaxResponseHeadBytes) + " bytes",
                result)));
            return;
        }
        if (t.resendRefused) {
            t.complete(std::make_exception_ptr(TransportError(
                Code::other,
                t.refusedTooOften ? "the server refused the " + t.request->method + " request unprocessed " +
                                   std::to_string(t.refusals + 1) + " times; it is not sent again"
                             : "the connection closed before the answer arrived; the " + t.request->method +
                                   " request is not sent again, since the server may already have acted on it",
                result)));
            return;
        }
        // libcurl 7.88 reports a header line over its 100 KiB limit as running out of memory.
        if (requestSent && result == CURLE_OUT_OF_MEMORY && t.response.body.empty()) {
            t.complete(std::make_exception_ptr(
                TransportError(Code::tooLarge, "a response header is larger than libcurl accepts", result)));
            return;
        }
        std::string message = describeFailure(result, t.errorBuffer, osErrno);
        redactCredentials(message, t.request->url);
        t.complete(std::make_exception_ptr(TransportError(codeFor(result), std::move(message), result)));
    }

    // libcurl's detail, which usually ends in the same generic text as curl_easy_strerror, with
    // that generic ending replaced by the system's reason when there is one ("Connection
    // refused" rather than "Couldn't connect to server").
    static std::string describeFailure(CURLcode result, const char* detail, long osErrno) {
        const std::string generic = curl_easy_strerror(result);
        std::string message = detail[0] != '\0' ? std::string(detail) : generic;
        if (osErrno == 0) return message;
        const std::string reason = std::error_code(int(osErrno), std::system_category()).message();
        if (message.find(reason) != std::string::npos) return message;
        if (message.size() > generic.size() && message.ends_with(": " + generic)) {
            message.resize(message.size() - generic.size());
            return message + reason;
        }
        return message + " (" + reason + ")";
    }

    void redactCredentials(std::string& message, std::string_view url) const {
        const std::string_view proxy = config.proxy ? std::string_view(*config.proxy) : std::string_view();
        for (auto info : {userInfoOf(url), userInfoOf(proxy)}) {
            redact(message, info);
            auto colon = info.find(':');
            if (colon != std::string_view::npos) {
                redact(message, info.substr(0, colon));
                redact(message, info.substr(colon + 1));
            }
        }
    }

    static constexpr std::size_t kSpareEasyHandles = 16;

    CURLM* multi_ = nullptr;
    std::vector<CURL*> spareEasy_;  // configured with the session's options, ready for a request
    std::string headerLine_;
    std::optional<asio::steady_timer> timer_;
    std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> sockets_;
    std::unordered_set<curl_socket_t> connectionSockets_;  // opened through onOpenSocket
    std::unordered_map<CURL*, std::shared_ptr<Transfer>> active_;
    std::list<std::shared_ptr<Transfer>> waiting_;  // held back, oldest first
    bool closed_ = false;
    bool admitting_ = false;
    bool starting_ = false;  // inside curl_multi_add_handle in start()
};

namespace {

// Installed in the caller's cancellation slot; runs on whatever thread emits the cancellation.
struct CancelTransfer {
    CancelTransfer(std::weak_ptr<CurlSessionImpl> s, std::weak_ptr<Transfer> t)
        : session(std::move(s)), transfer(std::move(t)) {}

    std::weak_ptr<CurlSessionImpl> session;
    std::weak_ptr<Transfer> transfer;

    void operator()(asio::cancellation_type type) const {
        if ((type & (asio::cancellation_type::terminal | asio::cancellation_type::partial |
                     asio::cancellation_type::total)) == asio::cancellation_type::none) {
            return;
        }
        auto t = transfer.lock();
        if (!t) return;
        t->cancelRequested.store(true);
        if (auto s = session.lock()) {
            asio::post(s->strand, [s, t] { s->cancel(t); });
        }
    }
};

struct InitiatePerform {
    template <class Handler>
    void operator()(Handler handler, std::weak_ptr<CurlSessionImpl> weak,
                    std::shared_ptr<const HttpRequest> request, std::chrono::milliseconds timeout) const {
        auto session = weak.lock();
        asio::any_io_executor fallback = session ? session->io : asio::any_io_executor(asio::system_executor());
        std::size_t cap = session ? session->config.maxBodyBytes : 0;
        auto transfer = std::make_shared<Transfer>(std::move(request), timeout, cap);
        auto slot = asio::get_associated_cancellation_slot(handler);
        transfer->completion = std::make_unique<HandlerCompletion<Handler>>(std::move(handler), fallback);
        if (!session) {
            transfer->complete(cancelledError());
            return;
        }
        session->used.store(true);
        if (slot.is_connected()) slot.template emplace<CancelTransfer>(weak, transfer);
        // Dispatched, not posted: on a thread that runs the session's io_context and finds the
        // strand free, the transfer starts right here. A post would put one more handler in the
        // queue, and Asio polls the reactor once more (an extra epoll_wait) before running it.
        asio::dispatch(session->strand, [session, transfer]() mutable { session->start(std::move(transfer)); });
    }
};

template <class Token>
auto asyncPerform(std::weak_ptr<CurlSessionImpl> session, std::shared_ptr<const HttpRequest> request,
                  std::chrono::milliseconds timeout, Token&& token) {
    return asio::async_initiate<Token, void(std::exception_ptr, HttpResponse)>(
        InitiatePerform{}, token, std::move(session), std::move(request), timeout);
}

void validate(const HttpRequest& request) {
    if (!isToken(request.method)) {
        throw TransportError(Code::other, "the request method is not a valid HTTP method");
    }
    for (const auto& [name, value] : request.headers) {
        // Neither the name nor the value is quoted: either may hold a secret.
        if (!isToken(name) || !isSafeHeaderValue(value)) {
            throw TransportError(Code::other, "a request header has a malformed name or value");
        }
    }
}

asio::awaitable<HttpResponse> sendFollowingRedirects(std::weak_ptr<CurlSessionImpl> session,
                                                     int maxRedirects, HttpRequest first) {
    validate(first);
    if (!hasHttpSchemeAndHost(first.url)) {
        throw TransportError(Code::badURL, "the request URL is not an absolute http or https URL");
    }
    // The origin of the first URL decides which redirects keep the credentials; most answers are
    // not redirects, so it is only worked out when one is.
    std::optional<Origin> original;
    const auto deadline = Clock::now() + first.timeout;
    // Shared with the transfer rather than copied into it: a redirect needs it again afterwards.
    auto request = std::make_shared<const HttpRequest>(std::move(first));
    for (int redirects = 0;; ++redirects) {
        // A cancellation that arrived between two hops had no transfer to abort.
        auto state = co_await asio::this_coro::cancellation_state;
        if (state.cancelled() != asio::cancellation_type::none) std::rethrow_exception(cancelledError());
        auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            throw TransportError(Code::timedOut, "the request timeout elapsed");
        }
        HttpResponse response = co_await asyncPerform(session, request, remaining, UseAwaitableOutOfLine{});
        if (!response.isHTTP || !isRedirectStatus(response.statusCode)) co_return response;
        if (!original) {
            original = httpOrigin(request->url);  // still the first URL: nothing was followed yet
            if (!original) {
                throw TransportError(Code::badURL, "the request URL is not an absolute http or https URL");
            }
        }
        auto location = response.header("Location");
        // A field value with a bare CR or another control character breaks HTTP's own grammar
        // (libcurl passes it on): the answer as a whole cannot be trusted.
        if (location && std::any_of(location->begin(), location->end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x20 && c != '\t';
            })) {
            HttpResponse notHTTP;
            notHTTP.isHTTP = false;
            notHTTP.url = request->url;
            co_return notHTTP;
        }
        auto next = redirectedRequest(*request, *original, response.statusCode, location);
        if (!next) co_return response;
        if (redirects >= maxRedirects) {
            throw TransportError(Code::redirectRefused,
                                 "more than " + std::to_string(maxRedirects) + " redirects");
        }
        request = std::make_shared<const HttpRequest>(std::move(*next));
    }
}

CurlSessionConfig checked(CurlSessionConfig config) {
    if (config.maxConnectionsPerHost < 1) throw std::invalid_argument("maxConnectionsPerHost must be at least 1");
    if (config.maxTransfersInFlight < 1) throw std::invalid_argument("maxTransfersInFlight must be at least 1");
    if (config.maxRedirects < 0) throw std::invalid_argument("maxRedirects must not be negative");
    if (config.maxBodyBytes == 0) throw std::invalid_argument("maxBodyBytes must be positive");
    if (config.connectTimeout.count() <= 0) throw std::invalid_argument("connectTimeout must be positive");
    if (config.pinnedPublicKey && config.pinnedPublicKey->rfind("sha256//", 0) != 0) {
        // libcurl would read anything else as the path of a key file.
        throw std::invalid_argument("pinnedPublicKey must have the form sha256//<base64>");
    }
    return config;
}

}  // namespace
}  // namespace detail

namespace detail {
namespace {

// The cache around the transfer. A fresh stored answer skips the network; otherwise the request
// goes out, with the stored validators when there are some, and the cache makes the answer.
asio::awaitable<HttpResponse> sendThroughCache(std::weak_ptr<CurlSessionImpl> session, std::shared_ptr<HttpCache> cache,
                                               int maxRedirects, HttpRequest request) {
    HttpCache::Plan plan = cache->prepare(request, HttpCache::Clock::now());
    if (plan.answer) co_return std::move(*plan.answer);
    const auto requested = HttpCache::Clock::now();
    std::optional<HttpResponse> network;
    std::optional<TransportError> failure;
    try {
        auto sending = sendFollowingRedirects(std::move(session), maxRedirects, request);
        network = co_await std::move(sending);
    } catch (const TransportError& e) {
        // Only a backend out of reach lets a stored answer stand in. A cancelled call wants no
        // answer at all; a refused certificate, redirect or size is no outage to paper over.
        if (e.code() != Code::timedOut && e.code() != Code::cannotConnect && e.code() != Code::other) throw;
        failure = e;
    }
    if (failure) {
        if (auto stale = cache->afterFailure(plan, HttpCache::Clock::now())) co_return std::move(*stale);
        throw *failure;
    }
    co_return cache->finish(request, plan, std::move(*network), requested, HttpCache::Clock::now());
}

std::shared_ptr<HttpCache> makeCache(const CurlSessionConfig& config) {
    if (!config.cache) return nullptr;
    if (config.cache->maxBytes == 0) throw std::invalid_argument("cache.maxBytes must be positive");
    return std::make_shared<HttpCache>(*config.cache);
}

}  // namespace
}  // namespace detail

CurlSession::CurlSession(asio::any_io_executor ioExecutor, CurlSessionConfig config)
    : impl_(std::make_shared<detail::CurlSessionImpl>(std::move(ioExecutor), detail::checked(std::move(config)))),
      cache_(detail::makeCache(impl_->config)) {}

CurlSession::~CurlSession() {
    if (!impl_->used.load()) return;  // nothing was ever started, so nothing needs the strand
    auto strand = impl_->strand;
    asio::post(strand, [impl = std::move(impl_)] { impl->shutdown(); });
}

const CurlSessionConfig& CurlSession::config() const noexcept { return impl_->config; }

asio::any_io_executor CurlSession::executor() const { return impl_->io; }

asio::awaitable<HttpResponse> CurlSession::send(HttpRequest request) {
    // A free coroutine holding a weak reference: the frame may outlive this object.
    if (cache_) return detail::sendThroughCache(impl_, cache_, impl_->config.maxRedirects, std::move(request));
    return detail::sendFollowingRedirects(impl_, impl_->config.maxRedirects, std::move(request));
}

void CurlSession::clearCache() noexcept {
    if (cache_) cache_->clear();
}

}  // namespace tarn
