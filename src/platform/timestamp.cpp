#include "tarn/platform/timestamp.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace tarn {
namespace {

using std::int64_t;

constexpr int64_t microsPerSecond = 1'000'000;
constexpr int64_t secondsPerDay = 86'400;

// Howard Hinnant's civil-calendar algorithms. Parsing reads years 1 to 9999 only, so the days of a
// date are counted in unsigned arithmetic, where each division by a constant is a multiply; the
// way back works in 64 bits so that every instant a Timestamp can hold (about +-292,000 years)
// converts without overflow.
constexpr int64_t daysFromCivil(std::uint32_t y, std::uint32_t m, std::uint32_t d) {
    y -= m <= 2;
    const std::uint32_t era = y / 400;
    const std::uint32_t yoe = y - era * 400;
    const std::uint32_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return int64_t{era} * 146097 + doe - 719468;
}

struct CivilDate {
    int64_t year;
    int month;
    int day;
};

constexpr CivilDate civilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2), month, day};
}

static_assert(daysFromCivil(1970, 1, 1) == 0);
static_assert(civilFromDays(daysFromCivil(2024, 2, 29)).day == 29);

constexpr bool isLeapYear(std::uint32_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

constexpr int daysInMonth(std::uint32_t year, int month) {
    constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : lengths[month - 1];
}

// Reads fixed-width fields; only ASCII digits count, so no locale can change what is accepted.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool digits(int width, int& out) {
        if (text_.size() - pos_ < static_cast<std::size_t>(width)) return false;
        int value = 0;
        for (int i = 0; i < width; ++i) {
            const char c = text_[pos_ + static_cast<std::size_t>(i)];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        pos_ += static_cast<std::size_t>(width);
        out = value;
        return true;
    }

    bool literal(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool isDigitNext() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
    char next() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void skip() { ++pos_; }
    bool atEnd() const { return pos_ == text_.size(); }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

struct DateTimeFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int64_t micros = 0;
    int offsetMinutes = 0;
};

// "yyyy-MM-dd<separator>HH:mm:ss"
bool readDateTime(Cursor& in, char separator, DateTimeFields& f) {
    return in.digits(4, f.year) && in.literal('-') && in.digits(2, f.month) && in.literal('-') &&
           in.digits(2, f.day) && in.literal(separator) && in.digits(2, f.hour) && in.literal(':') &&
           in.digits(2, f.minute) && in.literal(':') && in.digits(2, f.second);
}

// One or more digits; digits past the sixth are below a microsecond and are dropped (rounding
// down, which for a non-negative fraction is the floor).
bool readFraction(Cursor& in, int64_t& micros) {
    if (!in.isDigitNext()) return false;
    int64_t value = 0;
    int count = 0;
    while (in.isDigitNext()) {
        if (count < 6) {
            value = value * 10 + (in.next() - '0');
            ++count;
        }
        in.skip();
    }
    for (; count < 6; ++count) value *= 10;
    micros = value;
    return true;
}

bool readZone(Cursor& in, int& offsetMinutes) {
    if (in.literal('Z')) {
        offsetMinutes = 0;
        return true;
    }
    const char sign = in.next();
    if (sign != '+' && sign != '-') return false;
    in.skip();
    int hours = 0, minutes = 0;
    if (!(in.digits(2, hours) && in.literal(':') && in.digits(2, minutes))) return false;
    if (hours > 23 || minutes > 59) return false;
    offsetMinutes = (sign == '-' ? -1 : 1) * (hours * 60 + minutes);
    return true;
}

std::optional<Timestamp> toTimestamp(const DateTimeFields& f) {
    // Leap seconds (":60") are refused: the system clock does not count them.
    if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12 || f.day < 1 ||
        f.day > daysInMonth(static_cast<std::uint32_t>(f.year), f.month) || f.hour > 23 || f.minute > 59 ||
        f.second > 59) {
        return std::nullopt;
    }
    const int64_t seconds = daysFromCivil(static_cast<std::uint32_t>(f.year), static_cast<std::uint32_t>(f.month),
                                          static_cast<std::uint32_t>(f.day)) * secondsPerDay + f.hour * 3600 +
                            f.minute * 60 + f.second - int64_t{f.offsetMinutes} * 60;
    return Timestamp{std::chrono::microseconds{seconds * microsPerSecond + f.micros}};
}

// The backend writes its instants as "yyyy-MM-ddTHH:mm:ss.ffffffZ", and a device list carries one
// per device. That one layout is checked a word at a time and read by fixed positions, without the
// general reader's cursor and its bounds check at every character; the range checks after it are
// the same. Text of any other length or punctuation is left to the general reader.
bool readBackendLayout(std::string_view text, DateTimeFields& f) {
    static constexpr char layout[] = "0000-00-00T00:00:00.000000Z";
    static_assert(sizeof layout == 28);
    if (text.size() != 27) return false;
    const char* p = text.data();
    // XOR with the layout leaves 0 to 9 in a digit's byte and 0 in a matching separator's; bytes of
    // 10 or more (the high bit set by adding 0x76, or set already) fail. Four words cover the 27
    // bytes, the last overlapping the third.
    constexpr std::uint64_t high = 0x8080808080808080, plus = 0x7676767676767676;
    auto word = [](const char* at) {
        std::uint64_t w;
        std::memcpy(&w, at, 8);
        return w;
    };
    std::uint64_t bad = 0;
    std::uint64_t separators = 0;
    for (std::size_t at : {std::size_t{0}, std::size_t{8}, std::size_t{16}, std::size_t{19}}) {
        const std::uint64_t x = word(p + at) ^ word(layout + at);
        bad |= (x | (x + plus)) & high;
        std::uint64_t sepMask = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            if (layout[at + i] != '0') sepMask |= std::uint64_t{0xff} << (8 * i);
        }
        separators |= x & sepMask;
    }
    if (bad != 0 || separators != 0) return false;
    auto number = [p](std::size_t from, std::size_t width) {
        int value = 0;
        for (std::size_t i = from; i < from + width; ++i) value = value * 10 + (p[i] - '0');
        return value;
    };
    f.year = number(0, 4);
    f.month = number(5, 2);
    f.day = number(8, 2);
    f.hour = number(11, 2);
    f.minute = number(14, 2);
    f.second = number(17, 2);
    f.micros = number(20, 6);
    f.offsetMinutes = 0;
    return true;
}

enum class FractionRule { required, forbidden };

std::optional<Timestamp> parseInternetDateTime(std::string_view text, FractionRule rule) {
    Cursor in(text);
    DateTimeFields f;
    if (!readDateTime(in, 'T', f)) return std::nullopt;
    if (rule == FractionRule::required && !(in.literal('.') && readFraction(in, f.micros))) return std::nullopt;
    if (!readZone(in, f.offsetMinutes) || !in.atEnd()) return std::nullopt;
    return toTimestamp(f);
}

void appendPadded(std::string& out, int64_t value, int width) {
    char buffer[24];
    int length = 0;
    // value is never negative here; build the digits backwards.
    do {
        buffer[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = length; i < width; ++i) out.push_back('0');
    while (length > 0) out.push_back(buffer[--length]);
}

// Years 0...9999 take the usual four digits; the few instants a Timestamp can hold beyond that
// get ISO 8601's expanded form ("+10000", "-0001") rather than a wrong or truncated year.
void appendYear(std::string& out, int64_t year) {
    if (year < 0) {
        out.push_back('-');
        appendPadded(out, -year, 4);
    } else {
        if (year > 9999) out.push_back('+');
        appendPadded(out, year, 4);
    }
}

// "yyyy-MM-dd<separator>HH:mm:ss" in UTC, whole seconds taken by flooring.
std::string formatDateTime(Timestamp t, char separator) {
    const int64_t micros = t.time_since_epoch().count();
    int64_t seconds = micros / microsPerSecond;
    if (micros % microsPerSecond < 0) --seconds;
    int64_t days = seconds / secondsPerDay;
    int64_t secondOfDay = seconds % secondsPerDay;
    if (secondOfDay < 0) {
        --days;
        secondOfDay += secondsPerDay;
    }
    const CivilDate date = civilFromDays(days);

    std::string out;
    out.reserve(32);
    appendYear(out, date.year);
    out.push_back('-');
    appendPadded(out, date.month, 2);
    out.push_back('-');
    appendPadded(out, date.day, 2);
    out.push_back(separator);
    appendPadded(out, secondOfDay / 3600, 2);
    out.push_back(':');
    appendPadded(out, secondOfDay / 60 % 60, 2);
    out.push_back(':');
    appendPadded(out, secondOfDay % 60, 2);
    return out;
}

}  // namespace

std::optional<Timestamp> parseISO8601WithFraction(std::string_view text) {
    if (DateTimeFields f; readBackendLayout(text, f)) return toTimestamp(f);
    return parseInternetDateTime(text, FractionRule::required);
}

std::optional<Timestamp> parseISO8601(std::string_view text) {
    return parseInternetDateTime(text, FractionRule::forbidden);
}

std::optional<Timestamp> parseSQLiteDate(std::string_view text) {
    Cursor in(text);
    DateTimeFields f;
    if (!readDateTime(in, ' ', f) || !in.atEnd()) return std::nullopt;
    return toTimestamp(f);
}

std::optional<Timestamp> parseBackendDate(std::string_view text) {
    if (auto t = parseISO8601WithFraction(text)) return t;
    if (auto t = parseISO8601(text)) return t;
    return parseSQLiteDate(text);
}

std::string formatISO8601(Timestamp t) { return formatDateTime(t, 'T') + 'Z'; }

std::string formatDescription(Timestamp t) { return formatDateTime(t, ' ') + " +0000"; }

Timestamp addingSeconds(Timestamp t, std::int64_t seconds) {
    constexpr int64_t maxMicros = std::numeric_limits<int64_t>::max();
    constexpr int64_t minMicros = std::numeric_limits<int64_t>::min();
    constexpr Timestamp latest{std::chrono::microseconds{maxMicros}};
    constexpr Timestamp earliest{std::chrono::microseconds{minMicros}};
    // Whole seconds either way of the epoch that the microsecond count can reach, rounded outwards.
    constexpr int64_t reach = maxMicros / microsPerSecond + 1;

    // Far enough that no starting point can bring the sum back into range.
    if (seconds > 2 * reach) return latest;
    if (seconds < -2 * reach) return earliest;

    // Work in whole seconds plus a non-negative remainder so that a start near one end and a step
    // towards the other never overflow on the way to a result that is in range.
    const int64_t base = t.time_since_epoch().count();
    int64_t baseSeconds = base / microsPerSecond;
    int64_t remainder = base % microsPerSecond;
    if (remainder < 0) {
        --baseSeconds;
        remainder += microsPerSecond;
    }
    const int64_t total = baseSeconds + seconds;  // |total| <= 3 * reach: no overflow
    if (total >= 0) {
        if (total > maxMicros / microsPerSecond) return latest;
        const int64_t whole = total * microsPerSecond;
        return whole > maxMicros - remainder ? latest : Timestamp{std::chrono::microseconds{whole + remainder}};
    }
    // Negative: fold the remainder into the next second up so that the product stays closer to zero.
    const int64_t up = remainder > 0 ? total + 1 : total;
    const int64_t below = remainder > 0 ? remainder - microsPerSecond : 0;  // in (-1 s, 0]
    if (up < minMicros / microsPerSecond) return earliest;
    const int64_t whole = up * microsPerSecond;
    return whole < minMicros - below ? earliest : Timestamp{std::chrono::microseconds{whole + below}};
}

}  // namespace tarn
