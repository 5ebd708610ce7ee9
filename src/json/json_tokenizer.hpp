// JSON tokenizer: a small strict reader that walks JSON text piece by piece and says where each
// piece lies. It serves the places simdjson cannot: the decoder's exact route, which keeps number
// text as written, and the defaults file, which keeps other members byte for byte and reads on past
// a damaged member. The caller pulls each piece (a string, a whole value, a punctuation mark);
// a whole value is walked through a handler, so that one caller can build a tree and another skip.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::json {

// Why a piece of text is not JSON; the exact route reports each as simdjson's matching error.
enum class SyntaxFault : unsigned char {
    none,
    structure,         // a missing or misplaced bracket, comma, colon or key, or the text ends early
    literal,           // a word that is not true, false or null
    number,            // a value that is not a JSON number (and starts as none of the others)
    string,            // a bad escape, hex digit or surrogate pair
    unclosedString,
    controlCharacter,  // an unescaped byte below 0x20 inside a string
    depth,             // containers nested deeper than the limit
};

// Reads `text`, which must stay alive. The text is taken as bytes: checking it is UTF-8 is the
// caller's (once for the whole text is cheaper than per string).
class Tokenizer {
public:
    // A container opened at nesting level n (the outermost being 1) is a fault when n > maxDepth.
    Tokenizer(std::string_view text, std::size_t maxDepth) : text_(text), maxDepth_(maxDepth) {}

    std::string_view text() const { return text_; }
    std::size_t position() const { return pos_; }
    void seek(std::size_t pos) { pos_ = pos; }
    bool atEnd() const { return pos_ == text_.size(); }
    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool consume(char c) {
        if (!peek(c)) return false;
        ++pos_;
        return true;
    }
    void skipSpace() {
        while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
    }

    // The string literal at the position. With `decoded`, its value is appended there, and an
    // escape that names no Unicode scalar (a lone surrogate) is a fault; without, only its form
    // is checked and such an escape passes.
    SyntaxFault string(std::string* decoded);

    // The number at the position: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    SyntaxFault number();

    // One whole value at the position, `depth` containers deep, reported to `handler`:
    //   std::string* key() / std::string* string(): where to decode it, or nullptr to check form only
    //   void number(std::string_view text), void boolean(bool), void null()
    //   void beginObject(), void beginArray(), void end()
    template <class Handler>
    SyntaxFault value(Handler& handler, std::size_t depth);

    // Checks one whole value and moves past it.
    SyntaxFault skipValue(std::size_t depth);

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    std::size_t digits();
    SyntaxFault word(std::string_view w);
    template <class Handler>
    SyntaxFault container(Handler& handler, std::size_t depth, bool object);

    std::string_view text_;
    std::size_t maxDepth_;
    std::size_t pos_ = 0;
};

// The value of one JSON string literal (quotes included); nullopt when it is not one, or when it
// holds an escape that names no Unicode scalar.
std::optional<std::string> decodeStringLiteral(std::string_view literal);

template <class Handler>
SyntaxFault Tokenizer::value(Handler& handler, std::size_t depth) {
    if (atEnd()) return SyntaxFault::structure;
    switch (text_[pos_]) {
        case '{': return container(handler, depth + 1, true);
        case '[': return container(handler, depth + 1, false);
        case '"': return string(handler.string());
        case 't':
            handler.boolean(true);
            return word("true");
        case 'f':
            handler.boolean(false);
            return word("false");
        case 'n':
            handler.null();
            return word("null");
        default: {
            std::size_t start = pos_;
            SyntaxFault fault = number();
            if (fault == SyntaxFault::none) handler.number(text_.substr(start, pos_ - start));
            return fault;
        }
    }
}

template <class Handler>
SyntaxFault Tokenizer::container(Handler& handler, std::size_t depth, bool object) {
    if (depth > maxDepth_) return SyntaxFault::depth;
    const char close = object ? '}' : ']';
    if (object) {
        handler.beginObject();
    } else {
        handler.beginArray();
    }
    ++pos_;
    skipSpace();
    if (!consume(close)) {
        for (;;) {
            if (object) {
                if (!peek('"')) return SyntaxFault::structure;
                if (SyntaxFault fault = string(handler.key()); fault != SyntaxFault::none) return fault;
                skipSpace();
                if (!consume(':')) return SyntaxFault::structure;
                skipSpace();
            }
            if (SyntaxFault fault = value(handler, depth); fault != SyntaxFault::none) return fault;
            skipSpace();
            if (consume(close)) break;
            if (!consume(',')) return SyntaxFault::structure;
            skipSpace();
        }
    }
    handler.end();
    return SyntaxFault::none;
}

}  // namespace tarn::json
