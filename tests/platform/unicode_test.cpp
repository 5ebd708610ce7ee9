#include "tarn/platform/unicode.hpp"

#include <gtest/gtest.h>

namespace tarn::unicode {
namespace {

std::string repeated(const std::string& s, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += s;
    return out;
}

TEST(Lowercased, FullMappingInTheRootLocale) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"Hello, World 42", "hello, world 42"},
        {"ДОСТИГНУТ ЛИМИТ УСТРОЙСТВ", "достигнут лимит устройств"},
        {"ЁЖ", "ёж"},
        // Capital I with dot grows into i + combining dot; plain I stays i outside a Turkish locale.
        {"\u0130", "i\u0307"},
        {"I", "i"},
        {"Stra\u00dfe", "stra\u00dfe"},
        {"\u1e9e", "\u00df"},
        // Greek capital sigma becomes final sigma at the end of a word only.
        {"\u039f\u0394\u039f\u03a3 \u03a3\u0391", "\u03bf\u03b4\u03bf\u03c2 \u03c3\u03b1"},
        {"\U00010400", "\U00010428"},  // Deseret: outside the basic plane
        // Invalid bytes come out as U+FFFD, one per byte, and never stop the mapping.
        {"\xff" "A\xe2\x82" "B", "\ufffd" "a\ufffd\ufffd" "b"},
        {"\xed\xa0\x80Z", "\ufffd\ufffd\ufffdz"},
        // Text that grows beyond the first guess at its size.
        {repeated("\u0130", 1000), repeated("i\u0307", 1000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        EXPECT_EQ(lowercased(c.text), c.expected);
    }
}

TEST(Trimming, RemovesWhiteSpaceAndLineBreaksOnlyAtTheEnds) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"", ""},
        {" \t\n\r\v\f", ""},
        {"  user@example.com \r\n", "user@example.com"},
        {"\u00a0id\u2028", "id"},
        {"\u3000\u2029\u0085x\u202f\u2007", "x"},
        {"a \u00a0\tb", "a \u00a0\tb"},
        {"\u200bx\u200b", "\u200bx\u200b"},  // zero width space is not white space
        {"\ufeffx", "\ufeffx"},
        {" \xff ", "\xff"},  // invalid bytes are kept as they stand
        {"\t\xe2\x82 x\n", "\xe2\x82 x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(trimmingWhitespaceAndNewlines(c.text), c.expected);
    }
}

TEST(Numeric, UnicodeNumericTypeOfAnyScript) {
    const struct {
        char32_t scalar;
        bool numeric;
    } cases[] = {
        {U'0', true},       {U'9', true},      {U'\u0661', true},  // Arabic-Indic one
        {U'\u06f5', true},  {U'\u0966', true}, {U'\uff11', true},  // Extended Arabic-Indic, Devanagari, full-width
        {U'\u00b2', true},  {U'\u216b', true}, {U'\u00bd', true},  // superscript two, Roman twelve, one half
        {U'\u4e09', true},  {U'\U0001d7ce', true},                 // CJK three, mathematical bold zero
        {U'a', false},      {U'Z', false},     {U' ', false},      {U'-', false}, {U'.', false},
        {U'\u0416', false}, {U'\ufffd', false}, {0xD800, false},   {0x110000, false}, {0xFFFFFFFF, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << static_cast<std::uint32_t>(c.scalar));
        EXPECT_EQ(isNumeric(c.scalar), c.numeric);
    }
}

TEST(Numeric, KeepingNumericsKeepsOrderAndDropsTheRest) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"12 34-56", "123456"},
        {"abc", ""},
        {"\u0661\u0662x\u0663", "\u0661\u0662\u0663"},
        {"a\u00bdb\u216b", "\u00bd\u216b"},
        {"\xff" "1\xe2\x82" "2", "12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(keepingNumerics(c.text), c.expected);
    }
}

TEST(UTF8, ValidityAndScalars) {
    const struct {
        std::string text;
        bool valid;
        std::u32string scalars;
    } cases[] = {
        {"", true, U""},
        {"a\u00e9\u20ac\U0001f600", true, U"a\u00e9\u20ac\U0001f600"},
        {"\xf4\x8f\xbf\xbf", true, U"\U0010ffff"},
        {std::string("a\0b", 3), true, std::u32string(U"a\0b", 3)},
        {"\x80", false, U"\ufffd"},
        {"\xc0\x80", false, U"\ufffd\ufffd"},              // overlong NUL
        {"\xe0\x80\x80", false, U"\ufffd\ufffd\ufffd"},    // overlong
        {"\xed\xa0\x80", false, U"\ufffd\ufffd\ufffd"},    // surrogate
        {"\xf4\x90\x80\x80", false, U"\ufffd\ufffd\ufffd\ufffd"},  // above U+10FFFF
        {"\xf5\x80\x80\x80", false, U"\ufffd\ufffd\ufffd\ufffd"},
        {"\xe2\x82" "A", false, U"\ufffd\ufffdA"},          // truncated
        {"\xe2\x82", false, U"\ufffd\ufffd"},               // truncated at the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(isValidUTF8(c.text), c.valid);
        EXPECT_EQ(toScalars(c.text), c.scalars);
        EXPECT_EQ(scalarCount(c.text), c.scalars.size());
    }
}

}  // namespace
}  // namespace tarn::unicode
