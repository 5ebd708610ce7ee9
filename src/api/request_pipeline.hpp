// The request pipeline of APIClient: one call described by named fields goes out with the
// client's headers and the stored access token, is traced, meets the 401 rules
// (refresh_state_machine.hpp) and comes back decoded; failures carry texts with the call's
// secrets taken out. The operation bindings are one `request` each.
#pragma once

#include "api/client_impl.hpp"
#include "api/refresh_state_machine.hpp"
#include "tarn/api/http.hpp"
#include "tarn/json/json.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn::detail {

// Inside coroutines every call is first bound to a named awaitable and then awaited: g++ 12
// mishandles temporaries (braced lists, aggregates, converted lambdas) that appear in the same
// full-expression as a co_await, destroying them twice.

/// A request body, encoded as the call is described. An encoding failure is kept and rethrown
/// when the call is awaited, before the token store is read or anything is sent.
class EncodedBody {
public:
    EncodedBody() = default;
    template <class Body>
        requires(!std::is_same_v<std::decay_t<Body>, EncodedBody>)
    EncodedBody(const Body& body) {  // NOLINT(google-explicit-constructor): `.body = record`
        try {
            text_ = JSONEncoder::tarn().encode(body);
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    /// The JSON text; nullopt for a call without a body. Throws what the encoding threw.
    std::optional<std::string> take() {
        if (failure_) std::rethrow_exception(failure_);
        return std::move(text_);
    }

private:
    std::optional<std::string> text_;
    std::exception_ptr failure_;
};

/// What one operation asks of the pipeline.
struct Call {
    std::string method{};
    std::string path{};  // relative to the base URL
    EncodedBody body{};
    Auth auth = Auth::none;
    HttpHeaders headers{};
    /// What the call sends that no error text may show: a password, a session secret, the
    /// refresh token in a body. The tokens of the Authorization header are added per attempt.
    std::vector<std::string> secrets{};
    /// Builds the body from the pair read for this very exchange, so that a repeat after a refresh
    /// carries what the store holds by then: the sign-out must name the current refresh token.
    /// Takes the place of `body`.
    std::function<std::string(const std::optional<AuthTokens>&)> bodyFromTokens{};
    /// Whether the call waits for a turn among the client's calls in flight (CallTurns). The
    /// refresh does not: the calls holding the turns may be waiting for it.
    bool waitsForTurn = true;
    /// How long it waited; taken off the timeout of each of its exchanges.
    std::chrono::milliseconds waited{0};
};

/// Sends the call (with its body already taken out of `body`) and applies the 401 rules. `call`
/// must stay alive until the awaitable ends.
asio::awaitable<HttpResponse> perform(Self self, const Call& call, std::optional<std::string> body);

/// Rethrows the DecodingError `failure` with the call's secrets (and the stored pair) taken out of
/// the quoted answer.
asio::awaitable<void> failRedacted(Self self, std::vector<std::string> secrets, std::exception_ptr failure);

/// Waits for a turn for `call` and notes in it how long that took; fails with timedOut when the
/// wait used up the request timeout.
asio::awaitable<CallTurns::Turn> waitForTurn(Self self, Call& call);

/// The one place a request is assembled: takes a turn, runs the pipeline and decodes the answer.
/// It is a coroutine, so every failure reaches the caller through the awaitable.
template <class Response>
asio::awaitable<Response> request(Self self, Call call) {
    CallTurns::Turn turn;
    if (call.waitsForTurn) {
        turn = self->turns.tryTake();
        if (!turn) {
            // A coroutine of its own, so that what waiting needs is not kept in every call's frame.
            auto waiting = waitForTurn(self, call);
            turn = co_await std::move(waiting);
        }
    }
    std::optional<std::string> body = call.body.take();
    auto performing = perform(self, call, std::move(body));
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
    auto failing = failRedacted(self, std::move(call.secrets), undecodable);
    co_await std::move(failing);
    std::rethrow_exception(undecodable);  // not reached
}

template <class Response>
asio::awaitable<Response> get(Self self, std::string path, Auth auth = Auth::bearer) {
    return request<Response>(std::move(self), {.method = "GET", .path = std::move(path), .auth = auth});
}

template <class Response, class Body>
asio::awaitable<Response> send(Self self, std::string method, std::string path, const Body& body,
                               Auth auth = Auth::bearer, std::vector<std::string> secrets = {}) {
    return request<Response>(std::move(self), {.method = std::move(method),
                                               .path = std::move(path),
                                               .body = body,
                                               .auth = auth,
                                               .secrets = std::move(secrets)});
}

inline asio::awaitable<void> discard(asio::awaitable<EmptyBody> call) { (void)co_await std::move(call); }

}  // namespace tarn::detail
