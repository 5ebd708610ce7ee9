#include "tarn/storage/device_identity.hpp"

#include "tarn/platform/unicode.hpp"
#include "tarn/platform/uuid.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tarn {

namespace {

std::optional<std::string> nonBlank(const std::string& text) {
    std::string trimmed = unicode::trimmingWhitespaceAndNewlines(text);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A version 4 UUID even when the OS gives no random bytes: the identifier must never be missing,
// and one unique to this moment and process is better than none.
std::string newIdentifier() {
    try {
        return UUID::random().lowercaseString();
    } catch (...) {
    }
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t state = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                          (static_cast<std::uint64_t>(::getpid()) << 32) ^ counter.fetch_add(1);
    UUID::Bytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        std::uint64_t r = splitmix(state);
        for (std::size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<std::uint8_t>(r >> (8 * j));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return UUID(bytes).lowercaseString();
}

}  // namespace

DeviceIdentity::DeviceIdentity(std::shared_ptr<Defaults> defaults, std::shared_ptr<TokenStore> keychain,
                               std::string keyPrefix)
    : defaults_(std::move(defaults)), keychain_(std::move(keychain)), key_(std::move(keyPrefix) + ".device.id.v1") {}

std::string DeviceIdentity::deviceID() {
    std::lock_guard guard(lock_);
    if (cachedDeviceID_) return *cachedDeviceID_;
    origin_ = Origin{};
    // The stored entry is adopted trimmed but left as it is.
    if (auto stored = storedValue()) {
        origin_->saved = true;
        cachedDeviceID_ = *stored;
        return *stored;
    }
    if (auto fromKeychain = keychainValue()) {
        origin_->source = Origin::Source::keychain;
        return remember(std::move(*fromKeychain));
    }
    origin_->source = Origin::Source::generated;
    return remember(newIdentifier());
}

std::optional<DeviceIdentity::Origin> DeviceIdentity::origin() {
    std::lock_guard guard(lock_);
    return origin_;
}

namespace {

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace

std::optional<std::string> DeviceIdentity::storedValue() {
    if (!defaults_) return std::nullopt;
    try {
        if (auto value = defaults_->stringForKey(key_)) return nonBlank(*value);
    } catch (...) {
        origin_->problem = describe(std::current_exception());
    }
    return std::nullopt;
}

std::optional<std::string> DeviceIdentity::keychainValue() {
    if (!keychain_) return std::nullopt;
    try {
        if (auto tokens = keychain_->loadTokens()) return nonBlank(tokens->accessToken);
    } catch (...) {
        // A locked or failing keychain is no reason to fail: a new identifier serves.
    }
    return std::nullopt;
}

std::string DeviceIdentity::remember(std::string candidate) {
    std::string result = candidate;
    if (defaults_) {
        try {
            // Another process sharing the store may have written an identifier since we looked;
            // adopting it keeps all of them on one value.
            auto stored = defaults_->updateString(key_, [&](const std::optional<std::string>& current) {
                std::optional<std::string> next;
                if (!current || !nonBlank(*current)) next = candidate;
                return next;
            });
            if (stored) {
                if (auto adopted = nonBlank(*stored)) {
                    origin_->saved = true;
                    // Another process's value: it was in the defaults after all.
                    if (*adopted != candidate) origin_->source = Origin::Source::defaults;
                    result = std::move(*adopted);
                }
            }
        } catch (...) {
            // Not persisted: this instance still keeps and returns its value.
            if (origin_->problem.empty()) origin_->problem = describe(std::current_exception());
        }
    }
    cachedDeviceID_ = result;
    return result;
}

}  // namespace tarn
