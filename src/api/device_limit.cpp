#include "tarn/api/device_limit.hpp"

#include "tarn/api/api_error.hpp"
#include "tarn/platform/unicode.hpp"

#include <algorithm>
#include <string>

namespace tarn {

bool DeviceLimitErrorPolicy::matches(std::int64_t statusCode, std::string_view responseBody) {
    if (statusCode != 409) return false;
    std::string folded = unicode::lowercased(responseBody);
    std::replace(folded.begin(), folded.end(), '_', ' ');
    std::replace(folded.begin(), folded.end(), '-', ' ');
    constexpr std::string_view phrases[] = {"device limit", "limit reached", "лимит устройств", "слоты устройств"};
    return std::any_of(std::begin(phrases), std::end(phrases),
                       [&](std::string_view phrase) { return folded.find(phrase) != std::string::npos; });
}

bool DeviceLimitErrorPolicy::matches(const std::exception& error) {
    const auto* apiError = dynamic_cast<const APIError*>(&error);
    if (apiError == nullptr || apiError->kind() != APIError::Kind::server) return false;
    return matches(apiError->statusCode(), apiError->body());
}

bool DeviceLimitErrorPolicy::matches(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const APIError& apiError) {
        return matches(apiError);
    } catch (...) {
        return false;
    }
}

}  // namespace tarn
