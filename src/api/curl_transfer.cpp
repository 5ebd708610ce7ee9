// The transfer's side of libcurl: the request's options and header list, the callbacks that
// read the answer's head and body and send the request body, the resend judgements, and the
// answer or failure a finished transfer gives its caller.
#include "api/curl_transfer.hpp"

#include "api/curl_errors.hpp"
#include "api/curl_resend.hpp"
#include "api/header_rules.hpp"

#include <openssl/ssl.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace tarn::detail {

namespace {

using Code = TransportError::Code;

// Non-resendable requests reuse only connections idle for less than this (libcurl counts whole
// seconds: 0 retires a connection idle for a second or more). Servers close idle connections
// after a few seconds at the least (2 s gunicorn, 5 s Apache, Node and cpp-httplib, 60 s and more
// behind load balancers); a connection used this recently cannot be in the middle of that close.
constexpr long kMaxIdleSecondsForOnceOnly = 0;

// A header line without the whitespace around it and its line ending.
std::string_view trimmedLine(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
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

// The value of one Content-Length field: a number, or a list of numbers that RFC 9110 allows
// only when they are all the same. nullopt when it is no number at all (libcurl decides then),
// kConflictingLength when the list disagrees with itself.
constexpr std::uint64_t kConflictingLength = std::numeric_limits<std::uint64_t>::max();
std::optional<std::uint64_t> contentLengthOf(std::string_view value) {
    std::optional<std::uint64_t> length;
    while (true) {
        auto comma = value.find(',');
        auto item = trimmedLine(value.substr(0, comma));
        std::uint64_t number = 0;
        auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), number);
        if (ec != std::errc() || end != item.data() + item.size()) return length ? kConflictingLength : length;
        if (length && *length != number) return kConflictingLength;
        length = number;
        if (comma == std::string_view::npos) return length;
        value.remove_prefix(comma + 1);
    }
}

size_t onHeader(char* data, size_t size, size_t count, void* userp) {
    auto& t = *static_cast<Transfer*>(userp);
    const size_t length = size * count;
    std::string_view line = trimmedLine(std::string_view(data, length));
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
            // Appended in two steps: GCC 12 at -O3 sees a false overlap in `" " + std::string(...)`.
            if (!t.response.headers.empty()) {
                std::string& value = t.response.headers.back().second;
                value += ' ';
                value += line;
            }
            return length;
        }
        auto colon = line.find(':');
        if (colon == std::string_view::npos) return length;
        auto name = line.substr(0, colon);
        auto value = trimmedLine(line.substr(colon + 1));
        if (ascii::equalsIgnoringCase(name, "Content-Length")) {
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

size_t onBody(char* data, size_t size, size_t count, void* userp) {
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

size_t onReadBody(char* buffer, size_t size, size_t count, void* userp) {
    auto& t = *static_cast<Transfer*>(userp);
    const std::string_view body = t.request->body ? std::string_view(*t.request->body) : std::string_view();
    const size_t n = std::min(size * count, body.size() - t.bodySent);
    std::memcpy(buffer, body.data() + t.bodySent, n);
    t.bodySent += n;
    return n;
}

// Judges the attempt that just failed, before the next one goes out. libcurl writes the
// error buffer for every failure it describes, and leaves it empty for a refused stream.
bool approveResend(Transfer& t) {
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

// libcurl only rewinds the body to send the request again.
int onSeekBody(void* userp, curl_off_t offset, int origin) {
    auto& t = *static_cast<Transfer*>(userp);
    if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
    if (t.bodySent == 0) return CURL_SEEKFUNC_OK;  // nothing went out yet: nothing to repeat
    if (!approveResend(t)) return CURL_SEEKFUNC_FAIL;
    t.resendApproved = true;  // onBeforeSend comes next for the same resend
    t.bodySent = 0;
    return CURL_SEEKFUNC_OK;
}

// Runs once a connection is ready for the request, before every attempt.
int onBeforeSend(void* userp, char*, char*, int, int) {
    auto& t = *static_cast<Transfer*>(userp);
    if (++t.sendAttempts > 1 && !std::exchange(t.resendApproved, false) && !approveResend(t)) {
        return CURL_PREREQFUNC_ABORT;
    }
    t.overHTTP2 = negotiatedHTTP2(t.easy);
    return CURL_PREREQFUNC_OK;
}

// The header lines of `r`, one by one, until `emit` returns false; whether every line was taken.
template <class Emit>
bool forEachHeaderLine(const HttpRequest& r, bool sendsBody, std::string& line, Emit&& emit) {
    bool hasExpect = false;
    bool hasContentType = false;
    for (const auto& [name, value] : r.headers) {
        hasExpect = hasExpect || ascii::equalsIgnoringCase(name, "Expect");
        hasContentType = hasContentType || ascii::equalsIgnoringCase(name, "Content-Type");
        // "Name;" is libcurl's spelling of a header with an empty value ("Name:" removes it).
        line.assign(name);
        line.append(value.empty() ? ";" : ": ");
        line.append(value);
        if (!emit(line.c_str())) return false;
    }
    // libcurl would add "Expect: 100-continue" to larger bodies, costing a round trip, and a
    // form Content-Type the caller never asked for.
    if (!hasExpect && !emit("Expect:")) return false;
    if (sendsBody && !hasContentType && !emit("Content-Type:")) return false;
    return true;
}

// The list for `r`: the last one when it holds exactly these lines, a new one (kept as the last)
// otherwise.
std::shared_ptr<curl_slist> headerListFor(const HttpRequest& r, bool sendsBody, HeaderLines& lines) {
    if (lines.last) {
        const curl_slist* node = lines.last.get();
        const bool same = forEachHeaderLine(r, sendsBody, lines.line, [&node](const char* line) {
            if (node == nullptr || std::strcmp(node->data, line) != 0) return false;
            node = node->next;
            return true;
        });
        if (same && node == nullptr) return lines.last;
    }
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> built(nullptr, curl_slist_free_all);
    forEachHeaderLine(r, sendsBody, lines.line, [&built](const char* line) {  // curl_slist_append copies it
        curl_slist* list = curl_slist_append(built.get(), line);
        if (list == nullptr) throw std::bad_alloc();
        (void)built.release();
        built.reset(list);
        return true;
    });
    lines.last = std::shared_ptr<curl_slist>(std::move(built));
    return lines.last;
}

HttpResponse notHTTP(const Transfer& t) {
    HttpResponse answer;
    answer.isHTTP = false;
    answer.url = t.request->url;
    return answer;
}

}  // namespace

void setTransferCallbacks(CURL* easy) {
    setCurlOption(easy, CURLOPT_WRITEFUNCTION, &onBody);
    setCurlOption(easy, CURLOPT_HEADERFUNCTION, &onHeader);
    setCurlOption(easy, CURLOPT_PREREQFUNCTION, &onBeforeSend);
}

void configureRequest(Transfer& t, HeaderLines& lines, CurlParsedUrls& urls) {
    CURL* e = t.easy;
    auto set = [e](CURLoption option, auto value) { setCurlOption(e, option, value); };
    const HttpRequest& r = *t.request;
    set(CURLOPT_PRIVATE, static_cast<void*>(&t));
    set(CURLOPT_ERRORBUFFER, t.errorBuffer);
    // The string stays set as well: libcurl reports it and resolves a Location against it.
    set(CURLOPT_URL, r.url.c_str());
    t.parsedUrl = urls.parsed(r.url);
    set(CURLOPT_CURLU, t.parsedUrl.get());
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
        set(CURLOPT_READFUNCTION, &onReadBody);
        set(CURLOPT_READDATA, static_cast<void*>(&t));
        set(CURLOPT_SEEKFUNCTION, &onSeekBody);
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

    t.headerList = headerListFor(r, sendsBody, lines);
    set(CURLOPT_HTTPHEADER, t.headerList.get());
}

void completeFinished(Transfer& t, CURLcode result, const TransferInfo& info, std::string_view proxy) {
    t.response.url = t.request->url;
    // Once the request went out, these codes mean the reply did not parse as HTTP (a missing
    // or malformed status line, an HTTP/0.9 answer, a Location libcurl cannot parse); before
    // that they are about the request's own URL.
    const bool requestSent = info.requestBytes > 0;
    if (requestSent && (result == CURLE_UNSUPPORTED_PROTOCOL || result == CURLE_WEIRD_SERVER_REPLY ||
                        result == CURLE_URL_MALFORMAT)) {
        t.complete(nullptr, notHTTP(t));
        return;
    }
    if (result == CURLE_OK) {
        t.response.statusCode = info.status;
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
            Code::tooLarge, "the response body exceeds " + std::to_string(t.maxBodyBytes) + " bytes", result)));
        return;
    }
    if (t.conflictingLength) {
        // Not an HTTP answer one can rely on: the pipeline reports it as invalidResponse.
        t.complete(nullptr, notHTTP(t));
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
    t.complete(std::make_exception_ptr(transferFailure(result, t.errorBuffer, info.osErrno, t.request->url, proxy)));
}

}  // namespace tarn::detail
