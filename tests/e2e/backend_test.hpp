// The fixture of the end-to-end tests: one development server per test suite (its development
// endpoints reached over the backend's own test harness, never through the library), an
// io_context run by four threads, APIClients over a CurlSession on it, token stores backed by a
// real keychain implementation, and ways to await an operation from plain test code.
#pragma once

#include "devserver_process.hpp"
#include "tarn/api/api_client.hpp"
#include "tarn/api/api_error.hpp"
#include "tarn/api/curl_session.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarn::e2e {

using devserver::test::Reply;
using DevServer = devserver::test::DevServerProcess;
using Json = nlohmann::json;

inline const std::string kPassword = "correct horse battery";
inline const std::string kDeviceID = "e2e-device-1";

class BackendTest : public ::testing::Test {
public:
    /// The default server. A suite that needs other flags defines its own SetUpTestSuite calling
    /// startServer; TearDownTestSuite stops whichever is running.
    static void SetUpTestSuite() { startServer({"--telegram-ready-after", "-1"}); }
    static void TearDownTestSuite() { server_.reset(); }

protected:
    static void startServer(std::vector<std::string> flags) {
        flags.push_back("--quiet");
        server_ = std::make_unique<DevServer>(std::move(flags));
    }
    static DevServer& server() { return *server_; }
    /// The development endpoints: codes, faults, statistics, and requests of the test's own.
    static DevServer& dev() { return *server_; }
    static URL baseURL() { return URL::parse(server().url() + "/").value(); }

    void SetUp() override {
        ASSERT_TRUE(server_) << "the development server did not start";
        for (int i = 0; i < 4; ++i) threads_.emplace_back([this] { io_.run(); });
        session_ = std::make_shared<CurlSession>(io_.get_executor());
        dev().clearFaults();
    }

    void TearDown() override {
        // The session first: its connections hold server workers, and it must die before the
        // io_context it runs on.
        if (server_) dev().clearFaults();
        session_.reset();
        work_.reset();
        for (auto& t : threads_) t.join();
        if (HasFailure() && server_) std::cerr << "--- tarn-devserver log ---\n" << server().log();
    }

    asio::io_context& io() { return io_; }
    const std::shared_ptr<CurlSession>& session() const { return session_; }

    /// A token store as applications have it: the keychain store over an in-memory keychain.
    static std::shared_ptr<TokenStore> newStore() {
        return std::make_shared<KeychainTokenStore>("dev.tarn.e2e", "tokens", std::make_shared<InMemoryKeychain>());
    }

    APIClient client(std::shared_ptr<TokenStore> store) const { return APIClient(baseURL(), session_, std::move(store)); }
    APIClient client(std::shared_ptr<TokenStore> store, std::shared_ptr<HttpSession> session) const {
        return APIClient(baseURL(), std::move(session), std::move(store));
    }

    /// Awaits one operation on the io threads.
    template <class T>
    T run(asio::awaitable<T> task) {
        return asio::co_spawn(io_, std::move(task), asio::use_future).get();
    }

    /// The exception of type E the operation failed with; a test failure when it succeeded or
    /// failed otherwise.
    template <class E, class T>
    std::optional<E> failureOf(asio::awaitable<T> task) {
        try {
            run(std::move(task));
        } catch (const E& e) {
            return e;
        } catch (const std::exception& e) {
            ADD_FAILURE() << "failed with another exception: " << e.what();
            return std::nullopt;
        }
        ADD_FAILURE() << "the operation succeeded";
        return std::nullopt;
    }

    static std::string uniqueEmail(const std::string& tag) {
        static std::atomic<int> counter{0};
        return tag + "." + std::to_string(counter++) + "@example.test";
    }

    /// Registers a new account (on a seven-day trial) through `api`; its tokens land in the store.
    std::string signUp(const APIClient& api, const std::string& tag = "user") {
        std::string email = uniqueEmail(tag);
        run(api.registerAccount(email, kPassword, "E2E User", true, true));
        return email;
    }

private:
    static inline std::unique_ptr<DevServer> server_;

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::vector<std::thread> threads_;
    std::shared_ptr<CurlSession> session_;
};

}  // namespace tarn::e2e
