// Parses arbitrary text with every timestamp reader. A parsed instant must format, the formatted
// text must parse back, and formatting is stable from then on. Offsets can carry a date across
// the ends of the years 0001-9999 (to year 0 or 10000), which the readers, like the backend's
// formats, do not take; such instants are only formatted.
#include "tarn/platform/timestamp.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

void check(const std::optional<tarn::Timestamp>& t) {
    if (!t) return;
    const std::string text = tarn::formatISO8601(*t);
    if (text.front() == '+' || text.front() == '-' || text.starts_with("0000-")) return;
    auto again = tarn::parseISO8601(text);
    if (!again || tarn::formatISO8601(*again) != text) std::abort();
    (void)tarn::formatDescription(*t);
    (void)tarn::addingSeconds(*t, INT64_MAX);
    (void)tarn::addingSeconds(*t, INT64_MIN);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check(tarn::parseBackendDate(text));
    check(tarn::parseISO8601WithFraction(text));
    check(tarn::parseISO8601(text));
    check(tarn::parseSQLiteDate(text));
    return 0;
}
