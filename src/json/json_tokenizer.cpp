// JSON tokenizer: the pieces of JSON text that both the exact decoding route and the defaults
// file read the same way (strings with their escapes, numbers, literals, skipping a value).
#include "json/json_tokenizer.hpp"

#include "tarn/platform/ascii.hpp"
#include "tarn/platform/unicode.hpp"

namespace tarn::json {

namespace {

// A handler that keeps nothing: the walk only checks the value.
struct Skipper {
    std::string* key() { return nullptr; }
    std::string* string() { return nullptr; }
    void number(std::string_view) {}
    void boolean(bool) {}
    void null() {}
    void beginObject() {}
    void beginArray() {}
    void end() {}
};

}  // namespace

std::size_t Tokenizer::digits() {
    std::size_t start = pos_;
    while (pos_ < text_.size() && isDigit(text_[pos_])) ++pos_;
    return pos_ - start;
}

SyntaxFault Tokenizer::word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) return SyntaxFault::literal;
    pos_ += w.size();
    return SyntaxFault::none;
}

SyntaxFault Tokenizer::number() {
    consume('-');
    if (consume('0')) {
        // "01" is no number; read as 0 followed by 1, it would pass for a value cut short.
        if (pos_ < text_.size() && isDigit(text_[pos_])) return SyntaxFault::number;
    } else if (digits() == 0) {
        return SyntaxFault::number;
    }
    if (consume('.') && digits() == 0) return SyntaxFault::number;
    if (consume('e') || consume('E')) {
        if (!consume('+')) consume('-');
        if (digits() == 0) return SyntaxFault::number;
    }
    return SyntaxFault::none;
}

SyntaxFault Tokenizer::string(std::string* decoded) {
    ++pos_;  // the opening quote
    auto hex4 = [&](unsigned& out) {
        if (text_.size() - pos_ < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            int v = ascii::hexDigitValue(text_[pos_++]);
            if (v < 0) return false;
            out = (out << 4) | static_cast<unsigned>(v);
        }
        return true;
    };
    for (;;) {
        const std::size_t run = pos_;
        while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\\' &&
               static_cast<unsigned char>(text_[pos_]) >= 0x20) {
            ++pos_;
        }
        if (decoded) decoded->append(text_.data() + run, pos_ - run);
        if (atEnd()) return SyntaxFault::unclosedString;
        if (consume('"')) return SyntaxFault::none;
        if (!consume('\\')) return SyntaxFault::controlCharacter;
        if (atEnd()) return SyntaxFault::unclosedString;
        char escaped = text_[pos_++];
        if (escaped != 'u') {
            static constexpr std::string_view from = "\"\\/bfnrt";
            static constexpr std::string_view to = "\"\\/\b\f\n\r\t";
            std::size_t k = from.find(escaped);
            if (k == std::string_view::npos) return SyntaxFault::string;
            if (decoded) decoded->push_back(to[k]);
            continue;
        }
        unsigned scalar = 0;
        if (!hex4(scalar)) return SyntaxFault::string;
        if (!decoded) continue;
        if (scalar >= 0xDC00 && scalar <= 0xDFFF) return SyntaxFault::string;
        if (scalar >= 0xD800 && scalar <= 0xDBFF) {
            // A high surrogate must be followed by its low half; alone it is no character.
            unsigned low = 0;
            if (!consume('\\') || !consume('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return SyntaxFault::string;
            }
            scalar = 0x10000 + ((scalar - 0xD800) << 10) + (low - 0xDC00);
        }
        unicode::appendUTF8(*decoded, scalar);
    }
}

SyntaxFault Tokenizer::skipValue(std::size_t depth) {
    Skipper skipper;
    return value(skipper, depth);
}

std::optional<std::string> decodeStringLiteral(std::string_view literal) {
    Tokenizer tokenizer(literal, 0);
    std::string decoded;
    if (!tokenizer.peek('"') || tokenizer.string(&decoded) != SyntaxFault::none || !tokenizer.atEnd()) {
        return std::nullopt;
    }
    return decoded;
}

}  // namespace tarn::json
