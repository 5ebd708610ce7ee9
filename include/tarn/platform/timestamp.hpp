// Instants as the library exchanges them: microsecond precision, UTC, and the text forms the
// backend uses. Parsing never throws; it answers nullopt for text it does not accept.
#pragma once

#include "tarn/export.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

using Timestamp = std::chrono::sys_time<std::chrono::microseconds>;

/// ISO 8601 internet date-time with a fraction of a second ("2024-05-01T12:00:00.123Z" or with an
/// offset such as "+03:00"); the fraction and the zone are both required.
TARN_EXPORT std::optional<Timestamp> parseISO8601WithFraction(std::string_view text);

/// ISO 8601 internet date-time without a fraction ("2024-05-01T15:00:00+03:00"); zone required.
TARN_EXPORT std::optional<Timestamp> parseISO8601(std::string_view text);

/// "yyyy-MM-dd HH:mm:ss" with no zone, read as UTC.
TARN_EXPORT std::optional<Timestamp> parseSQLiteDate(std::string_view text);

/// The backend's rules: with fraction, then without, then the SQLite form.
TARN_EXPORT std::optional<Timestamp> parseBackendDate(std::string_view text);

/// "2024-05-01T12:00:00Z": UTC, whole seconds (the fraction is dropped, rounding down).
TARN_EXPORT std::string formatISO8601(Timestamp t);

/// "2024-05-01 12:00:00 +0000": the plain rendering used in record descriptions.
TARN_EXPORT std::string formatDescription(Timestamp t);

/// t + seconds, saturating at the ends of the representable range instead of overflowing.
TARN_EXPORT Timestamp addingSeconds(Timestamp t, std::int64_t seconds);

}  // namespace tarn
