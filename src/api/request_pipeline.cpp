// The request pipeline of APIClient: building each request, sending and tracing it, the 401 rules
// around it, and the redaction of the failures it reports (see the header).
#include "api/request_pipeline.hpp"

#include "json/decoding_messages.hpp"
#include "api/token_refresh.hpp"
#include "api/use_awaitable_out_of_line.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/text/redaction.hpp"
#include "tarn/platform/origin.hpp"
#include "tarn/platform/unicode.hpp"

#include <algorithm>
#include <chrono>
#include <string_view>

namespace tarn::detail {

namespace {

// Whether the answer came from the origin the request was sent to. Without a redirect the session
// reports the very URL it was given, and nothing is parsed.
bool sameOrigin(const URL& requested, const std::string& answeredURL) {
    if (answeredURL.empty() || answeredURL == requested.absoluteString()) return true;
    std::optional<URL> answered = URL::parse(answeredURL);
    if (!answered) return false;
    std::optional<Origin> requestedOrigin = Origin::of(requested);
    return requestedOrigin && requestedOrigin == Origin::of(*answered);
}

// The path for a trace: query values may be credentials (a token in a link), so only the names of
// the query items are kept. An OAuth session's identifier is one too: whoever has it collects the
// token pair once the browser confirms the sign-in.
std::string traceablePath(const URL& url) {
    std::string path = url.percentEncodedPath();
    constexpr std::string_view oauthSession = "/auth/oauth/session/";
    if (std::size_t at = path.find(oauthSession); at != std::string::npos && at + oauthSession.size() < path.size()) {
        const std::size_t start = at + oauthSession.size();
        const std::size_t end = std::min(path.find('/', start), path.size());
        path.replace(start, end - start, redactedMarker);
    }
    std::optional<std::string> query = url.percentEncodedQuery();
    if (!query) return path;
    path += '?';
    std::string_view rest = *query;
    while (true) {
        std::size_t end = std::min(rest.find('&'), rest.size());
        std::string_view item = rest.substr(0, end);
        std::size_t equals = item.find('=');
        path += item.substr(0, equals);
        if (equals != std::string_view::npos) path.append("=").append(redactedMarker);
        if (end == rest.size()) break;
        path += '&';
        rest.remove_prefix(end + 1);
    }
    return path;
}

void report(const APIClientOptions& options, HttpTrace& trace, std::chrono::steady_clock::time_point started) {
    trace.duration = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    try {
        options.trace(trace);
    } catch (...) {
        // A failing observer must not change the outcome of the call it watched.
    }
}

asio::awaitable<HttpResponse> tracedSend(Self self, HttpRequest request, const URL& url) {
    const APIClientOptions& options = self->options;
    HttpTrace trace;
    trace.method = request.method;
    trace.path = traceablePath(url);
    trace.bytesSent = request.body ? request.body->size() : 0;
    const auto started = std::chrono::steady_clock::now();
    std::optional<HttpResponse> response;
    try {
        auto sending = self->session->send(std::move(request));
        response = co_await std::move(sending);
    } catch (const TransportError& e) {
        trace.transportError = e.code();
        report(options, trace, started);
        throw;
    } catch (...) {
        trace.transportError = TransportError::Code::other;
        report(options, trace, started);
        throw;
    }
    trace.statusCode = response->statusCode;
    trace.cacheResult = response->cacheResult;
    trace.bytesReceived = response->body.size();
    report(options, trace, started);
    co_return std::move(*response);
}

// Without an observer the session's own coroutine is handed on: no frame of ours in between.
asio::awaitable<HttpResponse> observedSend(const Self& self, HttpRequest request, const URL& url) {
    if (!self->options.trace) return self->session->send(std::move(request));
    return tracedSend(self, std::move(request), url);
}

// The request of one attempt, without its credentials and body: those are read per attempt.
HttpRequest requestFor(const APIClientOptions& options, const Call& call, const URL& url) {
    HttpRequest request;
    request.url = url.absoluteString();
    request.timeout = options.requestTimeout - call.waited;
    request.method = call.method;
    // Accept, User-Agent, Content-Type, Authorization
    request.headers.reserve(options.extraHeaders.size() + call.headers.size() + 4);
    request.setHeader("Accept", "application/json");
    if (!options.userAgent.empty()) request.setHeader("User-Agent", options.userAgent);
    for (const auto& [name, value] : options.extraHeaders) request.setHeader(name, value);
    for (const auto& [name, value] : call.headers) request.setHeader(name, value);
    return request;
}

// Every secret this call knows: its own, the pair it sent, and the stored pair (a backend that
// echoes what it holds could show a token this call never sent).
asio::awaitable<Redactor> secretsOf(Self self, std::vector<std::string> secrets, std::optional<AuthTokens> used) {
    Redactor redactor;
    for (const auto& secret : secrets) redactor.add(secret);
    std::optional<AuthTokens> stored = std::move(used);
    if (!stored && self->tokenStore) {
        try {
            auto loading = self->storeWorker.load();
            stored = co_await std::move(loading);
        } catch (...) {
            // Without the store the call's own secrets are still redacted.
        }
    }
    if (stored) redactor.add(stored->accessToken).add(stored->refreshToken);
    co_return redactor;
}

// Fails with the error for an answer outside 2xx; its redaction may have to read the store. The
// failure paths are coroutines of their own, so that their locals do not weigh on the frame of
// every call in flight.
asio::awaitable<void> failWithServerError(Self self, std::vector<std::string> secrets, HttpResponse response,
                                          std::optional<AuthTokens> tokensUsed) {
    std::string body = unicode::isValidUTF8(response.body) ? std::move(response.body) : std::string();
    auto redacting = secretsOf(self, std::move(secrets), std::move(tokensUsed));
    Redactor redactor = co_await std::move(redacting);
    throw APIError::server(response.statusCode, std::move(body), redactor);
}

}  // namespace

// The decoder's own words are left alone: a password that happens to be one of them must not
// show itself by their absence.
asio::awaitable<void> failRedacted(Self self, std::vector<std::string> secrets, std::exception_ptr failure) {
    auto redacting = secretsOf(self, std::move(secrets), std::nullopt);
    Redactor redactor = co_await std::move(redacting);
    try {
        std::rethrow_exception(failure);
    } catch (const DecodingError& e) {
        std::string_view text = e.debugDescription();
        for (std::string_view lead : messagesQuotingTheAnswer) {
            if (!text.starts_with(lead)) continue;
            std::string_view end = text.ends_with(unfitNumberMessageEnd) ? unfitNumberMessageEnd : "";
            std::string_view quoted = text.substr(lead.size(), text.size() - lead.size() - end.size());
            throw DecodingError(e.kind(), e.codingPath(), std::string(lead) + redactor.redact(quoted) + std::string(end));
        }
        throw;
    }
}

asio::awaitable<CallTurns::Turn> waitForTurn(Self self, Call& call) {
    const auto arrived = std::chrono::steady_clock::now();
    auto taking = self->turns.asyncTake(UseAwaitableOutOfLine{});
    CallTurns::Turn turn = co_await std::move(taking);
    const auto waited = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::steady_clock::now() - arrived);
    if (waited >= self->options.requestTimeout) {
        throw TransportError(TransportError::Code::timedOut, "the request timeout elapsed while the call waited its turn");
    }
    call.waited = waited;
    co_return turn;
}

// One coroutine for every attempt of the call, so that a call in flight holds one frame here, not
// one per layer: the request is built, the pair read, the answer checked and the 401 rule applied
// in the same place.
asio::awaitable<HttpResponse> perform(Self self, const Call& call, std::optional<std::string> body) {
    const URL url = self->baseURL.appendingPath(call.path);
    UnauthorizedRecovery recovery(call.auth);
    while (true) {
        HttpRequest request = requestFor(self->options, call, url);
        std::optional<AuthTokens> tokensUsed;
        if (call.auth != Auth::none && self->tokenStore) {
            if (self->storeWorker.callsInline()) {
                tokensUsed = self->storeWorker.loadInline();
            } else {
                auto loading = self->storeWorker.load();
                tokensUsed = co_await std::move(loading);
            }
        }
        if (call.bodyFromTokens) {
            request.body = call.bodyFromTokens(tokensUsed);
        } else if (body) {
            request.body = *body;  // a repeat after a refresh sends it again
        }
        if (request.body) request.setHeader("Content-Type", "application/json");
        if (tokensUsed) request.setHeader("Authorization", "Bearer " + tokensUsed->accessToken);
        auto sending = observedSend(self, std::move(request), url);
        HttpResponse response = co_await std::move(sending);
        if (!response.isHTTP) throw APIError::invalidResponse();
        // Whether the answer came from the backend (see UnauthorizedRecovery::answered).
        const bool fromBackend = sameOrigin(url, response.url);
        switch (recovery.answered(response.statusCode, fromBackend)) {
            case UnauthorizedRecovery::Step::deliver:
                co_return std::move(response);
            case UnauthorizedRecovery::Step::refreshThenRepeat: {
                auto refreshing = refreshForRepeat(self, call.auth, std::move(tokensUsed));
                co_await std::move(refreshing);
                continue;
            }
            case UnauthorizedRecovery::Step::failUnauthorized:
                throw APIError::unauthorized(response.statusCode);
            case UnauthorizedRecovery::Step::clearThenFailUnauthorized: {
                auto clearing = clearUnderLock(self, std::move(tokensUsed), call.auth);
                co_await std::move(clearing);
                throw APIError::unauthorized(response.statusCode);
            }
            case UnauthorizedRecovery::Step::failWithAnswer:
                break;
        }
        // Awaited for its exception only, like the decoding failure.
        auto failing = failWithServerError(self, call.secrets, std::move(response), std::move(tokensUsed));
        co_await std::move(failing);
        throw APIError::invalidResponse();  // not reached
    }
}

}  // namespace tarn::detail
