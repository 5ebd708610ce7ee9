// Child process for the end-to-end tests of one sign-in shared by several processes:
//   session_proc <base-url> file|secret-service <keychain-root> <service> me|logout
// builds the token store an application has (KeychainTokenStore, account "tokens") and an
// APIClient over a CurlSession, waits for its standard input to close so that a test can release
// many together, runs the operation and exits 0 when it succeeded, 5 when it failed as not signed
// in, 1 on any other failure (described on standard error).
#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/api/curl_session.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include "tsan_suppressions.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <unistd.h>

#include <iostream>
#include <string>

namespace {

asio::awaitable<void> meOnly(tarn::APIClient client) { (void)co_await client.me(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: session_proc <base-url> file|secret-service <keychain-root> <service> me|logout\n";
        return 2;
    }
    const std::string kind = argv[2];
    const std::string operation = argv[5];
    std::shared_ptr<tarn::Keychain> keychain;
    if (kind == "file") {
        keychain = std::make_shared<tarn::FileKeychain>(argv[3]);
    } else {
        keychain = std::make_shared<tarn::SecretServiceKeychain>(std::chrono::seconds(20));
    }
    auto store = std::make_shared<tarn::KeychainTokenStore>(argv[4], "tokens", keychain);
    auto baseURL = tarn::URL::parse(argv[1]);
    if (!baseURL || (operation != "me" && operation != "logout")) return 2;

    char c;
    while (::read(0, &c, 1) > 0) {
    }

    asio::io_context io;
    std::exception_ptr error;
    bool done = false;
    {
        auto session = std::make_shared<tarn::CurlSession>(io.get_executor());
        tarn::APIClient client(*baseURL, session, store);
        auto call = operation == "me" ? meOnly(client) : client.logout();
        asio::co_spawn(io, std::move(call), [&](std::exception_ptr e) {
            error = e;
            done = true;
        });
        // Only until the call is done: idle connections would keep run() going.
        while (!done && io.run_one() > 0) {
        }
    }
    if (!error) return 0;
    try {
        std::rethrow_exception(error);
    } catch (const tarn::APIError& e) {
        std::cerr << e.description() << "\n";
        return e == tarn::APIError::unauthorized() ? 5 : 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
    }
    return 1;
}
