// The C interface's view of the operations description: an operation with its arguments bound,
// ready to start on a client's I/O thread, found by its snake_case name or built from typed
// arguments, and the description itself as JSON for bindings to check themselves against.
#pragma once

#include "tarn/api/api_client.hpp"
#include "tarn/json/json_codec.hpp"
#include "tarn/api/operations.hpp"

#include <asio/awaitable.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarn::capi {

/// What a finished operation hands to the callback: the answer's JSON, or nothing.
struct Reply {
    std::optional<std::string> json;
};

/// An operation with its arguments bound, to be started on the client's I/O thread.
using Operation = std::function<asio::awaitable<Reply>(const APIClient&)>;

// The arguments live in the coroutine's frame, so nothing the caller passed has to outlive the
// call. The awaited operation is made in a statement of its own: g++ 12 destroys temporaries of
// a full-expression that contains co_await twice.
template <class Op>
    requires std::is_void_v<typename Op::Answer>
asio::awaitable<Reply> invoke(const APIClient& api, typename Op::Arguments arguments) {
    auto operation = Op::call(api, std::move(arguments));
    co_await std::move(operation);
    co_return Reply{};
}

template <class Op>
    requires(!std::is_void_v<typename Op::Answer>)
asio::awaitable<Reply> invoke(const APIClient& api, typename Op::Arguments arguments) {
    auto operation = Op::call(api, std::move(arguments));
    auto answer = co_await std::move(operation);
    co_return Reply{JSONEncoder::tarn().encode(answer)};
}

template <class Op>
Operation bound(typename Op::Arguments arguments) {
    return [arguments = std::move(arguments)](const APIClient& api) { return invoke<Op>(api, arguments); };
}

/// The operation of tarn_client_call named `name`, its arguments decoded from `argumentsJSON`
/// by the library's own decoders (DecodingError as for an answer). Throws InvalidArgument for an
/// unknown name.
Operation operationNamed(const std::string& name, std::string_view argumentsJSON);

/// The description of every operation as a JSON array (see tarn_operations in tarn/c/tarn.h).
const std::string& operationsJSON();

}  // namespace tarn::capi
