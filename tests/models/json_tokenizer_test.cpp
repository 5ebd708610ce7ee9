// The JSON tokenizer shared by the exact decoding route and the defaults file: which text is a
// fault, and what a string decodes to with and without the Unicode check.
#include "json/json_tokenizer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarn::json {
namespace {

struct Case {
    const char* text;
    bool decode;  // read as one string literal, decoded; otherwise walked as a whole value
    SyntaxFault fault;
    const char* decoded = "";
};

TEST(JSONTokenizer, ReadsExactlyWhatJSONAllows) {
    const Case cases[] = {
        {R"("a\u00e9\ud83d\ude42\/\n")", true, SyntaxFault::none, "a\xc3\xa9\xf0\x9f\x99\x82/\n"},
        {R"("\ud800")", true, SyntaxFault::string},
        {R"("\ude42")", true, SyntaxFault::string},
        {R"("\ud800\u0041")", true, SyntaxFault::string},
        {R"("\ud800")", false, SyntaxFault::none},  // form only: kept, unread, by the defaults file
        {R"("\u12g4")", false, SyntaxFault::string},
        {R"("\x")", false, SyntaxFault::string},
        {R"("abc)", false, SyntaxFault::unclosedString},
        {"\"a\x01\"", false, SyntaxFault::controlCharacter},
        {"-0.5e+3", false, SyntaxFault::none},
        {"01", false, SyntaxFault::number},
        {"-", false, SyntaxFault::number},
        {"1.", false, SyntaxFault::number},
        {"1e", false, SyntaxFault::number},
        {"x", false, SyntaxFault::number},
        {"[1, tru]", false, SyntaxFault::literal},
        {R"({"a" 1})", false, SyntaxFault::structure},
        {R"({"a":1,})", false, SyntaxFault::structure},
        {"[1 2]", false, SyntaxFault::structure},
        {"[", false, SyntaxFault::structure},
        {R"({"a":[1, false, null],"c":"d"})", false, SyntaxFault::none},
        {"[[[]]]", false, SyntaxFault::depth},  // the limit below is two levels
        {"[[]]", false, SyntaxFault::none},
    };
    for (const Case& c : cases) {
        Tokenizer tokenizer(c.text, 2);
        std::string decoded;
        SyntaxFault fault = c.decode ? tokenizer.string(&decoded) : tokenizer.skipValue(0);
        EXPECT_EQ(fault, c.fault) << c.text;
        if (fault == SyntaxFault::none) {
            EXPECT_TRUE(tokenizer.atEnd()) << c.text;
            EXPECT_EQ(decoded, c.decoded) << c.text;
        }
        EXPECT_EQ(decodeStringLiteral(c.text).has_value(), c.decode && c.fault == SyntaxFault::none) << c.text;
    }
}

}  // namespace
}  // namespace tarn::json
