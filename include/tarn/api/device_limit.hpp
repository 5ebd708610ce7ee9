// Recognising the backend's "device limit reached" refusal, and a one-shot retry gate for the
// application that wants to retry once after freeing a slot. The client itself uses neither.
#pragma once

#include "tarn/export.hpp"

#include <cstdint>
#include <exception>
#include <string_view>

namespace tarn {

struct TARN_EXPORT DeviceLimitErrorPolicy {
    /// True for status 409 whose body, lower-cased with full Unicode case mapping and with "_" and
    /// "-" read as spaces, contains "device limit", "limit reached", "лимит устройств" or
    /// "слоты устройств".
    static bool matches(std::int64_t statusCode, std::string_view responseBody);
    /// True when error is an APIError::server that the rule above matches.
    static bool matches(const std::exception& error);
    /// The same for an exception_ptr (false for null or for anything that is not an APIError).
    static bool matches(const std::exception_ptr& error);
};

/// Lets a caller take one automatic retry until it releases the gate. Copies are independent.
class TARN_EXPORT DeviceLimitRetryGate {
public:
    DeviceLimitRetryGate() = default;
    /// True and claimed when free; false (and unchanged) when already claimed.
    bool claim() noexcept {
        if (isClaimed_) return false;
        isClaimed_ = true;
        return true;
    }
    void release() noexcept { isClaimed_ = false; }
    bool isClaimed() const noexcept { return isClaimed_; }

private:
    bool isClaimed_ = false;
};

}  // namespace tarn
