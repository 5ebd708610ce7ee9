#include "api/token_store_worker.hpp"

#include "api/use_awaitable_out_of_line.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/associated_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tarn::detail {

namespace {

// A suspended caller, waiting for a result from the worker thread.
template <class... Results>
class Resume {
public:
    virtual ~Resume() = default;
    virtual void operator()(std::exception_ptr error, Results... results) = 0;
};

// What the caller receives: a result shared by many callers is copied on the caller's own thread,
// so that a burst does not make the worker allocate one copy per caller.
template <class T>
T&& delivered(T&& result) {
    return std::forward<T>(result);
}
template <class T>
T delivered(std::shared_ptr<const T>&& shared) {
    return *shared;
}

template <class Handler, class... Results>
class ResumeOnCallerExecutor final : public Resume<Results...> {
public:
    explicit ResumeOnCallerExecutor(Handler handler)
        : handler_(std::move(handler)),
          // Counted as work, so that the caller's io_context (or pool) does not run out of work
          // and return while its caller waits on this thread.
          work_(asio::prefer(asio::get_associated_executor(handler_), asio::execution::outstanding_work.tracked)) {}

    void operator()(std::exception_ptr error, Results... results) override {
        auto executor = work_;
        asio::post(executor, [handler = std::move(handler_), work = std::move(work_), error = std::move(error),
                              ... results = std::move(results)]() mutable {
            std::move(handler)(std::move(error), delivered(std::move(results))...);
            (void)work;
        });
    }

private:
    Handler handler_;
    asio::any_io_executor work_;
};

template <class... Results, class Handler>
std::unique_ptr<Resume<Results...>> resumeLater(Handler handler) {
    return std::make_unique<ResumeOnCallerExecutor<Handler, Results...>>(std::move(handler));
}

using SharedPair = std::shared_ptr<const std::optional<AuthTokens>>;
using LoadWaiters = std::vector<std::unique_ptr<Resume<SharedPair>>>;

}  // namespace

struct TokenStoreWorker::State : std::enable_shared_from_this<State> {
    explicit State(std::shared_ptr<TokenStore> s) : store(std::move(s)) {}

    std::shared_ptr<TokenStore> store;
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
    std::mutex mutex;
    std::thread thread;       // started by the first call
    LoadWaiters nextLoad;     // callers of the read that is queued and not yet started

    // Throws std::system_error when no thread can be started; the caller's operation fails then.
    void start() {
        std::lock_guard lock(mutex);
        if (thread.joinable()) return;
        // The thread owns the state while it runs: when the worker is let go of on this very
        // thread, the io_context is destroyed only after run() has returned.
        thread = std::thread([self = shared_from_this()] { self->io.run(); });
    }

    void stop() {
        std::thread running;
        {
            std::lock_guard lock(mutex);
            if (!thread.joinable()) return;
            running = std::move(thread);
            keepRunning.reset();
        }
        if (running.get_id() == std::this_thread::get_id()) {
            running.detach();
        } else {
            running.join();
        }
    }

    // Queues a job for the worker's thread. The job may end, and its caller resume on another
    // thread and let go of the worker (and of the initiation that held the state), before
    // asio::post has returned: it still signals the io_context after queueing. So the post holds
    // the state itself, and whoever lets go of it last destroys it.
    template <class Job>
    void post(Job job) {
        const auto self = shared_from_this();
        asio::post(io, std::move(job));
    }

    void enqueueLoad(std::unique_ptr<Resume<SharedPair>> waiter) {
        bool first = false;
        {
            std::lock_guard lock(mutex);
            first = nextLoad.empty();
            nextLoad.push_back(std::move(waiter));
        }
        // Jobs refer to the state plainly: the running thread owns it, and a job that never runs
        // must not keep it alive from inside its own queue.
        if (first) post([this] { loadForWaiters(); });
    }

    void loadForWaiters() {
        LoadWaiters waiters;
        {
            std::lock_guard lock(mutex);
            waiters.swap(nextLoad);  // who asks from now on waits for the next read
        }
        SharedPair tokens;
        std::exception_ptr error;
        try {
            tokens = std::make_shared<const std::optional<AuthTokens>>(store->loadTokens());
        } catch (...) {
            error = std::current_exception();
            tokens = std::make_shared<const std::optional<AuthTokens>>();
        }
        for (auto& waiter : waiters) (*waiter)(error, tokens);
    }
};

TokenStoreWorker::TokenStoreWorker(std::shared_ptr<TokenStore> store)
    : state_(std::make_shared<State>(std::move(store))) {}

TokenStoreWorker::~TokenStoreWorker() { state_->stop(); }

bool TokenStoreWorker::callsInline() const noexcept { return state_->store && !state_->store->mayBlock(); }

std::optional<AuthTokens> TokenStoreWorker::loadInline() const { return state_->store->loadTokens(); }

asio::awaitable<std::optional<AuthTokens>> TokenStoreWorker::load() {
    if (!state_->store->mayBlock()) co_return state_->store->loadTokens();
    state_->start();
    auto initiation = [state = state_](auto handler) { state->enqueueLoad(resumeLater<SharedPair>(std::move(handler))); };
    UseAwaitableOutOfLine token;
    co_return co_await asio::async_initiate<UseAwaitableOutOfLine, void(std::exception_ptr, std::optional<AuthTokens>)>(
        std::move(initiation), token);
}

asio::awaitable<void> TokenStoreWorker::run(std::function<void(TokenStore&)> job) {
    if (!state_->store->mayBlock()) {
        job(*state_->store);
        co_return;
    }
    state_->start();
    auto initiation = [state = state_, job = std::move(job)](auto handler) mutable {
        state->post([store = state->store.get(), job = std::move(job), resume = resumeLater<>(std::move(handler))] {
            std::exception_ptr error;
            try {
                job(*store);
            } catch (...) {
                error = std::current_exception();
            }
            (*resume)(std::move(error));
        });
    };
    UseAwaitableOutOfLine token;
    co_await asio::async_initiate<UseAwaitableOutOfLine, void(std::exception_ptr)>(std::move(initiation), token);
}

asio::awaitable<void> TokenStoreWorker::save(AuthTokens tokens) {
    auto saving = run([&tokens](TokenStore& store) { store.save(tokens); });
    co_await std::move(saving);
}

asio::awaitable<void> TokenStoreWorker::clear() {
    auto clearing = run([](TokenStore& store) { store.clear(); });
    co_await std::move(clearing);
}

namespace {

// A held session lock whose release goes through the worker's queue like every other store call:
// a user's store may do real work to let go, and the release then comes before any later try.
class LockReleasedOnWorker final : public SessionLock {
public:
    LockReleasedOnWorker(std::unique_ptr<SessionLock> lock, std::shared_ptr<void> owner, asio::io_context& io)
        : lock_(std::move(lock)), owner_(std::move(owner)), io_(io) {}

    ~LockReleasedOnWorker() override {
        try {
            // Should the worker's thread be gone, the job is destroyed with the io_context, which
            // releases the lock all the same.
            asio::post(io_, [lock = std::move(lock_)]() mutable { lock.reset(); });
        } catch (...) {
            lock_.reset();  // out of memory: released here rather than never
        }
    }

private:
    std::unique_ptr<SessionLock> lock_;
    std::shared_ptr<void> owner_;  // keeps io_ alive
    asio::io_context& io_;
};

}  // namespace

asio::awaitable<std::unique_ptr<SessionLock>> TokenStoreWorker::tryLock() {
    std::unique_ptr<SessionLock> lock;
    auto trying = run([&lock](TokenStore& store) { lock = store.tryLockSession(); });
    co_await std::move(trying);
    if (!lock || !state_->store->mayBlock()) co_return lock;
    co_return std::make_unique<LockReleasedOnWorker>(std::move(lock), state_, state_->io);
}

}  // namespace tarn::detail
