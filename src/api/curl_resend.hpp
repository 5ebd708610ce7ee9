// The resend rules of CurlSession, kept free of I/O so that they can be tested on their own:
// whether a request that libcurl is about to send again may go out a second time.
//
// libcurl repeats a request on a new connection in two situations it does not tell apart: a
// reused connection died before any answer (the server may have read the request and acted on
// it), and an HTTP/2 server refused the stream unprocessed (RST_STREAM REFUSED_STREAM, or a
// GOAWAY whose last stream id lies below it). The second is safe to repeat for any method; the
// first only for methods whose second copy does what the first did.
#pragma once

#include <string_view>

namespace tarn::detail {

/// What is known about the attempt libcurl wants to repeat.
struct FailedAttempt {
    /// The connection it went out on had negotiated HTTP/2. Over HTTP/1.1 nothing tells a
    /// refusal from a connection that died after the server read the request.
    bool overHTTP2 = false;
    /// libcurl described a failure for it (the connection ended under an open stream, a frame
    /// could not be read, a send failed). A refused stream is retried without one.
    bool failureReported = false;
};

/// How often a request the server refused unprocessed is sent again before the refusal is
/// reported. A proxy that ends each connection after a few requests refuses the streams it had
/// no room for on every new connection until their turn comes, which with dozens in flight takes
/// a few rounds; a server that refuses everything is told apart after a few more.
inline constexpr int kMaxRefusedResends = 10;

/// Methods for which acting twice is the same as acting once. A DELETE is idempotent on paper,
/// but a second one is answered "not found", which would hide that the first succeeded.
constexpr bool isIdempotent(std::string_view method) {
    return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "TRACE" || method == "PUT";
}

enum class Resend {
    /// Report the failure: the server may have acted on the request.
    never,
    /// Let libcurl repeat it on a new connection, as it does for idempotent requests.
    byLibcurl,
    /// The server never processed it: the session starts it afresh, since libcurl's own repeats
    /// are capped too low for a proxy that refuses again and again (and share one count per handle).
    afresh,
};

/// What to do with an attempt of `method` that libcurl wants to repeat, when `refusals` earlier
/// attempts were refused unprocessed.
constexpr Resend resendAfter(std::string_view method, const FailedAttempt& attempt, int refusals) {
    if (attempt.overHTTP2 && !attempt.failureReported) {
        return refusals < kMaxRefusedResends ? Resend::afresh : Resend::never;
    }
    return isIdempotent(method) ? Resend::byLibcurl : Resend::never;
}

}  // namespace tarn::detail
