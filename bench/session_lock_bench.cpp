// What the token store's session lock adds to each token refresh: one take and one release per
// refresh (a sign-out likewise), on each kind of store. Uncontended, since a contended lock costs
// the holder's refresh, which no lock can shorten.
#include "tarn/api/api_client.hpp"
#include "tarn/api/http.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/memory_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace {

// A private scratch root for the file keychain and the runtime directory, removed at exit.
struct Scratch {
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarn-lock-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        path = pattern;
        ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

std::shared_ptr<tarn::TokenStore> store(const std::string& kind) {
    std::shared_ptr<tarn::Keychain> keychain;
    if (kind == "memory") keychain = std::make_shared<tarn::InMemoryKeychain>();
    if (kind == "file") keychain = std::make_shared<tarn::FileKeychain>(scratch().path / "keychain");
    if (kind == "secret_service") keychain = std::make_shared<tarn::SecretServiceKeychain>();
    return std::make_shared<tarn::KeychainTokenStore>("dev.tarn.bench", "tokens", keychain);
}

void tryLock(benchmark::State& state, const std::string& kind) {
    auto s = store(kind);
    for (auto _ : state) {
        auto lock = s->tryLockSession();
        benchmark::DoNotOptimize(lock);
    }
}

// A server that answers at once, so that a sign-out costs the client's own work only.
class InstantServer final : public tarn::HttpSession {
public:
    asio::awaitable<tarn::HttpResponse> send(tarn::HttpRequest) override {
        tarn::HttpResponse answer;
        answer.statusCode = 204;
        co_return answer;
    }
};

// A store whose pair lives in memory and whose session lock is the file store's flock (or, with
// no store to borrow it from, a lock taken at once). It says it may block, as a keychain store
// does, so the client's calls of it go to the client's store thread.
class LockBorrowingStore final : public tarn::TokenStore {
public:
    explicit LockBorrowingStore(std::shared_ptr<tarn::TokenStore> locking) : locking_(std::move(locking)) {}
    std::optional<tarn::AuthTokens> loadTokens() override { return tarn::AuthTokens{"access", "refresh"}; }
    void save(const tarn::AuthTokens&) override {}
    void clear() override {}
    std::unique_ptr<tarn::SessionLock> tryLockSession() override {
        return locking_ ? locking_->tryLockSession() : std::make_unique<tarn::SessionLock>();
    }

private:
    std::shared_ptr<tarn::TokenStore> locking_;
};

// The client's own path, seen from its public interface: a sign-out on an io_context waits for
// the lock as a refresh does (the awaitable that polls the store, each try and each release a
// round trip to the store thread), then loads the pair, posts to an instant server and clears
// the store. With a free lock the same path costs everything but the flock.
void signOut(benchmark::State& state, const std::string& lock) {
    auto locking = lock == "file" ? store("file") : nullptr;
    tarn::APIClient client(*tarn::URL::parse("http://127.0.0.1:9/"), std::make_shared<InstantServer>(),
                           std::make_shared<LockBorrowingStore>(locking));
    asio::io_context io(1);
    for (auto _ : state) {
        asio::co_spawn(io, client.logout(), asio::detached);
        io.run();
        io.restart();
    }
}

BENCHMARK_CAPTURE(tryLock, memory, std::string("memory"));
BENCHMARK_CAPTURE(tryLock, file, std::string("file"));
BENCHMARK_CAPTURE(tryLock, secret_service, std::string("secret_service"));
BENCHMARK_CAPTURE(signOut, file, std::string("file"));
BENCHMARK_CAPTURE(signOut, free, std::string("free"));

}  // namespace

BENCHMARK_MAIN();
