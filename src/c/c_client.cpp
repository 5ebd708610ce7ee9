// The client handle behind tarn_client: an APIClient with an io_context run by a thread of its
// own (OwnedIOClient). Each call is a coroutine spawned on that io_context; its outcome is
// encoded as JSON and handed to the caller's callback there.
#include "c_errors.hpp"
#include "c_operations.hpp"
#include "c_storage.hpp"

#include "api/call_bounds.hpp"
#include "api/owned_io_client.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/json/json_codec.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>

#include <cxxabi.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

// The options of tarn_client_create_json, decoded by the library's own codec so that a bad type or
// a missing member is reported exactly as in a response.
namespace tarn::capi {

struct ClientOptionsJSON {
    std::string baseURL;
    std::optional<bool> allowPlainHTTP;
    std::optional<std::string> caFile;
    std::optional<std::string> pinnedPublicKey;
    std::optional<std::string> proxy;
    std::optional<std::string> userAgent;
    std::optional<std::int64_t> connectTimeoutMs;
    std::optional<std::int64_t> requestTimeoutMs;
    std::optional<std::int64_t> maxCallsInFlight;
};

}  // namespace tarn::capi

namespace tarn {
template <>
inline constexpr auto json::members<capi::ClientOptionsJSON> = std::tuple{
    json::member("base_url", &capi::ClientOptionsJSON::baseURL),
    json::member("allow_plain_http", &capi::ClientOptionsJSON::allowPlainHTTP),
    json::member("ca_file", &capi::ClientOptionsJSON::caFile),
    json::member("pinned_public_key", &capi::ClientOptionsJSON::pinnedPublicKey),
    json::member("proxy", &capi::ClientOptionsJSON::proxy),
    json::member("user_agent", &capi::ClientOptionsJSON::userAgent),
    json::member("connect_timeout_ms", &capi::ClientOptionsJSON::connectTimeoutMs),
    json::member("request_timeout_ms", &capi::ClientOptionsJSON::requestTimeoutMs),
    json::member("max_calls_in_flight", &capi::ClientOptionsJSON::maxCallsInFlight)};
}  // namespace tarn

TARN_JSON_DECODABLE(tarn::capi::ClientOptionsJSON);

namespace tarn::capi {
namespace {

struct Core;

struct CallState {
    CallState(tarn_callback cb, void* ud, std::weak_ptr<Core> c) : callback(cb), userData(ud), core(std::move(c)) {}
    tarn_callback callback;
    void* userData;
    std::weak_ptr<Core> core;
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> finished{false};
    // The call's own timeout, from when it was started; none: only the client's request timeout.
    std::optional<detail::CallBounds::Clock::time_point> deadline;
    // Used on the I/O thread only: the coroutine's slot is bound there and emitted there, until
    // the coroutine has ended (its outcome then waits for its callback in a handler of its own).
    detail::CallBounds bounds;
};

struct Core : std::enable_shared_from_this<Core> {
    Core(URL baseURL, std::shared_ptr<TokenStore> tokens, APIClientOptions options, CurlSessionConfig config)
        : client(std::move(baseURL), std::move(tokens), std::move(options), std::move(config)) {}

    detail::OwnedIOClient client;

    std::mutex mutex;
    bool closing = false;
    std::unordered_set<std::shared_ptr<CallState>> inflight;

    // Not noexcept: a callback may end its thread (see the catch below), and that unwind must
    // pass through here. A forced unwind has no exception object, so the reference its catch
    // binds is null: UBSan's null check would call that a fault (also where this is inlined).
    __attribute__((noinline, no_sanitize("null"))) void complete(const std::shared_ptr<CallState>& state,
                                                                 std::exception_ptr error, Reply reply);
    void start(std::shared_ptr<CallState> state, std::optional<Operation> operation, std::exception_ptr early);
    void requestCancel(const std::shared_ptr<CallState>& state);
    void shutDown();
};

void Core::complete(const std::shared_ptr<CallState>& state, std::exception_ptr error, Reply reply) {
    if (state->finished.exchange(true)) return;
    {
        std::lock_guard lock(mutex);
        inflight.erase(state);
    }
    // A cancel that came in before the outcome wins, whatever the outcome was: the caller asked
    // to hear no more of this call.
    if (state->cancelRequested.load()) error = std::make_exception_ptr(Cancelled());
    ErrorInfo info = describe(error);
    tarn_result result{};
    result.kind = info.kind;
    result.http_status = info.httpStatus;
    result.code = info.code;
    result.message = info.message.c_str();
    if (!error && reply.json) {
        result.json = reply.json->c_str();
        result.json_length = reply.json->size();
    }
    try {
        state->callback(state->userData, &result);
    } catch (abi::__forced_unwind&) {
        // The thread is being ended (pthread_exit: Python does so to a thread that calls into it
        // while the interpreter shuts down). Swallowing that unwind aborts the process.
        throw;
    } catch (...) {
        // A C callback cannot throw; one written in C++ that does must not take the I/O thread down.
    }
}

void Core::start(std::shared_ptr<CallState> state, std::optional<Operation> operation, std::exception_ptr early) {
    {
        std::lock_guard lock(mutex);
        if (closing) {
            early = std::make_exception_ptr(Cancelled());
            operation.reset();
        }
        inflight.insert(state);
    }
    // Spawned from the I/O thread, so that binding the cancellation slot never races with a
    // cancel, which is emitted there too.
    asio::post(client.io(), [self = shared_from_this(), state, operation = std::move(operation), early]() mutable {
        if (early || !operation || state->cancelRequested.load()) {
            self->complete(state, early, {});
            return;
        }
        Core* core = self.get();
        if (state->deadline) state->bounds.armTimeout(core->client.io().get_executor(), *state->deadline, state);
        // The callback runs from a handler of its own, never inside the coroutine that produced the
        // outcome: a thread ended in the callback unwinds through every frame below it, and a
        // coroutine's frame catches whatever leaves its body without rethrowing, which turns that
        // unwind into an abort.
        asio::co_spawn(core->client.io(), (*operation)(core->client.api()),
                       asio::bind_cancellation_slot(state->bounds.slot(), [core, state](std::exception_ptr e, Reply reply) {
                           e = state->bounds.end(std::move(e));
                           asio::post(core->client.io(), [core, state, e, reply = std::move(reply)]() mutable {
                               core->complete(state, e, std::move(reply));
                           });
                       }));
    });
}

void Core::requestCancel(const std::shared_ptr<CallState>& state) {
    state->cancelRequested.store(true);
    asio::post(client.io(), [state] {
        if (!state->finished.load()) state->bounds.cancel();
    });
}

void Core::shutDown() {
    std::unordered_set<std::shared_ptr<CallState>> pending;
    {
        std::lock_guard lock(mutex);
        closing = true;
        pending = inflight;
    }
    for (const auto& state : pending) requestCancel(state);
    // The I/O thread returns once the last call (and any token refresh it started) is over.
    client.stop();
}

template <class T>
T decodeArgs(std::string_view json) {
    return JSONDecoder::tarn().decode<T>(json);
}

}  // namespace
}  // namespace tarn::capi

struct tarn_client {
    std::shared_ptr<tarn::capi::Core> core;
};

struct tarn_call {
    std::shared_ptr<tarn::capi::CallState> state;
};

namespace {

using tarn::capi::bound;
using tarn::capi::guarded;
using tarn::capi::InvalidArgument;
using tarn::capi::required;
namespace ops = tarn::operations;

std::shared_ptr<tarn::capi::Core> makeCore(const std::string& baseURLText, tarn::APIClientOptions clientOptions,
                                           tarn::CurlSessionConfig sessionConfig, tarn_storage* storage) {
    auto baseURL = tarn::URL::parse(baseURLText);
    if (!baseURL) throw tarn::APIError::invalidBaseURL("it is not a URL");
    return std::make_shared<tarn::capi::Core>(*baseURL, storage != nullptr ? storage->tokens : nullptr, clientOptions,
                                              std::move(sessionConfig));
}

template <class Prepare>
tarn_call* startCall(tarn_client* client, tarn_callback callback, void* userData, Prepare prepare,
                     const tarn_call_options* options = nullptr) noexcept {
    tarn::capi::clearLastError();
    if (client == nullptr || callback == nullptr) {
        tarn::capi::setLastError({TARN_ERROR_INVALID_ARGUMENT, 0, 0, client == nullptr ? "client is NULL" : "callback is NULL"});
        return nullptr;
    }
    try {
        auto state = std::make_shared<tarn::capi::CallState>(callback, userData, client->core);
        auto handle = std::make_unique<tarn_call>(tarn_call{state});
        std::optional<tarn::capi::Operation> operation;
        std::exception_ptr early;
        try {
            tarn_call_options chosen;
            tarn_call_options_init(&chosen);
            tarn::capi::copyOptions(options, chosen, "tarn_call_options");
            if (chosen.timeout_ms < 0) throw InvalidArgument("timeout_ms is negative");
            if (chosen.timeout_ms > 0) {
                state->deadline = tarn::detail::CallBounds::Clock::now() + std::chrono::milliseconds(chosen.timeout_ms);
            }
            operation = prepare();
        } catch (...) {
            early = std::current_exception();
        }
        client->core->start(std::move(state), std::move(operation), early);
        return handle.release();
    } catch (...) {
        tarn::capi::setLastError(tarn::capi::describe(std::current_exception()));
        return nullptr;
    }
}

}  // namespace

extern "C" {

void tarn_client_options_init(tarn_client_options* options) {
    if (options == nullptr) return;
    *options = tarn_client_options{};
    options->struct_size = sizeof(tarn_client_options);
}

tarn_error_kind tarn_client_create(const char* base_url, const tarn_client_options* options, tarn_storage* storage,
                                   tarn_client** out_client) {
    return guarded([&] {
        if (out_client == nullptr) throw InvalidArgument("out_client is NULL");
        *out_client = nullptr;
        tarn_client_options chosen;
        tarn_client_options_init(&chosen);
        tarn::capi::copyOptions(options, chosen, "tarn_client_options");
        if (chosen.connect_timeout_ms < 0) throw InvalidArgument("connect_timeout_ms is negative");
        if (chosen.request_timeout_ms < 0) throw InvalidArgument("request_timeout_ms is negative");
        tarn::CurlSessionConfig config;
        if (chosen.ca_file != nullptr) config.caFile = chosen.ca_file;
        if (chosen.pinned_public_key != nullptr) config.pinnedPublicKey = chosen.pinned_public_key;
        if (chosen.proxy != nullptr) config.proxy = chosen.proxy;
        if (chosen.user_agent != nullptr) config.userAgent = chosen.user_agent;
        if (chosen.connect_timeout_ms > 0) config.connectTimeout = std::chrono::milliseconds(chosen.connect_timeout_ms);
        tarn::APIClientOptions clientOptions;
        clientOptions.allowPlainHTTP = chosen.allow_plain_http != 0;
        if (chosen.request_timeout_ms > 0) clientOptions.requestTimeout = std::chrono::milliseconds(chosen.request_timeout_ms);
        auto core = makeCore(tarn::capi::required(base_url, "base_url"), clientOptions, std::move(config), storage);
        *out_client = new tarn_client{std::move(core)};
    });
}

tarn_error_kind tarn_client_create_json(const char* options_json, tarn_storage* storage, tarn_client** out_client) {
    return guarded([&] {
        if (out_client == nullptr) throw InvalidArgument("out_client is NULL");
        *out_client = nullptr;
        auto o = tarn::capi::decodeArgs<tarn::capi::ClientOptionsJSON>(tarn::capi::required(options_json, "options_json"));
        if (o.connectTimeoutMs && *o.connectTimeoutMs < 0) throw InvalidArgument("connect_timeout_ms is negative");
        if (o.requestTimeoutMs && *o.requestTimeoutMs < 0) throw InvalidArgument("request_timeout_ms is negative");
        if (o.maxCallsInFlight && *o.maxCallsInFlight < 1) throw InvalidArgument("max_calls_in_flight is less than 1");
        tarn::CurlSessionConfig config;
        config.caFile = o.caFile;
        config.pinnedPublicKey = o.pinnedPublicKey;
        config.proxy = o.proxy;
        config.userAgent = o.userAgent;
        if (o.connectTimeoutMs && *o.connectTimeoutMs > 0) config.connectTimeout = std::chrono::milliseconds(*o.connectTimeoutMs);
        tarn::APIClientOptions clientOptions;
        clientOptions.allowPlainHTTP = o.allowPlainHTTP.value_or(false);
        if (o.requestTimeoutMs && *o.requestTimeoutMs > 0) clientOptions.requestTimeout = std::chrono::milliseconds(*o.requestTimeoutMs);
        if (o.maxCallsInFlight) clientOptions.maxCallsInFlight = static_cast<std::size_t>(*o.maxCallsInFlight);
        auto core = makeCore(o.baseURL, clientOptions, std::move(config), storage);
        *out_client = new tarn_client{std::move(core)};
    });
}

void tarn_client_destroy(tarn_client* client) {
    if (client == nullptr) return;
    // The handle stays valid until the last callback has run: callbacks may still start calls
    // with it, which then complete as cancelled.
    std::shared_ptr<tarn::capi::Core> core = client->core;
    core->shutDown();
    if (core->client.onIOThread()) {
        // Destroyed from one of its own callbacks: the thread cannot wait for itself; it finishes
        // the remaining calls on its own and frees the handle when it ends.
        core->client.detach([client] { delete client; });
        return;
    }
    core->client.join();
    delete client;
}

void tarn_call_cancel(tarn_call* call) {
    if (call == nullptr || call->state->finished.load()) return;
    if (auto core = call->state->core.lock()) core->requestCancel(call->state);
}

void tarn_call_release(tarn_call* call) { delete call; }

void tarn_call_options_init(tarn_call_options* options) {
    if (options == nullptr) return;
    *options = tarn_call_options{};
    options->struct_size = sizeof(tarn_call_options);
}

// The typed functions: the operations whose arguments are a few scalars, bound without JSON.

tarn_call* tarn_client_login(tarn_client* client, const char* email, const char* password, tarn_callback callback,
                             void* user_data) {
    return startCall(client, callback, user_data, [&] {
        return bound<ops::Login>({required(email, "email"), required(password, "password")});
    });
}

tarn_call* tarn_client_logout(tarn_client* client, tarn_callback callback, void* user_data) {
    return startCall(client, callback, user_data, [] { return bound<ops::Logout>({}); });
}

tarn_call* tarn_client_me(tarn_client* client, tarn_callback callback, void* user_data) {
    return startCall(client, callback, user_data, [] { return bound<ops::Me>({}); });
}

tarn_call* tarn_client_servers(tarn_client* client, tarn_callback callback, void* user_data) {
    return startCall(client, callback, user_data, [] { return bound<ops::Servers>({}); });
}

tarn_call* tarn_client_vpn_config(tarn_client* client, const char* server_id, const char* device_id, const char* platform,
                                  tarn_callback callback, void* user_data) {
    return startCall(client, callback, user_data, [&] {
        std::optional<std::string> chosen;
        if (platform != nullptr) chosen = platform;
        return bound<ops::VPNConfig>({required(server_id, "server_id"), required(device_id, "device_id"), chosen});
    });
}

tarn_call* tarn_client_account_devices(tarn_client* client, tarn_callback callback, void* user_data) {
    return startCall(client, callback, user_data, [] { return bound<ops::AccountDevices>({}); });
}

tarn_call* tarn_client_remove_account_device(tarn_client* client, int64_t device_id, tarn_callback callback,
                                             void* user_data) {
    return startCall(client, callback, user_data,
                     [&] { return bound<ops::RemoveAccountDevice>({std::int64_t{device_id}}); });
}

tarn_call* tarn_client_app_release(tarn_client* client, tarn_callback callback, void* user_data) {
    return startCall(client, callback, user_data, [] { return bound<ops::AppRelease>({}); });
}

tarn_call* tarn_client_call(tarn_client* client, const char* operation, const char* arguments_json,
                            tarn_callback callback, void* user_data) {
    return tarn_client_call_with(client, operation, arguments_json, nullptr, callback, user_data);
}

tarn_call* tarn_client_call_with(tarn_client* client, const char* operation, const char* arguments_json,
                                 const tarn_call_options* options, tarn_callback callback, void* user_data) {
    return startCall(
        client, callback, user_data,
        [&] {
            return tarn::capi::operationNamed(required(operation, "operation"),
                                              arguments_json != nullptr ? std::string_view(arguments_json) : "{}");
        },
        options);
}

const char* tarn_operations(void) {
    tarn::capi::clearLastError();
    try {
        return tarn::capi::operationsJSON().c_str();
    } catch (...) {
        tarn::capi::setLastError(tarn::capi::describe(std::current_exception()));
        return nullptr;
    }
}

}  // extern "C"
