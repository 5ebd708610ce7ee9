#include "tarn/api/api_error.hpp"
#include "tarn/json/json.hpp"

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
        // No normalisation: composed and decomposed e-acute differ.
        {APIError::server(400, "\u00e9"), APIError::server(400, "e\u0301"), false},
        // The status a refusal came with, and why a base URL was refused, are not part of the value.
        {APIError::unauthorized(), APIError::unauthorized(401), true},
        {APIError::invalidBaseURL(), APIError::invalidBaseURL("only http and https are spoken"), true},
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

// The text says what went wrong in one short line, and never shows a credential, an address or
// a control character the server put into the body.
TEST(APIError, TextNamesKindStatusAndARedactedReason) {
    const std::string longBody(400, 'x');
    const struct {
        APIError error;
        std::string text;
    } cases[] = {
        {APIError::server(409, "{\"email\":\"someone@example.com\",\"token\":\"s3cr3t\"}"),
         "APIError.server(409): {\"email\":\"<redacted>\",\"token\":\"<redacted>\"}"},
        {APIError::server(500, "echo: Authorization: Bearer abc.def\r\n\x1b]0;title\x07"),
         "APIError.server(500): echo: Authorization: Bearer <redacted>\\r\\n\\u{001B}]0;title\\u{0007}"},
        {APIError::server(500, "refresh rt-123 failed", Redactor().add("rt-123")), "APIError.server(500): refresh <redacted> failed"},
        {APIError::server(502, longBody), "APIError.server(502): " + std::string(160, 'x') + "…"},
        {APIError::server(-1, ""), "APIError.server(-1)"},
        // A proxy's error page is summed up by its title, white space collapsed.
        {APIError::server(502, "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n"
                               "<center><h1>502 Bad Gateway</h1></center>\r\n<hr><center>nginx</center>\r\n"
                               "</body>\r\n</html>\r\n"),
         "APIError.server(502): 502 Bad Gateway"},
        {APIError::server(503, "\n<!DOCTYPE HTML><HTML><HEAD><TITLE>\n  Service\n\tUnavailable </TITLE>"),
         "APIError.server(503): Service Unavailable"},
        {APIError::server(500, "<html><body>refresh rt-123 failed</body></html>", Redactor().add("rt-123")),
         "APIError.server(500): an HTML page without a title"},
        {APIError::server(500, "<html><title>rt-123</title>", Redactor().add("rt-123")),
         "APIError.server(500): <redacted>"},
        // Other markup is not a page: shown as it came.
        {APIError::server(400, "<error>no html here</error>"), "APIError.server(400): <error>no html here</error>"},
        {APIError::invalidBaseURL(), "APIError.invalidBaseURL: the base URL cannot be used"},
        {APIError::invalidResponse(),
         "APIError.invalidResponse: the answer is not a usable HTTP response, or a session value was refused before "
         "sending"},
        {APIError::unauthorized(), "APIError.unauthorized: not signed in, or the backend refused the credentials"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.what(), c.text);
        EXPECT_EQ(c.error.description(), c.text);
        std::ostringstream stream;
        stream << c.error;
        EXPECT_EQ(stream.str(), c.text);
    }
    // The body itself stays as received: equality and the device-limit check read it.
    EXPECT_EQ(APIError::server(500, "rt-123", Redactor().add("rt-123")).body(), "rt-123");
}

}  // namespace
}  // namespace tarn
