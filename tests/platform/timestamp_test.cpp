#include "tarn/platform/timestamp.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace tarn {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Built from std::chrono's own calendar so the expectations do not share code with the parser.
Timestamp at(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0, int us = 0) {
    return Timestamp{sys_days{year{y} / month{mo} / day{d}}} + hours{h} + minutes{mi} + seconds{s} + microseconds{us};
}

constexpr Timestamp latest{microseconds{std::numeric_limits<std::int64_t>::max()}};
constexpr Timestamp earliest{microseconds{std::numeric_limits<std::int64_t>::min()}};

TEST(BackendDate, AcceptsEachFormAsTheSameInstant) {
    const struct {
        const char* text;
        Timestamp expected;
    } cases[] = {
        {"2024-05-01T12:00:00.123Z", at(2024, 5, 1, 12, 0, 0, 123000)},
        {"2024-05-01T12:00:00Z", at(2024, 5, 1, 12)},
        {"2024-05-01T15:00:00+03:00", at(2024, 5, 1, 12)},
        {"2024-05-01 12:00:00", at(2024, 5, 1, 12)},
        {"2024-05-01T12:00:00-00:00", at(2024, 5, 1, 12)},
        {"2024-05-01T12:00:00.1Z", at(2024, 5, 1, 12, 0, 0, 100000)},
        {"2024-05-01T12:00:00.000001Z", at(2024, 5, 1, 12, 0, 0, 1)},
        // Digits below a microsecond are dropped, never rounded up into the next second.
        {"2024-05-01T12:00:00.9999999999Z", at(2024, 5, 1, 12, 0, 0, 999999)},
        {"2024-05-01T12:00:00.5+01:30", at(2024, 5, 1, 10, 30, 0, 500000)},
        // Offsets that move the instant across midnight, a month and a year.
        {"2024-05-01T01:00:00+03:00", at(2024, 4, 30, 22)},
        {"2024-03-01T00:30:00+01:00", at(2024, 2, 29, 23, 30)},
        {"2024-12-31T23:30:00-01:00", at(2025, 1, 1, 0, 30)},
        {"2024-05-01T00:00:00+23:59", at(2024, 4, 30, 0, 1)},
        // Leap days and the ends of the four-digit range.
        {"2024-02-29T00:00:00Z", at(2024, 2, 29)},
        {"2000-02-29 00:00:00", at(2000, 2, 29)},
        {"0001-01-01T00:00:00Z", at(1, 1, 1)},
        {"9999-12-31T23:59:59.999999Z", at(9999, 12, 31, 23, 59, 59, 999999)},
        {"1969-12-31T23:59:59.5Z", Timestamp{-500ms}},
        {"1970-01-01 00:00:00", Timestamp{}},
        // The backend's own layout, six digits of fraction and Z, read by fixed positions.
        {"2024-05-01T12:34:56.123456Z", at(2024, 5, 1, 12, 34, 56, 123456)},
        {"0001-01-01T00:00:00.000000Z", at(1, 1, 1)},
        {"1969-12-31T23:59:59.999999Z", Timestamp{-1us}},
        {"2000-02-29T23:59:59.000001Z", at(2000, 2, 29, 23, 59, 59, 1)},
        // Same length, but an offset instead of Z: not the fixed layout, still a date.
        {"2024-05-01T15:00:00.5+03:00", at(2024, 5, 1, 12, 0, 0, 500000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseBackendDate(c.text), c.expected);
    }
}

TEST(BackendDate, RejectsEverythingElse) {
    const char* cases[] = {
        "", "2024-05-01", "01.05.2024 12:00", "2024-05-01T12:00", "2024-05-01 12:00",
        // zone missing, or in a form the backend does not send
        "2024-05-01T12:00:00", "2024-05-01T12:00:00.123", "2024-05-01T12:00:00+0300", "2024-05-01T12:00:00+03",
        "2024-05-01T12:00:00 Z", "2024-05-01t12:00:00z", "2024-05-01 12:00:00Z", "2024-05-01 12:00:00.123",
        // fraction without digits, trailing or leading garbage
        "2024-05-01T12:00:00.Z", "2024-05-01T12:00:00Zjunk", "2024-05-01T12:00:00.12Z ", "2024-05-01 12:00:00 ",
        " 2024-05-01 12:00:00", "2024-05-01T12:00:00.1x2Z",
        // fields out of range
        "2024-13-01T12:00:00Z", "2024-00-01T12:00:00Z", "2024-05-00T12:00:00Z", "2024-02-30T12:00:00Z",
        "2023-02-29 12:00:00", "1900-02-29 12:00:00", "2024-04-31 12:00:00", "2024-05-01T24:00:00Z",
        "2024-05-01T12:60:00Z", "2024-05-01T12:00:60Z", "2024-05-01T12:00:00+24:00", "2024-05-01T12:00:00+03:60",
        "0000-01-01T00:00:00Z",
        // fields not of fixed width, signs, non-ASCII digits
        "2024-5-01T12:00:00Z", "2024-05-1T12:00:00Z", "02024-05-01T12:00:00Z", "24-05-01T12:00:00Z",
        "2024-05-01T1:00:00Z", "+2024-05-01T12:00:00Z", "-2024-05-01T12:00:00Z", "2024-05-01T12:00:00+3:00",
        ("\xef\xbc\x92" "024-05-01 12:00:00"),  // full-width digit two
        // the backend's fixed layout with one field wrong, out of range or just past the digits
        "2024-05-01T12:00:00.12345xZ", "2024-0a-01T12:00:00.123456Z", "2024-05-01T12:00:/0.000000Z",
        "2024-05-01T1::00:00.000000Z", "2024-02-30T12:00:00.000000Z", "2023-02-29T12:00:00.000000Z",
        "2024-05-01T24:00:00.000000Z", "2024-05-01T12:60:00.000000Z", "2024-05-01T12:00:60.000000Z",
        "2024-13-01T12:00:00.000000Z", "0000-01-01T00:00:00.000000Z", "2024-05-01T12:00:00.123456z",
        "2024-05-01T12:00:00,123456Z", "2024-05-01T12:00:00.1234567", "2024-05-01 12:00:00.123456Z",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseBackendDate(text), std::nullopt);
    }
    // A NUL byte inside the view must end the match, not the string.
    EXPECT_EQ(parseBackendDate(std::string_view("2024-05-01 12:00:00\0", 20)), std::nullopt);
}

TEST(BackendDate, EachParserTakesOnlyItsOwnForm) {
    const struct {
        const char* text;
        bool withFraction, withoutFraction, sqlite;
    } cases[] = {
        {"2024-05-01T12:00:00.123Z", true, false, false},
        {"2024-05-01T12:00:00Z", false, true, false},
        {"2024-05-01T12:00:00+03:00", false, true, false},
        {"2024-05-01 12:00:00", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseISO8601WithFraction(c.text).has_value(), c.withFraction);
        EXPECT_EQ(parseISO8601(c.text).has_value(), c.withoutFraction);
        EXPECT_EQ(parseSQLiteDate(c.text).has_value(), c.sqlite);
    }
}

TEST(TimestampFormat, WritesWholeSecondsInUTCThatParseBack) {
    const struct {
        Timestamp t;
        const char* iso;
        const char* description;
    } cases[] = {
        {Timestamp{}, "1970-01-01T00:00:00Z", "1970-01-01 00:00:00 +0000"},
        {at(2024, 5, 1, 12, 0, 0, 999999), "2024-05-01T12:00:00Z", "2024-05-01 12:00:00 +0000"},
        {Timestamp{-1us}, "1969-12-31T23:59:59Z", "1969-12-31 23:59:59 +0000"},
        {Timestamp{-1s}, "1969-12-31T23:59:59Z", "1969-12-31 23:59:59 +0000"},
        {at(2024, 2, 29, 23, 59, 59), "2024-02-29T23:59:59Z", "2024-02-29 23:59:59 +0000"},
        {at(1, 1, 1), "0001-01-01T00:00:00Z", "0001-01-01 00:00:00 +0000"},
        {at(9999, 12, 31, 23, 59, 59, 999999), "9999-12-31T23:59:59Z", "9999-12-31 23:59:59 +0000"},
        // Outside four digits the year is written in the expanded form instead of being cut.
        {at(10000, 1, 1), "+10000-01-01T00:00:00Z", "+10000-01-01 00:00:00 +0000"},
        {at(0, 12, 31, 23, 59, 59), "0000-12-31T23:59:59Z", "0000-12-31 23:59:59 +0000"},
        {at(-1, 1, 1), "-0001-01-01T00:00:00Z", "-0001-01-01 00:00:00 +0000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.iso);
        EXPECT_EQ(formatISO8601(c.t), c.iso);
        EXPECT_EQ(formatDescription(c.t), c.description);
        if (c.t >= at(1, 1, 1) && c.t < at(10000, 1, 1)) {  // the parsers' four-digit years
            EXPECT_EQ(parseBackendDate(c.iso), floor<seconds>(c.t));
            EXPECT_EQ(parseISO8601(c.iso), floor<seconds>(c.t));
        }
    }
}

TEST(TimestampFormat, ExtremesOfTheRangeFormatWithoutFailing) {
    EXPECT_EQ(formatISO8601(latest), "+294247-01-10T04:00:54Z");
    EXPECT_EQ(formatISO8601(earliest), "-290308-12-21T19:59:05Z");
}

TEST(AddingSeconds, SaturatesInsteadOfOverflowing) {
    constexpr auto maxSeconds = std::numeric_limits<std::int64_t>::max();
    constexpr auto minSeconds = std::numeric_limits<std::int64_t>::min();
    const struct {
        Timestamp t;
        std::int64_t seconds;
        Timestamp expected;
    } cases[] = {
        {Timestamp{}, 60, Timestamp{60s}},
        {Timestamp{500ms}, -1, Timestamp{-500ms}},
        {at(2024, 5, 1), 86400, at(2024, 5, 2)},
        {Timestamp{}, maxSeconds, latest},
        {Timestamp{}, minSeconds, earliest},
        {latest, 1, latest},
        {earliest, -1, earliest},
        {latest, 0, latest},
        {earliest, maxSeconds, latest},
        {latest, minSeconds, earliest},
        // Steps larger than half the range that still end inside it.
        {earliest, 9223372036855, Timestamp{224192us}},
        {latest, -9223372036855, Timestamp{-224193us}},
        {Timestamp{-1us}, -9223372036854, Timestamp{microseconds{-9223372036854000001}}},
        {Timestamp{1us}, 9223372036854, Timestamp{microseconds{9223372036854000001}}},
        {Timestamp{775808us}, 9223372036854, latest},
        {Timestamp{-775809us}, -9223372036854, earliest},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.t.time_since_epoch().count() << "us + " << c.seconds << "s");
        EXPECT_EQ(addingSeconds(c.t, c.seconds), c.expected);
    }
}

}  // namespace
}  // namespace tarn
