#include "tarn/api/api_client.hpp"

#include "api/curl_redirect.hpp"
#include "json/decoding_messages.hpp"
#include "api/request_bodies.hpp"
#include "api/session_lock_wait.hpp"
#include "api/token_refresh_gate.hpp"
#include "api/token_store_worker.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/json/json.hpp"
#include "tarn/text/redaction.hpp"
#include "tarn/logic/telegram_contract.hpp"
#include "tarn/platform/unicode.hpp"

#include <asio/use_awaitable.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn {

struct APIClient::Impl {
    Impl(URL base, std::shared_ptr<HttpSession> s, std::shared_ptr<TokenStore> store, APIClientOptions opts)
        : baseURL(std::move(base)),
          session(std::move(s)),
          tokenStore(store),
          storeWorker(std::move(store)),
          options(std::move(opts)) {}

    URL baseURL;
    std::shared_ptr<HttpSession> session;
    // Never called on the caller's executor: every store call goes through storeWorker.
    std::shared_ptr<TokenStore> tokenStore;
    detail::TokenStoreWorker storeWorker;
    const APIClientOptions options;
    JSONDecoder decoder = JSONDecoder::tarn();
    JSONEncoder encoder = JSONEncoder::tarn();
    detail::TokenRefreshGate refreshGate;
};

namespace {

using Self = std::shared_ptr<APIClient::Impl>;

// Inside coroutines every call is first bound to a named awaitable and then awaited: g++ 12
// mishandles temporaries (braced lists, aggregates, converted lambdas) that appear in the same
// full-expression as a co_await, destroying them twice.
using namespace std::chrono_literals;

// What one operation asks of the pipeline. The body is already encoded, so an encoding failure
// ends the call before the token store is read or anything is sent.
struct Call {
    std::string path;
    std::string method;
    std::optional<std::string> body;
    bool authorized = false;
    HttpHeaders headers;
    // Builds the body from the pair read for this very exchange, so that a repeat after a refresh
    // carries what the store holds by then: the sign-out must name the current refresh token.
    std::function<std::string(const std::optional<AuthTokens>&)> bodyFromTokens;
    // What the call sends that no error text may show: a password, a session secret, the
    // refresh token in a body. The tokens of the Authorization header are added per attempt.
    std::vector<std::string> secrets;
};

struct Exchange {
    HttpResponse response;
    std::optional<AuthTokens> tokensUsed;
    // False when a redirect took the request to another origin and that origin answered: its
    // 401 says nothing about our tokens.
    bool fromBackend = true;
};

bool sameOrigin(const std::string& requestURL, const std::string& answeredURL) {
    if (answeredURL.empty() || answeredURL == requestURL) return true;
    auto requested = detail::httpOrigin(requestURL);
    auto answered = detail::httpOrigin(answeredURL);
    return requested && answered && *requested == *answered;
}

// A token that cannot travel in a header would be stored and then break every later call with a
// malformed-header failure that no refresh can cure, so such an answer is refused as a whole.
bool isSendableToken(std::string_view token) {
    return std::none_of(token.begin(), token.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

void requireSendableTokens(const AuthResponse& answer) {
    if (!isSendableToken(answer.accessToken) || !isSendableToken(answer.refreshToken)) {
        throw APIError::invalidResponse();
    }
}

bool isUnauthorized(const APIError& e) {
    return e.kind() == APIError::Kind::unauthorized ||
           (e.kind() == APIError::Kind::server && e.statusCode() == 401);
}

// Clears the store unless it now holds another pair than the one the failed call used: the app and
// another process (tarnctl) may share one item, and wiping freshly rotated tokens would sign the
// user out for nothing. Called with the store's session lock held, so that nobody who takes turns
// on it saves between the look and the clear; the look and the clear are one job on the worker,
// so that no call of this client comes in between either.
asio::awaitable<void> clearIfUnchanged(Self self, std::optional<AuthTokens> used) {
    if (!self->tokenStore) co_return;
    auto clearing = self->storeWorker.run([&used](TokenStore& store) {
        std::optional<AuthTokens> current;
        try {
            current = store.loadTokens();
        } catch (...) {
            store.clear();
            return;
        }
        if (current == used || !current) store.clear();
    });
    try {
        co_await std::move(clearing);
    } catch (...) {
        // A failing clear is ignored: the call fails with `unauthorized` either way.
    }
    // Whatever the store now holds, the refused pair's answers are of no use to anyone.
    self->session->clearCache();
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

asio::awaitable<Exchange> sendOnce(Self self, const Call& call) {
    const APIClientOptions& options = self->options;
    const URL url = self->baseURL.appendingPath(call.path);
    HttpRequest request;
    request.url = url.absoluteString();
    request.timeout = options.requestTimeout;
    request.method = call.method;
    // Accept, User-Agent, Content-Type, Authorization
    request.headers.reserve(options.extraHeaders.size() + call.headers.size() + 4);
    request.setHeader("Accept", "application/json");
    if (!options.userAgent.empty()) request.setHeader("User-Agent", options.userAgent);
    for (const auto& [name, value] : options.extraHeaders) request.setHeader(name, value);
    for (const auto& [name, value] : call.headers) request.setHeader(name, value);
    Exchange exchange;
    if (call.authorized && self->tokenStore) {
        if (self->storeWorker.callsInline()) {
            exchange.tokensUsed = self->storeWorker.loadInline();
        } else {
            auto loading = self->storeWorker.load();
            exchange.tokensUsed = co_await std::move(loading);
        }
    }
    std::optional<std::string> body = call.bodyFromTokens ? call.bodyFromTokens(exchange.tokensUsed) : call.body;
    if (body) {
        request.body = std::move(*body);
        request.setHeader("Content-Type", "application/json");
    }
    if (exchange.tokensUsed) request.setHeader("Authorization", "Bearer " + exchange.tokensUsed->accessToken);
    auto sending = observedSend(self, std::move(request), url);
    exchange.response = co_await std::move(sending);
    if (!exchange.response.isHTTP) throw APIError::invalidResponse();
    exchange.fromBackend = sameOrigin(url.absoluteString(), exchange.response.url);
    co_return exchange;
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

bool isSuccess(const HttpResponse& response) { return response.statusCode >= 200 && response.statusCode <= 299; }

// Fails with the error for an answer outside 2xx; its redaction may have to read the store. The
// failure paths are coroutines of their own, so that their locals do not weigh on the frame of
// every call in flight.
asio::awaitable<void> failWithServerError(Self self, std::vector<std::string> secrets, Exchange exchange) {
    HttpResponse& response = exchange.response;
    std::string body = unicode::isValidUTF8(response.body) ? std::move(response.body) : std::string();
    auto redacting = secretsOf(self, std::move(secrets), std::move(exchange.tokensUsed));
    Redactor redactor = co_await std::move(redacting);
    throw APIError::server(response.statusCode, std::move(body), redactor);
}

// Rethrows a DecodingError with the call's secrets taken out of the text of the answer its
// description quotes (the answer may echo what the call sent). The decoder's own words are left
// alone: a password that happens to be one of them must not show itself by their absence.
asio::awaitable<void> failRedacted(Self self, std::vector<std::string> secrets, std::exception_ptr failure) {
    auto redacting = secretsOf(self, std::move(secrets), std::nullopt);
    Redactor redactor = co_await std::move(redacting);
    try {
        std::rethrow_exception(failure);
    } catch (const DecodingError& e) {
        std::string_view text = e.debugDescription();
        for (std::string_view lead : tarn::detail::messagesQuotingTheAnswer) {
            if (!text.starts_with(lead)) continue;
            std::string_view end = text.ends_with(tarn::detail::unfitNumberMessageEnd) ? tarn::detail::unfitNumberMessageEnd : "";
            std::string_view quoted = text.substr(lead.size(), text.size() - lead.size() - end.size());
            throw DecodingError(e.kind(), e.codingPath(), std::string(lead) + redactor.redact(quoted) + std::string(end));
        }
        throw;
    }
}

asio::awaitable<void> refreshTokens(Self self, std::optional<AuthTokens> refused);
asio::awaitable<void> refreshLocked(Self self, std::optional<AuthTokens> refused);

// Compare-and-clear under the session lock; `sessionLocked` when the caller holds it already.
asio::awaitable<void> clearUnderLock(Self self, std::optional<AuthTokens> used, bool sessionLocked) {
    if (!self->tokenStore) co_return;
    std::unique_ptr<SessionLock> lock;
    if (!sessionLocked) {
        try {
            auto locking = detail::lockSession(self->storeWorker);
            lock = co_await std::move(locking);
        } catch (...) {
            // Without the lock nothing is wiped: another process may be saving a fresh pair.
            co_return;
        }
    }
    auto clearing = clearIfUnchanged(self, std::move(used));
    co_await std::move(clearing);
}

asio::awaitable<void> refreshForRepeat(Self self, const Call& call, std::optional<AuthTokens> refused,
                                       bool retryAfterRefresh, bool sessionLocked);

// Sends a call and applies the 401 rules: one shared refresh, then one repeat with the stored
// pair. `sessionLocked`: the caller holds the store's session lock for the whole call (the
// sign-out), so its refresh runs here under that lock instead of in the gate, where it would wait
// for the lock its own caller holds.
asio::awaitable<HttpResponse> perform(Self self, Call call, bool retryAfterRefresh, bool sessionLocked = false) {
    Exchange exchange = co_await sendOnce(self, call);
    if (isSuccess(exchange.response)) co_return std::move(exchange.response);
    if (exchange.response.statusCode == 401 && exchange.fromBackend) {
        auto refreshing = refreshForRepeat(self, call, std::move(exchange.tokensUsed), retryAfterRefresh, sessionLocked);
        co_await std::move(refreshing);
        // The repeat takes the first exchange's place, so that a frame holds one exchange.
        auto repeating = sendOnce(self, call);
        exchange = co_await std::move(repeating);
        if (exchange.response.statusCode == 401 && exchange.fromBackend) {
            auto clearing = clearUnderLock(self, std::move(exchange.tokensUsed), sessionLocked);
            co_await std::move(clearing);
            throw APIError::unauthorized();
        }
        if (isSuccess(exchange.response)) co_return std::move(exchange.response);
    }
    // Awaited for its exception only, like the decoding failure below.
    auto failing = failWithServerError(self, call.secrets, std::move(exchange));
    co_await std::move(failing);
    throw APIError::invalidResponse();  // not reached
}

// The refresh that a 401 calls for, shared with every concurrent caller, or the `unauthorized`
// failure when the call may not repeat or the refresh was refused.
asio::awaitable<void> refreshForRepeat(Self self, const Call& call, std::optional<AuthTokens> refused,
                                       bool retryAfterRefresh, bool sessionLocked) {
    if (!(call.authorized && retryAfterRefresh)) throw APIError::unauthorized();

    try {
        if (sessionLocked) {
            auto refreshing = refreshLocked(self, refused);
            co_await std::move(refreshing);
        } else {
            // The task keeps the client's state alive until it ends, even if every caller goes away.
            auto refreshing = self->refreshGate.run([self, refused]() { return refreshTokens(self, refused); });
            co_await std::move(refreshing);
        }
    } catch (const APIError& e) {
        // The refresh has already cleared the store if it still held the refused pair.
        if (isUnauthorized(e)) throw APIError::unauthorized();
        throw;
    }
}

// The one place a request is assembled: encodes the body (so an encoding failure ends the call
// before the token store is read or anything is sent), runs the pipeline and decodes the answer.
// It is a coroutine, so every failure reaches the caller through the awaitable.
template <class Response, class Body = EmptyBody>
asio::awaitable<Response> request(Self self, std::string method, std::string path, std::optional<Body> body,
                                  bool authorized, HttpHeaders headers = {}, bool retryAfterRefresh = true,
                                  std::vector<std::string> secrets = {}) {
    Call call{std::move(path), std::move(method), std::nullopt, authorized, std::move(headers), {}, secrets};
    if (body) call.body = self->encoder.encode(*body);
    auto performing = perform(self, std::move(call), retryAfterRefresh);
    HttpResponse response = co_await std::move(performing);
    if constexpr (std::is_same_v<Response, EmptyBody>) {
        if (response.body.empty()) co_return EmptyBody{};
    }
    std::exception_ptr undecodable;
    try {
        co_return self->decoder.decode<Response>(response.body);
    } catch (const DecodingError&) {
        undecodable = std::current_exception();
    }
    // Awaited for its exception only: a result of type Response would take room in every frame.
    auto failing = failRedacted(self, std::move(secrets), undecodable);
    co_await std::move(failing);
    std::rethrow_exception(undecodable);  // not reached
}

template <class Response>
asio::awaitable<Response> get(Self self, std::string path, bool authorized = true) {
    return request<Response>(std::move(self), "GET", std::move(path), std::optional<EmptyBody>{}, authorized);
}

template <class Response, class Body>
asio::awaitable<Response> send(Self self, std::string method, std::string path, Body body, bool authorized = true,
                               std::vector<std::string> secrets = {}) {
    return request<Response, Body>(std::move(self), std::move(method), std::move(path), std::move(body), authorized, {},
                                   true, std::move(secrets));
}

asio::awaitable<void> discard(asio::awaitable<EmptyBody> call) { (void)co_await std::move(call); }

// Compare-and-save: the refreshed pair replaces only the pair it was made from. A pair saved
// meanwhile by a sign-in stays; an emptied store means a sign-out came first, and it wins.
asio::awaitable<void> saveIfUnchanged(Self self, AuthTokens used, AuthTokens renewed) {
    auto saving = self->storeWorker.run([&used, &renewed](TokenStore& store) {
        std::optional<AuthTokens> now;
        try {
            now = store.loadTokens();
        } catch (...) {
            // The old refresh token is spent: losing the new pair would sign the user out.
            store.save(renewed);
            return;
        }
        if (now == used) {
            store.save(renewed);
        } else if (!now) {
            throw APIError::unauthorized();
        }
    });
    co_await std::move(saving);
}

// Runs with the store's session lock held by this task, so that of all the processes sharing the
// store only one spends a refresh token at a time.
asio::awaitable<void> refreshLocked(Self self, std::optional<AuthTokens> refused) {
    if (!self->tokenStore) throw APIError::unauthorized();
    auto loading = self->storeWorker.load();
    std::optional<AuthTokens> tokens = co_await std::move(loading);
    // Another process, or an earlier refresh here, renewed the pair after the call read it: the
    // repeat uses the stored pair, and its refresh token is not spent a second time.
    if (tokens && tokens != refused) co_return;
    std::optional<AuthResponse> answer;
    std::exception_ptr rejected;  // the refresh token was refused: cleared before the error goes on
    if (tokens && !tokens->refreshToken.empty()) {
        try {
            auto refreshing = request<AuthResponse>(self, "POST", "auth/refresh",
                                                    std::optional{detail::RefreshBody{tokens->refreshToken}}, false,
                                                    {}, false, {tokens->refreshToken, tokens->accessToken});
            answer = co_await std::move(refreshing);
        } catch (const APIError& e) {
            if (!isUnauthorized(e)) throw;
            rejected = std::current_exception();
        }
    }
    if (!answer) {
        // No refresh token, or one the backend refused: the pair is of no use any more.
        auto clearing = clearIfUnchanged(self, tokens);
        co_await std::move(clearing);
        if (rejected) std::rethrow_exception(rejected);
        throw APIError::unauthorized();
    }
    requireSendableTokens(*answer);
    auto saving = saveIfUnchanged(self, *tokens, AuthTokens{answer->accessToken, answer->refreshToken});
    co_await std::move(saving);
}


asio::awaitable<void> refreshTokens(Self self, std::optional<AuthTokens> refused) {
    if (!self->tokenStore) throw APIError::unauthorized();
    auto locking = detail::lockSession(self->storeWorker);
    std::unique_ptr<SessionLock> lock = co_await std::move(locking);
    auto refreshing = refreshLocked(self, std::move(refused));
    co_await std::move(refreshing);
}

template <class Body>
asio::awaitable<AuthResponse> signIn(Self self, std::string path, Body body, std::vector<std::string> secrets) {
    auto signingIn = send<AuthResponse>(self, "POST", std::move(path), std::move(body), false, std::move(secrets));
    AuthResponse answer = co_await std::move(signingIn);
    requireSendableTokens(answer);
    // Another account may be signing in: nothing stored for the one before may reach it.
    self->session->clearCache();
    if (self->tokenStore) {
        auto saving = self->storeWorker.save(AuthTokens{answer.accessToken, answer.refreshToken});
        co_await std::move(saving);
    }
    co_return answer;
}

// The Telegram checks run before anything is built or sent; the secret goes only into a header.
bool isValidTelegramSession(const std::string& id, const std::string& secret) {
    return TelegramAuthContract::isValidSessionID(id) && TelegramAuthContract::isValidSessionSecret(secret);
}

asio::awaitable<TelegramSessionStatus> telegramStatusImpl(Self self, std::string id, std::string secret) {
    if (!isValidTelegramSession(id, secret)) throw APIError::invalidResponse();
    auto polling = request<TelegramSessionStatus>(self, "GET", "auth/telegram/session/" + id, std::optional<EmptyBody>{},
                                                  false, HttpHeaders{{"X-Tarn-Auth-Session-Secret", secret}}, true,
                                                  {secret});
    co_return co_await std::move(polling);
}

asio::awaitable<AuthResponse> verifyTelegramImpl(Self self, std::string id, std::string secret, std::string code) {
    if (!isValidTelegramSession(id, secret)) throw APIError::invalidResponse();
    std::optional<std::string> normalized = TelegramAuthContract::normalizedUserCode(code);
    if (!normalized) throw APIError::invalidResponse();
    auto verifying = request<AuthResponse>(self, "POST", "auth/telegram/session/" + id + "/verify",
                                           std::optional{TelegramSessionVerificationRequest{*normalized}}, false,
                                           HttpHeaders{{"X-Tarn-Auth-Session-Secret", secret}}, true, {secret});
    AuthResponse answer = co_await std::move(verifying);
    // Not stored here, but the caller stores it next: the stored answers may be another account's.
    requireSendableTokens(answer);
    self->session->clearCache();
    co_return answer;
}

asio::awaitable<OAuthSessionStatus> oauthStatusImpl(Self self, std::string id) {
    // A confirmed session's answer carries the token pair: no cache may keep it, whatever
    // validators the backend sends with it.
    auto polling = request<OAuthSessionStatus>(self, "GET", "auth/oauth/session/" + id, std::optional<EmptyBody>{},
                                               false, HttpHeaders{{"Cache-Control", "no-store"}});
    OAuthSessionStatus status = co_await std::move(polling);
    if (status.auth) {
        requireSendableTokens(*status.auth);
        self->session->clearCache();
    }
    co_return status;
}

asio::awaitable<void> logoutImpl(Self self) {
    // Held from reading the refresh token to clearing the store: a refresh in flight elsewhere
    // ends first, so the backend is told the refresh token that is current, and no refresh saves
    // its pair after the clear.
    std::unique_ptr<SessionLock> lock;
    if (self->tokenStore) {
        try {
            auto locking = detail::lockSession(self->storeWorker);
            lock = co_await std::move(locking);
        } catch (...) {
            // Signing out must not fail: without the lock it goes on as a lone process would.
        }
    }
    Call call{"auth/logout", "POST", std::nullopt, true, {}, {}, {}};
    call.bodyFromTokens = [self](const std::optional<AuthTokens>& tokens) {
        return self->encoder.encode(LogoutRequest{tokens ? std::optional(tokens->refreshToken) : std::nullopt});
    };
    try {
        auto signingOut = perform(self, std::move(call), true, self->tokenStore != nullptr);
        (void)co_await std::move(signingOut);
    } catch (...) {
        // Signing out locally must work whatever the backend or the network says.
    }
    self->session->clearCache();
    if (self->tokenStore) {
        try {
            auto clearing = self->storeWorker.clear();
            co_await std::move(clearing);
        } catch (...) {
        }
    }
}

asio::awaitable<void> deleteAccountImpl(Self self, std::string deviceID) {
    auto deleting = send<EmptyBody>(self, "DELETE", "me", detail::DeviceIDBody{std::move(deviceID)});
    (void)co_await std::move(deleting);
    self->session->clearCache();
    if (self->tokenStore) {
        try {
            auto clearing = self->storeWorker.clear();
            co_await std::move(clearing);
        } catch (...) {
        }
    }
}

}  // namespace

namespace {

bool isHeaderToken(std::string_view name) {
    constexpr std::string_view symbols = "!#$%&'*+-.^_`|~";
    return !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || symbols.find(c) != std::string_view::npos;
    });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The headers the client or the transport sets itself: replacing them would send credentials
// elsewhere, break the framing of the body or the meaning of a request.
constexpr std::string_view reservedHeaders[] = {
    "Authorization",     "Proxy-Authorization", "Cookie", "Content-Type", "Content-Length",
    "Transfer-Encoding", "Host",                "Connection", "X-Tarn-Auth-Session-Secret",
    "X-Tarn-Auth-Session-Secret-Version",
};

// The messages name the header, never its value: a value may be a credential of its own.
void checkOptions(const APIClientOptions& options) {
    if (options.requestTimeout <= std::chrono::milliseconds::zero()) {
        throw std::invalid_argument("APIClientOptions: requestTimeout must be positive");
    }
    auto breaksTheHeaderLine = [](std::string_view text) {
        return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
    };
    if (breaksTheHeaderLine(options.userAgent)) {
        throw std::invalid_argument("APIClientOptions: the User-Agent contains CR, LF or NUL");
    }
    for (const auto& [name, value] : options.extraHeaders) {
        if (!isHeaderToken(name)) {
            throw std::invalid_argument("APIClientOptions: \"" + escapingControlCharacters(name) +
                                        "\" is not a valid header name");
        }
        for (std::string_view reserved : reservedHeaders) {
            if (equalsIgnoringCase(name, reserved)) {
                throw std::invalid_argument("APIClientOptions: the client sets " + std::string(reserved) +
                                            " itself; it cannot be an extra header");
            }
        }
        if (breaksTheHeaderLine(value)) {
            throw std::invalid_argument("APIClientOptions: the value of " + name + " contains CR, LF or NUL");
        }
    }
}

}  // namespace

std::string APIClientOptions::defaultUserAgent() { return std::string("tarn-vpn-core/") + TARN_VERSION; }

APIClient::APIClient(URL baseURL, std::shared_ptr<HttpSession> session, std::shared_ptr<TokenStore> tokenStore,
                     APIClientOptions options) {
    if (!isUsableBaseURL(baseURL, options)) throw APIError::invalidBaseURL();
    checkOptions(options);
    impl_ = std::make_shared<Impl>(std::move(baseURL), std::move(session), std::move(tokenStore), std::move(options));
}

asio::any_io_executor APIClient::sessionExecutor() const { return impl_->session->executor(); }

bool APIClient::isLoopbackHost(std::string_view host) {
    std::string lower(host);
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!lower.empty() && lower.back() == '.') lower.pop_back();  // "localhost." is the same name
    // Resolvers and libcurl answer "localhost" and its subdomains with loopback addresses without
    // asking DNS, so no network can redirect them.
    constexpr std::string_view local = "localhost", dotLocal = ".localhost";
    if (lower == local || (lower.size() > dotLocal.size() && lower.ends_with(dotLocal))) return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, lower.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, lower.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

bool APIClient::isUsableBaseURL(const URL& baseURL, const APIClientOptions& options) {
    auto scheme = baseURL.scheme();
    auto host = baseURL.host();
    if (!scheme || !host || host->empty()) return false;
    std::string lowerScheme = *scheme;
    for (auto& c : lowerScheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowerScheme != "https" && lowerScheme != "http") return false;
    if (baseURL.user()) return false;  // "user@", "user:secret@" and even a bare "@"
    return lowerScheme == "https" || options.allowPlainHTTP || isLoopbackHost(*host);
}

const URL& APIClient::baseURL() const { return impl_->baseURL; }

// Every operation hands a copy of impl_ to a coroutine, so the call owns what it needs even if
// this APIClient is destroyed while the call is suspended, and every failure (bad input included)
// surfaces when the operation is awaited.

asio::awaitable<AuthResponse> APIClient::loginOp(std::string email, std::string password) const {
    std::vector<std::string> secrets{password};
    return signIn(impl_, "auth/login", detail::PasswordLoginBody{std::move(email), std::move(password)},
                  std::move(secrets));
}

asio::awaitable<AuthResponse> APIClient::registerAccountOp(std::string email, std::string password,
                                                           std::optional<std::string> name, bool acceptedTerms,
                                                           bool acceptedPersonalDataProcessing) const {
    std::vector<std::string> secrets{password};
    return signIn(impl_, "auth/register",
                  RegisterRequest{std::move(email), std::move(password), std::move(name), acceptedTerms,
                                  acceptedPersonalDataProcessing},
                  std::move(secrets));
}

asio::awaitable<EmailCodeChallenge> APIClient::requestEmailCodeOp(std::string email, std::string deviceID,
                                                                  std::string platform) const {
    EmailCodeRequest body{unicode::lowercased(unicode::trimmingWhitespaceAndNewlines(email)), std::move(platform),
                          std::move(deviceID)};
    return send<EmailCodeChallenge>(impl_, "POST", "api/v1/auth/email/request-code", std::move(body), false);
}

asio::awaitable<AuthResponse> APIClient::verifyEmailCodeOp(std::string challengeID, std::string code,
                                                           bool acceptedTerms,
                                                           bool acceptedPersonalDataProcessing) const {
    std::string digits = unicode::keepingNumerics(code);
    std::vector<std::string> secrets{digits};
    return signIn(impl_, "api/v1/auth/email/verify-code",
                  EmailCodeVerificationRequest{std::move(challengeID), std::move(digits), acceptedTerms,
                                               acceptedPersonalDataProcessing},
                  std::move(secrets));
}

asio::awaitable<AuthResponse> APIClient::loginWithAppleOp(std::string identityToken,
                                                          std::optional<std::string> authorizationCode,
                                                          std::optional<std::string> name, std::string deviceID) const {
    std::vector<std::string> secrets{identityToken, authorizationCode.value_or("")};
    return signIn(impl_, "auth/apple",
                  AppleAuthRequest{std::move(identityToken), std::move(authorizationCode), std::move(name),
                                   std::move(deviceID)},
                  std::move(secrets));
}

asio::awaitable<TelegramAuthSession> APIClient::createTelegramSessionOp(std::string deviceID) const {
    return request<TelegramAuthSession>(
        impl_, "POST", "auth/telegram/session", std::optional{TelegramAuthSessionRequest{std::move(deviceID)}}, false,
        HttpHeaders{{"X-Tarn-Auth-Session-Secret-Version", std::to_string(TelegramAuthContract::flowVersion)}});
}

asio::awaitable<TelegramSessionStatus> APIClient::telegramSessionStatusOp(std::string id, std::string secret) const {
    return telegramStatusImpl(impl_, std::move(id), std::move(secret));
}

asio::awaitable<AuthResponse> APIClient::verifyTelegramSessionOp(std::string id, std::string secret,
                                                                 std::string code) const {
    return verifyTelegramImpl(impl_, std::move(id), std::move(secret), std::move(code));
}

asio::awaitable<OAuthAuthSession> APIClient::createOAuthSessionOp(OAuthProvider provider, std::string deviceID) const {
    return send<OAuthAuthSession>(impl_, "POST", "auth/oauth/session",
                                  OAuthSessionRequest{std::string(rawValue(provider)), std::move(deviceID), "ios"},
                                  false);
}

asio::awaitable<OAuthSessionStatus> APIClient::oauthSessionStatusOp(std::string id) const {
    return oauthStatusImpl(impl_, std::move(id));
}

asio::awaitable<void> APIClient::logoutOp() const { return logoutImpl(impl_); }

asio::awaitable<void> APIClient::deleteAccountOp(std::string deviceID) const {
    return deleteAccountImpl(impl_, std::move(deviceID));
}

asio::awaitable<CRMUser> APIClient::meOp() const { return get<CRMUser>(impl_, "me"); }

asio::awaitable<UserSyncResponse> APIClient::syncUserOp(UserSyncRequest request) const {
    return send<UserSyncResponse>(impl_, "POST", "users/sync", std::move(request));
}

asio::awaitable<CRMUser> APIClient::subscriptionStatusOp() const { return get<CRMUser>(impl_, "subscription/status"); }

asio::awaitable<AccountDevicesResponse> APIClient::accountDevicesOp() const {
    return get<AccountDevicesResponse>(impl_, "devices");
}

asio::awaitable<AccountDeviceRemovalResponse> APIClient::removeAccountDeviceOp(std::int64_t id) const {
    return request<AccountDeviceRemovalResponse>(impl_, "DELETE", "devices/" + std::to_string(id),
                                                 std::optional<EmptyBody>{}, true);
}

asio::awaitable<UserSyncResponse> APIClient::verifyAppleTransactionOp(AppleTransactionPayload payload) const {
    return send<UserSyncResponse>(impl_, "POST", "billing/apple/verify", std::move(payload));
}

asio::awaitable<BillingCatalog> APIClient::billingCatalogOp() const {
    return get<BillingCatalog>(impl_, "billing/catalog");
}

asio::awaitable<BillingCheckoutResponse> APIClient::createBillingCheckoutOp(BillingCheckoutRequest request) const {
    return send<BillingCheckoutResponse>(impl_, "POST", "billing/checkout", std::move(request));
}

asio::awaitable<std::vector<VPNServer>> APIClient::serversOp() const {
    return get<std::vector<VPNServer>>(impl_, "vpn/servers");
}

asio::awaitable<VLESSConfig> APIClient::vpnConfigOp(std::string serverID, std::string deviceID,
                                                    std::string platform) const {
    return send<VLESSConfig>(impl_, "POST", "vpn/config",
                             detail::VPNConfigBody{std::move(serverID), std::move(deviceID), "vless", std::move(platform)});
}

asio::awaitable<void> APIClient::revokeVPNOp(std::string deviceID) const {
    return discard(send<EmptyBody>(impl_, "POST", "vpn/revoke", detail::DeviceIDBody{std::move(deviceID)}));
}

asio::awaitable<void> APIClient::recordAppEventOp(AppEventPayload payload) const {
    return discard(send<EmptyBody>(impl_, "POST", "app/events", std::move(payload)));
}

asio::awaitable<void> APIClient::recordAnonymousAppEventOp(AppEventPayload payload) const {
    return discard(send<EmptyBody>(impl_, "POST", "app/events/anonymous", std::move(payload), false));
}

asio::awaitable<void> APIClient::registerPushTokenOp(PushTokenRequest request) const {
    return discard(send<EmptyBody>(impl_, "POST", "app/push-token", std::move(request)));
}

asio::awaitable<void> APIClient::deletePushTokenOp(PushTokenRequest request) const {
    return discard(send<EmptyBody>(impl_, "DELETE", "app/push-token", std::move(request)));
}

asio::awaitable<IOSAppRelease> APIClient::appReleaseOp() const {
    return get<IOSAppRelease>(impl_, "app/ios/release", false);
}

}  // namespace tarn
