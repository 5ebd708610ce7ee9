// What an APIClient shares with every call in flight: its base URL, session, token store (with
// the worker thread that calls it and the gate that makes concurrent 401s share one refresh),
// options, codec and the turns its calls take. Each call holds a reference, so it outlives a client destroyed meanwhile.
#pragma once

#include "api/call_turns.hpp"
#include "api/token_refresh_gate.hpp"
#include "api/token_store_worker.hpp"
#include "tarn/api/api_client.hpp"
#include "tarn/json/json.hpp"

#include <memory>
#include <utility>

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
    detail::CallTurns turns{options.maxCallsInFlight};
};

namespace detail {
using Self = std::shared_ptr<APIClient::Impl>;
}  // namespace detail

}  // namespace tarn
