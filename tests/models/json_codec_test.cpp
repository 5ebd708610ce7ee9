// The generic codec: how malformed input, wrong types, numbers and nesting are reported.
#include "tarn/api/json.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarn {
namespace {

using Kind = DecodingError::Kind;

struct Failure {
    const char* name;
    std::string json;
    Kind kind;
    std::string path;
};

class ChallengeDecodingFailure : public testing::TestWithParam<Failure> {};

TEST_P(ChallengeDecodingFailure, IsReportedWithKindAndPath) {
    const auto& c = GetParam();
    try {
        (void)JSONDecoder::tarn().decode<EmailCodeChallenge>(c.json);
        FAIL() << "decoded " << c.json;
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), c.kind) << e.what();
        EXPECT_EQ(e.codingPathString(), c.path) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChallengeDecodingFailure,
    testing::Values(
        Failure{"malformed", R"({"challenge_id":"c",)", Kind::dataCorrupted, ""},
        Failure{"empty", "", Kind::dataCorrupted, ""},
        Failure{"invalid_utf8", "{\"challenge_id\":\"\xff\",\"expires_in\":1,\"resend_after\":1}", Kind::dataCorrupted, ""},
        Failure{"not_an_object", "[1,2]", Kind::typeMismatch, ""},
        Failure{"missing_key", R"({"challenge_id":"c","expires_in":1})", Kind::keyNotFound, "resend_after"},
        Failure{"null_required", R"({"challenge_id":null,"expires_in":1,"resend_after":1})", Kind::valueNotFound, "challenge_id"},
        Failure{"string_for_number", R"({"challenge_id":"c","expires_in":"60","resend_after":1})", Kind::typeMismatch, "expires_in"},
        Failure{"fraction", R"({"challenge_id":"c","expires_in":1.5,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"above_int64", R"({"challenge_id":"c","expires_in":9223372036854775808,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"above_uint64", R"({"challenge_id":"c","expires_in":18446744073709551616,"resend_after":1})", Kind::dataCorrupted, ""},
        Failure{"huge_double", R"({"challenge_id":"c","expires_in":1e300,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"duplicate_key", R"({"challenge_id":"a","challenge_id":"b","expires_in":1,"resend_after":1})", Kind::dataCorrupted, "challenge_id"},
        Failure{"first_failure_in_key_order", R"({"resend_after":"x","expires_in":"y","challenge_id":"c"})", Kind::typeMismatch, "expires_in"},
        Failure{"deep_nesting", std::string(5000, '[') + std::string(5000, ']'), Kind::dataCorrupted, ""}),
    [](const auto& p) { return p.param.name; });

TEST(JSONCodec, IntegersAcceptWholeNumbersInAnyNotationAndTheFullRange) {
    auto c = JSONDecoder::tarn().decode<EmailCodeChallenge>(
        R"({"challenge_id":"c","expires_in":-9223372036854775808,"resend_after":6e1})");
    EXPECT_EQ(c.expiresIn, INT64_MIN);
    EXPECT_EQ(c.resendAfter, 60);
    EXPECT_EQ(JSONEncoder::tarn().encode(c), R"({"challenge_id":"c","expires_in":-9223372036854775808,"resend_after":60})");
}

TEST(JSONCodec, UnknownMembersAreIgnoredWhateverTheirShape) {
    auto t = JSONDecoder().decode<AuthTokens>(
        R"({"x":[{"y":null}],"accessToken":"a","refreshToken":"r","z":{"accessToken":1}})");
    EXPECT_EQ(t, (AuthTokens{"a", "r"}));
}

TEST(JSONCodec, NestedFailureCarriesTheFullPath) {
    std::string json = R"({"devices":[{"id":1,"name":"n","platform":"p","device_id":"d"},{"id":2,"name":"n","platform":7,"device_id":"d"}],
        "used":2,"limit":3,"available":1,"subscription_active":true})";
    try {
        (void)JSONDecoder::tarn().decode<AccountDevicesResponse>(json);
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), Kind::typeMismatch);
        EXPECT_EQ(e.codingPathString(), "devices[1].platform");
        ASSERT_EQ(e.codingPath().size(), 3u);
        EXPECT_EQ(e.codingPath()[1].intValue, 1);
    }
}

TEST(JSONCodec, StringsAreEscapedAndRoundTrip) {
    std::string nasty = "q\"b\\s/\n\r\t\b\f\x01\x1f é 🙂";
    AuthTokens t{nasty, "r"};
    std::string json = JSONEncoder().encode(t);
    EXPECT_EQ(json, "{\"accessToken\":\"q\\\"b\\\\s/\\n\\r\\t\\b\\f\\u0001\\u001f é 🙂\",\"refreshToken\":\"r\"}");
    EXPECT_EQ(JSONDecoder().decode<AuthTokens>(json), t);
}

TEST(JSONCodec, EncodingInvalidUTF8FailsWithThePath) {
    AuthTokens t{"a", "bad\xc3"};
    try {
        (void)JSONEncoder().encode(t);
        FAIL();
    } catch (const EncodingError& e) {
        ASSERT_EQ(e.codingPath().size(), 1u);
        EXPECT_EQ(e.codingPath()[0].stringValue, "refreshToken");
    }
}

TEST(JSONCodec, DecodedValuesOutliveTheParserBuffer) {
    // A second decode on the same thread reuses the parser; the first result must be unaffected.
    auto first = JSONDecoder().decode<AuthTokens>(R"({"accessToken":"first-access-token-long-enough","refreshToken":"r1"})");
    auto second = JSONDecoder().decode<AuthTokens>(R"({"accessToken":"second-access-token-long-enough","refreshToken":"r2"})");
    EXPECT_EQ(first.accessToken, "first-access-token-long-enough");
    EXPECT_EQ(second.accessToken, "second-access-token-long-enough");
}

TEST(JSONCodec, EmptyBodyAcceptsAnyWellFormedDocument) {
    for (const char* doc : {"{}", R"({"ok":true})", "[]", "null", "42", "\"s\""}) {
        EXPECT_NO_THROW((void)JSONDecoder::tarn().decode<EmptyBody>(doc)) << doc;
    }
    EXPECT_THROW((void)JSONDecoder::tarn().decode<EmptyBody>("{"), DecodingError);
    EXPECT_THROW((void)JSONDecoder::tarn().decode<EmptyBody>(""), DecodingError);
    EXPECT_EQ(JSONEncoder::tarn().encode(EmptyBody{}), "{}");
}

TEST(JSONCodec, DefaultCoderWritesDatesAsSecondsSinceTwoThousandOne) {
    BotSync b{"linked", Timestamp(std::chrono::seconds(978'307'200 + 10))};
    EXPECT_EQ(JSONEncoder().encode(b), R"({"status":"linked","last_sync_at":10})");
    EXPECT_EQ(JSONDecoder().decode<BotSync>(R"({"status":"linked","last_sync_at":10})"), b);
    EXPECT_EQ(JSONEncoder::tarn().encode(b), R"({"status":"linked","last_sync_at":"2001-01-01T00:00:10Z"})");
}

}  // namespace
}  // namespace tarn
