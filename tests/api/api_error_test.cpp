#include "tarn/api/api_error.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace tarn {
namespace {

TEST(APIError, EqualityByAlternativeStatusAndExactBody) {
    const struct {
        APIError a, b;
        bool equal;
    } cases[] = {
        {APIError::server(409, "limit"), APIError::server(409, "limit"), true},
        {APIError::server(409, "limit"), APIError::server(409, "Limit"), false},
        {APIError::server(409, "limit"), APIError::server(400, "limit"), false},
        {APIError::server(500, ""), APIError::server(500, ""), true},
        // No normalisation: composed and decomposed e-acute differ.
        {APIError::server(400, "\u00e9"), APIError::server(400, "e\u0301"), false},
        {APIError::unauthorized(), APIError::unauthorized(), true},
        {APIError::invalidResponse(), APIError::invalidResponse(), true},
        {APIError::invalidBaseURL(), APIError::invalidBaseURL(), true},
        {APIError::unauthorized(), APIError::invalidResponse(), false},
        {APIError::invalidBaseURL(), APIError::invalidResponse(), false},
        // A server error with the neutral payload is still another alternative.
        {APIError::server(0, ""), APIError::unauthorized(), false},
        {APIError::server(401, ""), APIError::unauthorized(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.b == c.a, c.equal);
    }
}

TEST(APIError, TextNamesTheAlternativeButNeverTheBody) {
    const struct {
        APIError error;
        const char* text;
    } cases[] = {
        {APIError::server(409, "{\"email\":\"someone@example.com\",\"token\":\"s3cr3t\"}"), "APIError.server(409)"},
        {APIError::server(-1, "x"), "APIError.server(-1)"},
        {APIError::invalidBaseURL(), "APIError.invalidBaseURL"},
        {APIError::invalidResponse(), "APIError.invalidResponse"},
        {APIError::unauthorized(), "APIError.unauthorized"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(c.error.what(), c.text);
        EXPECT_EQ(c.error.description(), c.text);
        std::ostringstream stream;
        stream << c.error;
        EXPECT_EQ(stream.str(), c.text);
    }
}

}  // namespace
}  // namespace tarn
