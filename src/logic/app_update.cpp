#include "tarn/logic/app_update.hpp"

#include "tarn/platform/ascii.hpp"
#include "tarn/platform/unicode.hpp"

#include <limits>

namespace tarn {

std::string AppUpdateRequirement::description() const {
    const char* name = kind_ == Kind::optional ? "optional" : kind_ == Kind::required ? "required" : "upToDate";
    if (!release_) return name;
    return std::string(name) + "(version: " + release_->version + ", build: " + std::to_string(release_->build) + ")";
}

namespace {

// A decimal run of ASCII digits as a non-negative int64; nullopt for any other character or
// a value beyond the range.
std::optional<std::int64_t> parseDecimal(std::u32string_view digits) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (char32_t c : digits) {
        if (c < U'0' || c > U'9') return std::nullopt;
        const auto digit = static_cast<std::int64_t>(c - U'0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::optional<std::vector<std::int64_t>> AppUpdatePolicy::components(std::string_view version) {
    std::vector<std::int64_t> result;
    // "." is a single byte that never occurs inside a multi-byte UTF-8 sequence, so splitting the
    // bytes splits the characters.
    std::size_t start = 0;
    while (true) {
        const auto end = version.find('.', start);
        const auto piece = unicode::toScalars(version.substr(start, end == std::string_view::npos ? end : end - start));
        std::size_t run = 0;
        while (run < piece.size() && unicode::isNumeric(piece[run])) ++run;
        if (run == 0) return std::nullopt;
        // The numeric run may hold digits of other scripts, fractions or numerals; only ASCII
        // decimal digits make a number, anything else makes the whole version unreadable.
        const auto value = parseDecimal(std::u32string_view(piece).substr(0, run));
        if (!value) return std::nullopt;
        result.push_back(*value);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return result;
}

std::optional<std::strong_ordering> AppUpdatePolicy::compare(std::string_view left, std::string_view right) {
    const auto l = components(left);
    const auto r = components(right);
    if (!l || !r) return std::nullopt;
    const auto count = std::max(l->size(), r->size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t a = i < l->size() ? (*l)[i] : 0;
        const std::int64_t b = i < r->size() ? (*r)[i] : 0;
        if (a != b) return a <=> b;
    }
    return std::strong_ordering::equal;
}

AppUpdateRequirement AppUpdatePolicy::evaluate(std::string_view currentVersion, std::int64_t currentBuild,
                                               const IOSAppRelease& release) {
    // Never propose an update whose link would be opened over plain HTTP (or anything else).
    auto scheme = release.installURL.scheme();
    if (!scheme || !ascii::equalsIgnoringCase(*scheme, "https")) return AppUpdateRequirement::upToDate();

    // An unreadable minimum decides nothing; the release comparison below still applies.
    if (compare(currentVersion, release.minimumSupportedVersion) == std::strong_ordering::less) {
        return AppUpdateRequirement::required(release);
    }

    const auto c = compare(currentVersion, release.version);
    if (!c) return AppUpdateRequirement::upToDate();
    if (*c == std::strong_ordering::less) return AppUpdateRequirement::optional(release);
    if (*c == std::strong_ordering::equal && currentBuild < release.build) {
        return AppUpdateRequirement::optional(release);
    }
    return AppUpdateRequirement::upToDate();
}

}  // namespace tarn
