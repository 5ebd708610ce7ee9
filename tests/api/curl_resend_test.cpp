// The session's resend rules without sockets: a request the server may have acted on goes out
// once, one that HTTP/2 says was refused unprocessed goes out again, a bounded number of times.
#include "api/curl_resend.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarn::detail {
namespace {

TEST(ResendRules, OnlyRefusalsOrIdempotentMethodsGoOutAgain) {
    constexpr FailedAttempt refused{.overHTTP2 = true, .failureReported = false};
    constexpr FailedAttempt h2ConnectionDied{.overHTTP2 = true, .failureReported = true};
    constexpr FailedAttempt h1ConnectionDied{.overHTTP2 = false, .failureReported = false};
    constexpr FailedAttempt h1ResetByPeer{.overHTTP2 = false, .failureReported = true};
    const struct {
        std::string method;
        FailedAttempt attempt;
        int refusals;
        Resend expected;
    } rows[] = {
        {"POST", refused, 0, Resend::afresh},
        {"DELETE", refused, 0, Resend::afresh},
        {"PATCH", refused, kMaxRefusedResends - 1, Resend::afresh},
        {"POST", refused, kMaxRefusedResends, Resend::never},
        {"GET", refused, 0, Resend::afresh},
        {"GET", refused, kMaxRefusedResends, Resend::never},
        // An HTTP/1.1 connection that closed without an answer may have carried out the request:
        // libcurl's empty error text there proves nothing.
        {"POST", h1ConnectionDied, 0, Resend::never},
        {"DELETE", h1ConnectionDied, 0, Resend::never},
        {"POST", h1ResetByPeer, 0, Resend::never},
        {"POST", h2ConnectionDied, 0, Resend::never},
        {"GET", h1ConnectionDied, 0, Resend::byLibcurl},
        {"PUT", h2ConnectionDied, 0, Resend::byLibcurl},
        {"HEAD", h1ResetByPeer, 0, Resend::byLibcurl},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.method + (row.attempt.overHTTP2 ? " over HTTP/2" : " over HTTP/1.1") +
                     (row.attempt.failureReported ? ", failure reported" : "") + ", refusals " +
                     std::to_string(row.refusals));
        EXPECT_EQ(resendAfter(row.method, row.attempt, row.refusals), row.expected);
    }
}

}  // namespace
}  // namespace tarn::detail
