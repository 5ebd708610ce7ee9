#include "tarn/platform/unicode.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace tarn::unicode {
namespace {

constexpr char32_t replacement = 0xFFFD;
constexpr char32_t maxScalar = 0x10FFFF;

struct Decoded {
    char32_t scalar;
    std::size_t length;
    bool valid;
};

// One scalar at pos, by the well-formed byte sequences of Unicode's table 3-7 (no overlong forms,
// no surrogates, nothing above U+10FFFF). Anything else is one invalid byte, read as U+FFFD: ICU
// would skip the longest ill-formed prefix at once, but counts and replacements go byte by byte.
Decoded decodeAt(std::string_view s, std::size_t pos) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
    std::size_t next = pos;
    const std::size_t length = s.size();
    UChar32 c = 0;
    U8_NEXT(bytes, next, length, c);
    if (c < 0) return {replacement, 1, false};
    return {static_cast<char32_t>(c), next - pos, true};
}

}  // namespace

void appendUTF8(std::string& out, char32_t scalar) {
    char bytes[U8_MAX_LENGTH];
    std::size_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, static_cast<UChar32>(scalar));
    out.append(bytes, length);
}

namespace {

std::u16string toUTF16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Decoded d = decodeAt(utf8, pos);
        pos += d.length;
        if (d.scalar < 0x10000) {
            out.push_back(static_cast<char16_t>(d.scalar));
        } else {
            out.push_back(static_cast<char16_t>(U16_LEAD(d.scalar)));
            out.push_back(static_cast<char16_t>(U16_TRAIL(d.scalar)));
        }
    }
    return out;
}

std::string fromUTF16(const std::u16string& utf16) {
    std::string out;
    out.reserve(utf16.size());
    const auto length = static_cast<int32_t>(utf16.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c = 0;
        U16_NEXT(utf16.data(), i, length, c);
        // ICU's output is well-formed; an unpaired surrogate would still not leak into UTF-8.
        appendUTF8(out, U_IS_SURROGATE(c) ? replacement : static_cast<char32_t>(c));
    }
    return out;
}

bool isWhitespace(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

}  // namespace

std::string lowercased(std::string_view utf8) {
    const std::u16string source = toUTF16(utf8);
    // ICU counts in int32_t; lower-casing can grow the text (U+0130 becomes two code units).
    constexpr std::size_t limit = std::numeric_limits<int32_t>::max() / 3;
    if (source.size() > limit) throw std::length_error("tarn::unicode::lowercased: text too long");
    const auto sourceLength = static_cast<int32_t>(source.size());

    std::u16string result(source.size() + source.size() / 2 + 8, u'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        // "" is the root locale: the same mapping everywhere, whatever the process locale is.
        const int32_t length = u_strToLower(reinterpret_cast<UChar*>(result.data()), static_cast<int32_t>(result.size()),
                                            reinterpret_cast<const UChar*>(source.data()), sourceLength, "", &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            result.assign(static_cast<std::size_t>(length), u'\0');
            continue;
        }
        if (U_FAILURE(status)) throw std::runtime_error(std::string("tarn::unicode::lowercased: ") + u_errorName(status));
        result.resize(static_cast<std::size_t>(length));
        return fromUTF16(result);
    }
    throw std::runtime_error("tarn::unicode::lowercased: lower-case mapping did not fit");
}

std::string trimmingWhitespaceAndNewlines(std::string_view utf8) {
    std::size_t first = utf8.size();  // start of the first scalar that stays
    std::size_t last = 0;             // end of the last scalar that stays
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Decoded d = decodeAt(utf8, pos);
        if (!isWhitespace(d.scalar)) {
            if (first == utf8.size()) first = pos;
            last = pos + d.length;
        }
        pos += d.length;
    }
    if (first >= last) return {};
    return std::string(utf8.substr(first, last - first));
}

bool isNumeric(char32_t scalar) {
    if (scalar > maxScalar) return false;
    return u_getIntPropertyValue(static_cast<UChar32>(scalar), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

std::string keepingNumerics(std::string_view utf8) {
    std::string out;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Decoded d = decodeAt(utf8, pos);
        if (d.valid && isNumeric(d.scalar)) out.append(utf8.substr(pos, d.length));
        pos += d.length;
    }
    return out;
}

bool isValidUTF8(std::string_view utf8) {
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Decoded d = decodeAt(utf8, pos);
        if (!d.valid) return false;
        pos += d.length;
    }
    return true;
}

std::size_t scalarCount(std::string_view utf8) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < utf8.size(); ++count) pos += decodeAt(utf8, pos).length;
    return count;
}

std::u32string toScalars(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Decoded d = decodeAt(utf8, pos);
        out.push_back(d.scalar);
        pos += d.length;
    }
    return out;
}

std::string replacingInvalidUTF8(std::string_view utf8) {
    if (isValidUTF8(utf8)) return std::string(utf8);
    std::string out;
    out.reserve(utf8.size() + 8);
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Decoded d = decodeAt(utf8, pos);
        if (d.valid) {
            out.append(utf8.substr(pos, d.length));
        } else {
            appendUTF8(out, replacement);
        }
        pos += d.length;
    }
    return out;
}

bool isTerminalControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string escapingControlCharacters(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Decoded d = decodeAt(utf8, pos);
        if (!d.valid) {
            appendUTF8(out, replacement);
        } else if (!isTerminalControl(d.scalar)) {
            out.append(utf8.substr(pos, d.length));
        } else if (d.scalar == '\n') {
            out += "\\n";
        } else if (d.scalar == '\r') {
            out += "\\r";
        } else if (d.scalar == '\t') {
            out += "\\t";
        } else {
            char buffer[12];
            std::snprintf(buffer, sizeof buffer, "\\u{%04X}", static_cast<unsigned>(d.scalar));
            out += buffer;
        }
        pos += d.length;
    }
    return out;
}

}  // namespace tarn::unicode
