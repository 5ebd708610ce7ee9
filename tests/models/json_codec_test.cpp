// The generic codec: how malformed input, wrong types, numbers and nesting are reported.
#include "tarn/json/json.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

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
        Failure{"above_uint64", R"({"challenge_id":"c","expires_in":18446744073709551616,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"below_int64", R"({"challenge_id":"c","expires_in":-9223372036854775809,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"huge_double", R"({"challenge_id":"c","expires_in":1e300,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"beyond_double", R"({"challenge_id":"c","expires_in":1e400,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        // A double would round these to whole numbers; their text says otherwise.
        Failure{"fraction_near_one", R"({"challenge_id":"c","expires_in":1.0000000000000001,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"fraction_near_2_53", R"({"challenge_id":"c","expires_in":9007199254740993.5,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"fraction_at_int64_min", R"({"challenge_id":"c","expires_in":-9223372036854775808.5,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        Failure{"tiny_fraction", R"({"challenge_id":"c","expires_in":1e-400,"resend_after":1})", Kind::dataCorrupted, "expires_in"},
        // A number nobody reads does not hide a failure of the members that are read.
        Failure{"big_number_beside_wrong_type", R"({"zz":1e400,"challenge_id":1,"expires_in":1,"resend_after":1})", Kind::typeMismatch, "challenge_id"},
        Failure{"big_number_then_malformed", R"({"zz":18446744073709551616,"challenge_id":"c","expires_in":1,"resend_after":1)", Kind::dataCorrupted, ""},
        Failure{"big_number_then_bad_escape", R"({"zz":1e400,"challenge_id":"\x","expires_in":1,"resend_after":1})", Kind::dataCorrupted, ""},
        Failure{"duplicate_key", R"({"challenge_id":"a","challenge_id":"b","expires_in":1,"resend_after":1})", Kind::dataCorrupted, "challenge_id"},
        Failure{"first_failure_in_key_order", R"({"resend_after":"x","expires_in":"y","challenge_id":"c"})", Kind::typeMismatch, "expires_in"},
        Failure{"deep_nesting", std::string(5000, '[') + std::string(5000, ']'), Kind::dataCorrupted, ""}),
    [](const auto& p) { return p.param.name; });

TEST(JSONCodec, IntegersAreReadExactlyFromTheirText) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"-9223372036854775808", INT64_MIN},      {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808.0", INT64_MIN},    {"9223372036854775807.000", INT64_MAX},
        {"92233720368547758.07e2", INT64_MAX},    {"-92233720368547758080e-1", INT64_MIN},
        {"6e1", 60},  {"1E2", 100},  {"1.0", 1},  {"1.5e1", 15},  {"120e-1", 12},  {"0.05e2", 5},
        {"-0", 0},    {"0e400", 0},  {"-0.0e-5", 0},  {"9007199254740993", 9007199254740993},
    };
    for (const auto& [text, value] : cases) {
        auto c = JSONDecoder::tarn().decode<EmailCodeChallenge>(
            std::string(R"({"challenge_id":"c","expires_in":)") + text + R"(,"resend_after":0})");
        EXPECT_EQ(c.expiresIn, value) << text;
    }
    EmailCodeChallenge c{"c", INT64_MIN, 60};
    EXPECT_EQ(JSONEncoder::tarn().encode(c), R"({"challenge_id":"c","expires_in":-9223372036854775808,"resend_after":60})");
}

TEST(JSONCodec, UnknownMembersAreIgnoredWhateverTheirShape) {
    for (const char* extra : {R"("x":[{"y":null}])", R"("z":{"accessToken":1})", R"("zz":18446744073709551616)",
                              R"("zz":1e400)", R"("zz":[-1e400,123456789012345678901234567890.5])",
                              R"("zz":{"n":-9223372036854775809})"}) {
        std::string json = std::string("{") + extra + R"(,"accessToken":"a","refreshToken":"r",)" + extra + "}";
        EXPECT_EQ(JSONDecoder().decode<AuthTokens>(json), (AuthTokens{"a", "r"})) << json;
    }
}

TEST(JSONCodec, StringsAreEscapedAndRoundTrip) {
    std::string nasty = "q\"b\\s/\n\r\t\b\f\x01\x1f é 🙂";
    AuthTokens t{nasty, "r"};
    std::string json = JSONEncoder().encode(t);
    EXPECT_EQ(json, "{\"accessToken\":\"q\\\"b\\\\s/\\n\\r\\t\\b\\f\\u0001\\u001f é 🙂\",\"refreshToken\":\"r\"}");
    EXPECT_EQ(JSONDecoder().decode<AuthTokens>(json), t);
    // Legal in JSON, but escaped so that a document shown in a terminal cannot drive or reorder it.
    EXPECT_EQ(json::stringLiteral("\x7f\u0085\u061c\u202e\u00e9\u00c2"), "\"\\u007f\\u0085\\u061c\\u202e\u00e9\u00c2\"");
}

TEST(JSONCodec, DecodedValuesOutliveTheParserBuffer) {
    // A second decode on the same thread reuses the parser; the first result must be unaffected.
    auto first = JSONDecoder().decode<AuthTokens>(R"({"accessToken":"first-access-token-long-enough","refreshToken":"r1"})");
    auto second = JSONDecoder().decode<AuthTokens>(R"({"accessToken":"second-access-token-long-enough","refreshToken":"r2"})");
    EXPECT_EQ(first.accessToken, "first-access-token-long-enough");
    EXPECT_EQ(second.accessToken, "second-access-token-long-enough");
}

TEST(JSONCodec, EmptyBodyAcceptsAnyWellFormedDocument) {
    for (const char* doc : {"{}", R"({"ok":true})", "[]", "null", "42", "\"s\"", "[18446744073709551616]", "1e400",
                            R"({"a":[-1e999,{"b":1.0000000000000001}],"c":"\ud83d\ude42"})"}) {
        EXPECT_NO_THROW((void)JSONDecoder::tarn().decode<EmptyBody>(doc)) << doc;
    }
    // Numbers the parser cannot hold must not let a malformed document through.
    for (const char* doc : {"{", "", "[1e400,]", "[1e400]]", "[18446744073709551616", "[1e400, 01]", "[1e400, 1.]",
                            "[1e400, -]", "[1e400, tru]", R"([1e400, "\ud800"])", "[1e400, \"\x01\"]",
                            R"({"a":1e400 "b":1})", "1e400 1", "[1e400, \"\xff\"]"}) {
        EXPECT_THROW((void)JSONDecoder::tarn().decode<EmptyBody>(doc), DecodingError) << doc;
    }
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
