// An application's own record, coded with the coders it instantiated itself: this file sees only
// tarn/json/json.hpp, as the application's other files do, and must link and behave as the
// library's own records do (nesting, vectors, optionals, string enumerations, errors with paths).
#include "service_notice.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace notices {
namespace {

using namespace std::chrono_literals;
using tarn::DecodingError;
using tarn::JSONDecoder;
using tarn::JSONEncoder;
using Kind = DecodingError::Kind;

tarn::URL url(std::string_view text) { return *tarn::URL::parse(text); }

ServiceNotice frankfurtOutage() {
    return {*tarn::UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"),
            Level::outage,
            "Frankfurt is \"down\"",
            "Use Amsterdam meanwhile.",
            {"DE", "NL"},
            Link{"Status", url("https://status.example.com/")},
            {Link{"Amsterdam", url("tarn://servers/ams-1")}, Link{"Help", url("https://help.example.com/a?b=c")}},
            tarn::Timestamp(std::chrono::sys_days(std::chrono::year{2024} / 5 / 1) + 12h),
            2,
            false};
}

const std::string kCanonical =
    R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","level":"outage","title":"Frankfurt is \"down\"",)"
    R"("body":"Use Amsterdam meanwhile.","countries":["DE","NL"],)"
    R"("action":{"title":"Status","url":"https://status.example.com/"},)"
    R"("links":[{"title":"Amsterdam","url":"tarn://servers/ams-1"},{"title":"Help","url":"https://help.example.com/a?b=c"}],)"
    R"("published_at":"2024-05-01T12:00:00Z","priority":2,"dismissible":false})";

TEST(ApplicationRecord, DecodesInAnyMemberOrderAndEncodesInDeclaredOrder) {
    // Shuffled members, a member the record does not declare, a lower-case UUID, a fraction of a
    // second and an escaped key: what a backend may send that is still the same notice.
    const std::string sent =
        R"({"dismissible":false,"priority":2,"published_at":"2024-05-01T12:00:00.000Z","new_field":{"x":[1]},)"
        R"("links":[{"url":"tarn://servers/ams-1","title":"Amsterdam"},{"title":"Help","url":"https://help.example.com/a?b=c"}],)"
        R"("action":{"title":"Status","url":"https://status.example.com/"},"countries":["DE","NL"],)"
        R"("body":"Use Amsterdam meanwhile.","t\u0069tle":"Frankfurt is \"down\"","level":"outage",)"
        R"("id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f"})";
    EXPECT_EQ(JSONDecoder::tarn().decode<ServiceNotice>(sent), frankfurtOutage());
    EXPECT_EQ(JSONEncoder::tarn().encode(frankfurtOutage()), kCanonical);

    std::string padded = kCanonical;  // spare capacity: the parser reads the string in place
    padded.reserve(padded.size() + 64);
    EXPECT_EQ(JSONDecoder::tarn().decode<ServiceNotice>(padded), frankfurtOutage());

    const std::string list = "[" + kCanonical + "," + kCanonical + "]";
    const std::vector<ServiceNotice> two{frankfurtOutage(), frankfurtOutage()};
    EXPECT_EQ(JSONDecoder::tarn().decode<std::vector<ServiceNotice>>(list), two);
    EXPECT_EQ(JSONEncoder::tarn().encode(two), list);
}

TEST(ApplicationRecord, MissingOrNullOptionalsAreAbsentAndOmitted) {
    struct Form {
        const char* priority;
        std::optional<std::int64_t> expected;
    };
    // 1e1 is a whole number the quick route leaves to the strict one: both must give the same record.
    for (const Form& f : {Form{"", std::nullopt}, Form{R"(,"priority":null)", std::nullopt}, Form{R"(,"priority":1e1)", 10}}) {
        SCOPED_TRACE(f.priority);
        const std::string sent = R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","level":"info","title":"t","body":null,)"
                                 R"("countries":[],"links":[],"published_at":"2024-05-01 12:00:00","dismissible":true)" +
                                 std::string(f.priority) + "}";
        ServiceNotice n = JSONDecoder::tarn().decode<ServiceNotice>(sent);
        EXPECT_FALSE(n.body || n.action);
        EXPECT_EQ(n.priority, f.expected);
        n.priority.reset();
        EXPECT_EQ(JSONEncoder::tarn().encode(n),
                  R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","level":"info","title":"t","countries":[],)"
                  R"("links":[],"published_at":"2024-05-01T12:00:00Z","dismissible":true})");
    }
}

struct Refused {
    const char* name;
    std::string change;  // what replaces the marked member of the canonical notice
    std::string from;
    Kind kind;
    std::string path;
};

class ApplicationRecordFailure : public testing::TestWithParam<Refused> {};

TEST_P(ApplicationRecordFailure, IsReportedWithKindAndPath) {
    const Refused& c = GetParam();
    std::string sent = kCanonical;
    const auto at = sent.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    sent.replace(at, c.from.size(), c.change);
    try {
        (void)JSONDecoder::tarn().decode<ServiceNotice>(sent);
        FAIL() << "decoded " << sent;
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), c.kind) << e.what();
        EXPECT_EQ(e.codingPathString(), c.path) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplicationRecordFailure,
    testing::Values(
        Refused{"unknown_enum_case", R"("level":"Outage")", R"("level":"outage")", Kind::dataCorrupted, "level"},
        Refused{"wrong_type_in_vector", R"(["DE",7])", R"(["DE","NL"])", Kind::typeMismatch, "countries[1]"},
        Refused{"missing_in_nested_vector", R"({"title":"Help"})", R"({"title":"Help","url":"https://help.example.com/a?b=c"})",
                Kind::keyNotFound, "links[1].url"},
        Refused{"bad_url_in_optional_record", R"("url":"")", R"("url":"https://status.example.com/")", Kind::dataCorrupted,
                "action.url"},
        Refused{"bad_uuid", R"("id":"E621E1F8")", R"("id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F")", Kind::dataCorrupted, "id"},
        Refused{"bad_date", R"("published_at":"yesterday")", R"("published_at":"2024-05-01T12:00:00Z")", Kind::dataCorrupted,
                "published_at"},
        Refused{"duplicate_member", R"("priority":2,"priority":3)", R"("priority":2)", Kind::dataCorrupted, "priority"}),
    [](const auto& p) { return p.param.name; });

TEST(ApplicationRecord, EncodingInvalidUTF8FailsWithThePath) {
    ServiceNotice n = frankfurtOutage();
    n.links[1].title = "bad\xc3";
    try {
        (void)JSONEncoder::tarn().encode(n);
        FAIL();
    } catch (const tarn::EncodingError& e) {
        ASSERT_EQ(e.codingPath().size(), 3u);
        EXPECT_EQ(e.codingPath()[0].stringValue, "links");
        EXPECT_EQ(e.codingPath()[1].intValue, 1);
        EXPECT_EQ(e.codingPath()[2].stringValue, "title");
    }
}

}  // namespace
}  // namespace notices
