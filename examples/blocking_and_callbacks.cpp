// The same client three ways: BlockingClient for plain calls, a callback, and use_future. Built
// in CI so that the README's snippets keep compiling; run it against tarn-devserver:
// blocking_and_callbacks http://127.0.0.1:8080 demo@tarn.dev demo-password
#include <tarn/tarn.hpp>

#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <stop_token>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: blocking_and_callbacks BASE_URL EMAIL PASSWORD\n";
        return 2;
    }
    auto base = tarn::URL::parse(argv[1]);
    if (!base) {
        std::cerr << "not a URL: " << argv[1] << "\n";
        return 2;
    }
    // The pair for this run only; an app keeps it in a KeychainTokenStore.
    auto tokens = std::make_shared<tarn::MemoryTokenStore>();
    try {
        // Plain calls: the client runs its own I/O thread; each call blocks and returns or throws.
        tarn::APIClientOptions options;
        options.userAgent = "blocking-example/1.0";
        tarn::BlockingClient blocking(*base, tokens, options);
        blocking.login(argv[2], argv[3]);
        std::cout << blocking.servers().size() << " servers\n";
        // One call bounded on its own: a timeout for the whole call, and a stop another thread
        // may request (TransportError timedOut or cancelled).
        std::stop_source stop;
        auto me = blocking.with({.timeout = std::chrono::seconds(5), .stop = stop.get_token()}).me();
        std::cout << "bounded call answered for " << me.id << "\n";

        // Callbacks: the operation runs on the session's executor, the handler gets
        // (std::exception_ptr, result).
        asio::io_context io;
        tarn::APIClient client(*base, std::make_shared<tarn::CurlSession>(io.get_executor()), tokens);
        client.me([](std::exception_ptr error, tarn::CRMUser user) {
            if (!error) std::cout << "signed in as " << user.id << "\n";
        });
        // A future instead: get() after the io_context has run, or from another thread.
        std::future<tarn::BillingCatalog> catalog = client.billingCatalog(asio::use_future);
        io.run();
        std::cout << catalog.get().tariffGroups.size() << " tariff groups\n";
    } catch (const tarn::Error& e) {  // any failure of the library
        std::cerr << "failed: " << e.what() << "\n";
        return 1;
    }
}
