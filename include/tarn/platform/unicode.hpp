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

/// Appends `scalar` (a Unicode scalar value, not a surrogate) to `out` as UTF-8.
TARN_EXPORT void appendUTF8(std::string& out, char32_t scalar);

/// utf8 with every invalid byte replaced by U+FFFD, so that it is always well-formed.
TARN_EXPORT std::string replacingInvalidUTF8(std::string_view utf8);

/// True for the characters that can drive a terminal or reorder what it shows: the C0 controls,
/// DEL, the C1 controls, U+061C, the directional marks U+200E and U+200F, the line and paragraph
/// separators, and the bidirectional embeddings, overrides and isolates.
TARN_EXPORT bool isTerminalControl(char32_t scalar);

/// Text safe for one line of a terminal: invalid bytes become U+FFFD; line feed, carriage return
/// and tab become \n, \r, \t; every other terminal control becomes \u{XXXX} (four or more hex
/// digits). Everything else, backslashes included, stays as it is.
TARN_EXPORT std::string escapingControlCharacters(std::string_view utf8);

}  // namespace tarn::unicode
