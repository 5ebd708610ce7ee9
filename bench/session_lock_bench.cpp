// What the token store's session lock adds to each token refresh: one take and one release per
// refresh (a sign-out likewise), on each kind of store. Uncontended, since a contended lock costs
// the holder's refresh, which no lock can shorten.
#include "api/session_lock_wait.hpp"
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

// The client's own path: the awaitable that polls the store, on an io_context as a refresh runs,
// each try and each release a round trip to the store's worker thread.
void lockSession(benchmark::State& state, const std::string& kind) {
    tarn::detail::TokenStoreWorker worker(store(kind));
    asio::io_context io(1);
    for (auto _ : state) {
        asio::co_spawn(io, tarn::detail::lockSession(worker), asio::detached);
        io.run();
        io.restart();
    }
}

BENCHMARK_CAPTURE(tryLock, memory, std::string("memory"));
BENCHMARK_CAPTURE(tryLock, file, std::string("file"));
BENCHMARK_CAPTURE(tryLock, secret_service, std::string("secret_service"));
BENCHMARK_CAPTURE(lockSession, file, std::string("file"));

}  // namespace

BENCHMARK_MAIN();
