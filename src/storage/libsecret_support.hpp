// libsecret support for the Secret Service keychain: owners of GLib objects, the deadline that
// bounds one whole keychain operation, and the mapping of GLib errors to keychain statuses.
#pragma once

#include "tarn/storage/keychain.hpp"

// The object-path search is the one way to learn which matches are locked without unlocking them.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace tarn::secret_service_detail {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const noexcept {
        if (p) Free(p);
    }
};
inline void unrefObject(void* p) { g_object_unref(p); }
inline void freeError(GError* e) { g_error_free(e); }
inline void unrefHashTable(GHashTable* t) { g_hash_table_unref(t); }
inline void unrefValue(SecretValue* v) { secret_value_unref(v); }
inline void unrefVariant(GVariant* v) { g_variant_unref(v); }

template <class T>
using ObjectPtr = std::unique_ptr<T, Deleter<void, unrefObject>>;
using ErrorPtr = std::unique_ptr<GError, Deleter<GError, freeError>>;
using HashTablePtr = std::unique_ptr<GHashTable, Deleter<GHashTable, unrefHashTable>>;
using ValuePtr = std::unique_ptr<SecretValue, Deleter<SecretValue, unrefValue>>;
using VariantPtr = std::unique_ptr<GVariant, Deleter<GVariant, unrefVariant>>;

// Collects a GError from a call: `&error.out` goes to the call, then `take` owns the result.
struct ErrorSlot {
    GError* out = nullptr;
    ErrorPtr take() {
        ErrorPtr owned(out);
        out = nullptr;
        return owned;
    }
    ~ErrorSlot() {
        if (out) g_error_free(out);
    }
};

// Cancels everything that runs under it once the timeout passes. One per backend operation, so
// the whole operation (connect, search, read, write) is bounded, not each D-Bus call alone.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds timeout)
        : end_(std::chrono::steady_clock::now() + timeout),
          cancellable_(g_cancellable_new()),
          thread_([this, timeout] { run(timeout); }) {}
    ~Deadline() {
        {
            std::lock_guard guard(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
        g_object_unref(cancellable_);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* cancellable() const { return cancellable_; }
    std::chrono::milliseconds remaining() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
        return std::max(left, std::chrono::milliseconds(0));
    }
    bool expired() const {
        std::lock_guard guard(mutex_);
        return expired_;
    }

private:
    void run(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, timeout, [this] { return done_; })) return;
        expired_ = true;
        lock.unlock();
        g_cancellable_cancel(cancellable_);
    }

    std::chrono::steady_clock::time_point end_;
    GCancellable* cancellable_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool expired_ = false;
    std::thread thread_;  // last: starts after everything it uses exists
};

// The keychain status for a failed call: errSecNotAvailable once the deadline passed or the service
// cannot be reached, errSecItemNotFound for an item deleted meanwhile, errSecIO for the unknown.
OSStatus statusFor(const GError* error, const Deadline& deadline);

}  // namespace tarn::secret_service_detail
