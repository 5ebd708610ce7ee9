// The Unicode services the library needs, done by ICU exactly as the platform defines them:
// full lower-case mapping, white-space-and-newline trimming, and the numeric character test.
// All text is UTF-8; invalid sequences are treated as U+FFFD and never crash.
#pragma once

#include "tarn/export.hpp"

#include <string>
#include <string_view>

namespace tarn::unicode {

/// Full case mapping to lower case (root locale): "ДОСТИГНУТ" -> "достигнут", "İ" -> "i̇".
TARN_EXPORT std::string lowercased(std::string_view utf8);

/// Removes leading and trailing characters that are white space or line breaks (Unicode
/// White_Space, which covers line feed, carriage return, NEL, LS, PS and the no-break spaces).
TARN_EXPORT std::string trimmingWhitespaceAndNewlines(std::string_view utf8);

/// True for characters with a Unicode numeric type (decimal digits of any script, fractions,
/// Roman numerals, ...): the "numeric" character class.
TARN_EXPORT bool isNumeric(char32_t scalar);

/// The characters of utf8 that are numeric, in their order.
TARN_EXPORT std::string keepingNumerics(std::string_view utf8);

/// True when utf8 is well-formed UTF-8.
TARN_EXPORT bool isValidUTF8(std::string_view utf8);

/// Number of Unicode scalars (invalid bytes count one each).
TARN_EXPORT std::size_t scalarCount(std::string_view utf8);

/// Decodes UTF-8 to scalars; invalid sequences become U+FFFD.
TARN_EXPORT std::u32string toScalars(std::string_view utf8);

}  // namespace tarn::unicode
