#include "tarn/api/device_limit.hpp"

#include "tarn/api/api_error.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace tarn {
namespace {

TEST(DeviceLimitErrorPolicy, StatusAndBody) {
    const struct {
        std::int64_t status;
        std::string body;
        bool matches;
    } cases[] = {
        {409, "Device-Limit exceeded", true},
        {409, "DEVICE_LIMIT", true},
        {409, R"({"detail":"Limit reached"})", true},
        {409, R"({"device_limit_reached":true})", true},  // inside a key name as well
        {409, "limit-reached", true},
        {409, "Достигнут ЛИМИТ УСТРОЙСТВ", true},
        {409, "Заняты все СЛОТЫ_УСТРОЙСТВ", true},
        {409, "лимит-устройств", true},
        {409, "\xff device limit \xfe", true},  // invalid bytes elsewhere do not hide the phrase
        {409, "devicelimit", false},
        {409, "device  limit", false},
        {409, "device.limit", false},
        {409, "", false},
        {409, "conflict", false},
        // Full case mapping turns this I into i + combining dot, which is not the phrase.
        {409, "DEV\u0130CE LIMIT", false},
        {400, "device limit", false},
        {403, "device limit", false},
        {200, "device limit", false},
        {4090, "device limit", false},
        {-409, "device limit", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " " << c.body);
        EXPECT_EQ(DeviceLimitErrorPolicy::matches(c.status, c.body), c.matches);
    }
}

TEST(DeviceLimitErrorPolicy, OnlyServerErrorsQualify) {
    const APIError limit = APIError::server(409, "device limit");
    EXPECT_TRUE(DeviceLimitErrorPolicy::matches(limit));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(APIError::server(400, "device limit")));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(APIError::unauthorized()));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(APIError::invalidResponse()));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(APIError::invalidBaseURL()));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(std::runtime_error("409 device limit")));

    EXPECT_TRUE(DeviceLimitErrorPolicy::matches(std::make_exception_ptr(limit)));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(std::exception_ptr()));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(std::make_exception_ptr(APIError::unauthorized())));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(std::make_exception_ptr(std::runtime_error("device limit"))));
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(std::make_exception_ptr(409)));
}

}  // namespace
}  // namespace tarn
