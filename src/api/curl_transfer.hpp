// One HTTP exchange (a single hop of a redirect chain) while libcurl works on it: the request and
// its easy-handle options, what libcurl reads and writes through the transfer's callbacks, the
// judgements on resending, and the answer or failure the caller gets when libcurl is done.
#pragma once

#include "api/curl_completion.hpp"
#include "api/curl_parsed_urls.hpp"
#include "tarn/api/http.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace tarn::detail {

using TransferClock = std::chrono::steady_clock;

// simdjson reads up to 64 bytes past the end of its input; a body with that much spare capacity
// can be parsed in place.
inline constexpr std::size_t kBodyPadding = 64;

// A response head larger than this is refused as tooLarge. libcurl 7.88 limits each header line
// (100 KiB) but not their number, so a server could make the client hold any amount.
inline constexpr std::size_t kMaxResponseHeadBytes = 256 * 1024;

struct Transfer {
    Transfer(std::shared_ptr<const HttpRequest> r, std::chrono::milliseconds t, std::size_t cap)
        : request(std::move(r)), timeout(t), maxBodyBytes(cap) {}
    ~Transfer() {
        if (easy != nullptr) curl_easy_cleanup(easy);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void complete(std::exception_ptr error, HttpResponse&& result) {
        if (auto c = std::move(completion)) c->complete(std::move(error), std::move(result));
    }
    void complete(std::exception_ptr error) { complete(std::move(error), HttpResponse{}); }

    // Shared with the sending coroutine, which needs it again for a redirect; holds the body
    // libcurl sends from.
    std::shared_ptr<const HttpRequest> request;
    std::chrono::milliseconds timeout;
    std::size_t maxBodyBytes;
    std::unique_ptr<Completion> completion;  // empty once the caller has been answered
    std::atomic<bool> cancelRequested{false};

    // While the session holds the transfer back (too many in flight): since when, where in the
    // queue, and the timer that ends the wait when the request's timeout runs out first.
    TransferClock::time_point queuedAt{};
    std::optional<std::list<std::shared_ptr<Transfer>>::iterator> waitingAt;
    std::optional<asio::steady_timer> waitTimer;

    CURL* easy = nullptr;
    std::shared_ptr<curl_slist> headerList;  // shared with the requests that send the same headers
    std::shared_ptr<CURLU> parsedUrl;        // shared with the requests to the same URL
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
    TransferClock::time_point admittedAt{};

    // Back to the state before the first attempt, for a request started afresh.
    void resetAttempt() {
        headerList.reset();
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

/// Installs the callbacks every transfer reads its answer and judges its resends through; set
/// once per easy handle, since they stay the same from request to request.
void setTransferCallbacks(CURL* easy);

/// What configureRequest keeps from one request to the next: a buffer for the header lines, and
/// the last list of them, which every request sending the same headers shares. Most requests of a
/// session carry the same Accept, User-Agent and Authorization, and building the list anew costs
/// two allocations per header.
struct HeaderLines {
    std::string line;
    std::shared_ptr<curl_slist> last;
};

/// Sets the request's own options on `t.easy`, a handle carrying the session's options.
void configureRequest(Transfer& t, HeaderLines& lines, CurlParsedUrls& urls);

/// What libcurl reported about a finished transfer, read before its handle goes back.
struct TransferInfo {
    long status = 0;
    long requestBytes = 0;
    long osErrno = 0;
};

/// Answers the caller of a transfer libcurl finished with `result`. `proxy` is the session's,
/// so that its credentials are kept out of the message too.
void completeFinished(Transfer& t, CURLcode result, const TransferInfo& info, std::string_view proxy);

}  // namespace tarn::detail
