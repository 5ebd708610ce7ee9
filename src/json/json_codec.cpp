#include "tarn/json/json_codec.hpp"

#include "json/decoding_messages.hpp"
#include "json/json_tokenizer.hpp"
#include "tarn/text/redaction.hpp"
#include "tarn/platform/unicode.hpp"

#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace tarn {

namespace {

std::string joinPath(const std::vector<CodingKey>& path) {
    std::string text;
    for (const auto& key : path) {
        if (key.intValue) {
            text += '[' + std::to_string(*key.intValue) + ']';
        } else {
            if (!text.empty()) text += '.';
            text += key.stringValue;
        }
    }
    return text;
}

}  // namespace

std::string_view to_string(DecodingError::Kind kind) {
    switch (kind) {
        case DecodingError::Kind::typeMismatch: return "typeMismatch";
        case DecodingError::Kind::valueNotFound: return "valueNotFound";
        case DecodingError::Kind::keyNotFound: return "keyNotFound";
        case DecodingError::Kind::dataCorrupted: return "dataCorrupted";
    }
    return "dataCorrupted";
}

DecodingError::DecodingError(Kind kind, std::vector<CodingKey> codingPath, std::string debugDescription)
    : kind_(kind), codingPath_(std::move(codingPath)), debugDescription_(std::move(debugDescription)) {
    // The path and the description may quote the server's answer (member names, an unknown
    // enumeration value), so the message is scrubbed, escaped and kept short.
    what_ = std::string(to_string(kind_));
    std::string path = codingPathString();
    if (!path.empty()) what_ += " at " + escapingControlCharacters(path);
    what_ += ": " + summarizing(debugDescription_, Redactor(), 200);
}

std::string DecodingError::codingPathString() const { return joinPath(codingPath_); }

EncodingError::EncodingError(std::vector<CodingKey> codingPath, std::string debugDescription)
    : codingPath_(std::move(codingPath)), debugDescription_(std::move(debugDescription)) {
    std::string path = joinPath(codingPath_);
    what_ = "invalidValue";
    if (!path.empty()) what_ += " at " + escapingControlCharacters(path);
    what_ += ": " + summarizing(debugDescription_, Redactor(), 200);
}

}  // namespace tarn

namespace tarn::json::detail {

using simdjson::dom::element;
using Kind = DecodingError::Kind;
using tarn::json::SyntaxFault;
using tarn::json::Tokenizer;

std::vector<CodingKey> Path::codingKeys() const {
    std::vector<CodingKey> keys;
    std::size_t kept = std::min(depth_, capacity);
    keys.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) {
        const PathStep& step = steps_[i];
        if (step.index >= 0) {
            keys.push_back({"Index " + std::to_string(step.index), step.index});
        } else {
            keys.push_back({std::string(step.key), std::nullopt});
        }
    }
    return keys;
}

void failKey(const DecodeContext& ctx, Kind kind, std::string_view key, std::string description) {
    auto keys = ctx.path.codingKeys();
    keys.push_back({std::string(key), std::nullopt});
    throw DecodingError(kind, std::move(keys), std::move(description));
}

namespace {

// Seconds between 1970-01-01 and 2001-01-01, the platform's default date reference.
constexpr std::int64_t referenceDateOffset = 978'307'200;

[[noreturn]] void fail(const DecodeContext& ctx, Kind kind, std::string description) {
    throw DecodingError(kind, ctx.path.codingKeys(), std::move(description));
}

std::string_view typeName(const Node& e) {
    switch (e.type) {
        case Node::Type::array: return "an array";
        case Node::Type::object: return "a dictionary";
        case Node::Type::number: return "a number";
        case Node::Type::string: return "a string";
        case Node::Type::boolean: return "a bool";
        case Node::Type::null: return "null";
    }
    return "a value";
}

[[noreturn]] void failType(const DecodeContext& ctx, std::string_view expected, const Node& e) {
    if (e.type == Node::Type::null) {
        fail(ctx, Kind::valueNotFound, "Expected " + std::string(expected) + " value but found null instead.");
    }
    fail(ctx, Kind::typeMismatch,
         "Expected to decode " + std::string(expected) + " but found " + std::string(typeName(e)) + " instead.");
}

// Kept out of line: inlined into its one caller, it would lengthen the parse that every decode runs.
[[noreturn, gnu::noinline]] void failInvalidJSON(simdjson::error_code error) {
    throw DecodingError(Kind::dataCorrupted, {},
                        std::string("The given data was not valid JSON: ") + simdjson::error_message(error));
}

// Builds the strict route's tree from the tokenizer's walk. That route only runs when the quick
// one gave up, so it is written to be plainly right rather than fast. It accepts exactly what
// simdjson accepts, apart from numbers: those it checks for form only and keeps as text.
class NodeBuilder {
public:
    explicit NodeBuilder(Node& root) : root_(root) {}

    std::string* key() {
        Node& object = *open_.back();
        object.items.emplace_back();
        return &object.keys.emplace_back();
    }
    std::string* string() { return &slot(Node::Type::string).text; }
    void number(std::string_view text) { slot(Node::Type::number).text.assign(text); }
    void boolean(bool value) { slot(Node::Type::boolean).boolean = value; }
    void null() { slot(Node::Type::null); }
    void beginObject() { open_.push_back(&slot(Node::Type::object)); }
    void beginArray() { open_.push_back(&slot(Node::Type::array)); }
    void end() { open_.pop_back(); }

private:
    // The node the next value fills: the root, an array's new item or the value of the key just
    // read. Containers still open are never moved: their parents grow only after they close.
    Node& slot(Node::Type type) {
        Node* node = &root_;
        if (!open_.empty()) {
            Node& parent = *open_.back();
            node = parent.type == Node::Type::array ? &parent.items.emplace_back() : &parent.items.back();
        }
        node->type = type;
        return *node;
    }

    Node& root_;
    std::vector<Node*> open_;
};

[[noreturn]] void failSyntax(SyntaxFault fault) {
    switch (fault) {
        case SyntaxFault::literal: failInvalidJSON(simdjson::T_ATOM_ERROR);
        case SyntaxFault::number: failInvalidJSON(simdjson::NUMBER_ERROR);
        case SyntaxFault::string: failInvalidJSON(simdjson::STRING_ERROR);
        case SyntaxFault::unclosedString: failInvalidJSON(simdjson::UNCLOSED_STRING);
        case SyntaxFault::controlCharacter: failInvalidJSON(simdjson::UNESCAPED_CHARS);
        case SyntaxFault::depth: failInvalidJSON(simdjson::DEPTH_ERROR);
        case SyntaxFault::none:
        case SyntaxFault::structure: break;
    }
    failInvalidJSON(simdjson::TAPE_ERROR);
}

[[noreturn]] void failNumber(const DecodeContext& ctx, std::string_view text) {
    fail(ctx, Kind::dataCorrupted,
         std::string(tarn::detail::unfitNumberMessage) + std::string(text) + std::string(tarn::detail::unfitNumberMessageEnd));
}

}  // namespace

Node parseStrict(std::string_view data) {
    if (!simdjson::validate_utf8(data.data(), data.size())) failInvalidJSON(simdjson::UTF8_ERROR);
    Tokenizer tokenizer(data, simdjson::DEFAULT_MAX_DEPTH);
    tokenizer.skipSpace();
    if (tokenizer.atEnd()) failInvalidJSON(simdjson::EMPTY);
    Node root;
    NodeBuilder builder(root);
    if (SyntaxFault fault = tokenizer.value(builder, 0); fault != SyntaxFault::none) failSyntax(fault);
    tokenizer.skipSpace();
    if (!tokenizer.atEnd()) failInvalidJSON(simdjson::TAPE_ERROR);
    return root;
}

bool parseDocument(std::string_view data, bool padded, element& root) {
    // One parser per thread: a parser is not thread-safe, and reusing it keeps its buffers warm.
    thread_local simdjson::dom::parser parser;
    auto error = parser.parse(data.data(), data.size(), !padded).get(root);
    if (!error) return true;
    if (error == simdjson::NUMBER_ERROR || error == simdjson::NUMBER_OUT_OF_RANGE) return false;
    failInvalidJSON(error);
}

std::optional<std::int64_t> exactInt64(std::string_view text) noexcept {
    // The number is sign, digits (integer and fraction parts run together) and a power of ten.
    std::size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (negative) ++i;
    char digits[20];  // the significant digits, at most 19 of which can make an Int64
    std::size_t count = 0;
    std::int64_t scale = 0;   // the power of ten the digits are multiplied by
    std::int64_t zeros = 0;   // zeros seen after the last nonzero digit, not yet placed
    bool tooMany = false;
    auto digit = [&](char c, bool fraction) {
        if (fraction) --scale;
        if (c == '0') {
            if (count > 0) ++zeros;
            return;
        }
        for (; zeros > 0; --zeros) {
            if (count == 19) tooMany = true; else digits[count++] = '0';
        }
        if (count == 19) tooMany = true; else digits[count++] = c;
    };
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) digit(text[i], false);
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) digit(text[i], true);
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool down = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        std::int64_t exponent = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            // Beyond a billion the answer no longer depends on the exponent's exact value.
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
        }
        scale += down ? -exponent : exponent;
    }
    if (count == 0) return 0;  // zero, in any notation
    if (tooMany) return std::nullopt;
    scale += zeros;  // trailing zeros make the value larger, never fractional
    if (scale < 0) return std::nullopt;
    if (static_cast<std::int64_t>(count) + scale > 19) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (std::size_t k = 0; k < count; ++k) magnitude = magnitude * 10 + static_cast<std::uint64_t>(digits[k] - '0');
    for (std::int64_t k = 0; k < scale; ++k) {
        if (__builtin_mul_overflow(magnitude, std::uint64_t{10}, &magnitude)) return std::nullopt;
    }
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    if (negative) {
        if (magnitude > limit) return std::nullopt;
        return magnitude == limit ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude >= limit) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::string readString(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::string) failType(ctx, "String", e);
    return e.text;
}

void readStringInto(DecodeContext& ctx, const Node& e, std::string& out) {
    if (e.type != Node::Type::string) failType(ctx, "String", e);
    out = e.text;
}

bool readBool(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::boolean) failType(ctx, "Bool", e);
    return e.boolean;
}

std::int64_t readInt64(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::number) failType(ctx, "Int64", e);
    // Read from the text itself: 1.0 and 1e3 are whole numbers; 1.5, 1.0000000000000001 and
    // 2^63 are not Int64 values, however close a double would put them.
    if (auto v = exactInt64(e.text)) return *v;
    failNumber(ctx, e.text);
}

namespace {

std::optional<Timestamp> fromReferenceSeconds(double seconds) {
    double micros = (seconds + static_cast<double>(referenceDateOffset)) * 1e6;
    if (!std::isfinite(micros) || micros >= 9.2e18 || micros <= -9.2e18) return std::nullopt;
    return Timestamp(std::chrono::microseconds(static_cast<std::int64_t>(std::llround(micros))));
}

}  // namespace

Timestamp readTimestamp(DecodeContext& ctx, const Node& e) {
    if (ctx.dates == JSONDecoder::DateStrategy::deferredToDate) {
        if (e.type != Node::Type::number) failType(ctx, "Double", e);
        double seconds = 0;
        auto [end, error] = std::from_chars(e.text.data(), e.text.data() + e.text.size(), seconds);
        if (error == std::errc() && end == e.text.data() + e.text.size()) {
            if (auto t = fromReferenceSeconds(seconds)) return *t;
        }
        fail(ctx, Kind::dataCorrupted, "Date value out of range.");
    }
    if (e.type != Node::Type::string) failType(ctx, "String", e);
    if (auto t = parseBackendDate(e.text)) return *t;
    fail(ctx, Kind::dataCorrupted, "Invalid backend date");
}

UUID readUUID(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::string) failType(ctx, "String", e);
    if (auto u = UUID::parse(e.text)) return *u;
    fail(ctx, Kind::dataCorrupted, "Attempted to decode UUID from invalid UUID string.");
}

URL readURL(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::string) failType(ctx, "String", e);
    if (auto u = URL::parse(e.text)) return *u;
    fail(ctx, Kind::dataCorrupted, "Invalid URL string.");
}

StringMap readStringMap(DecodeContext& ctx, const Node& e) {
    const Node& object = readObject(ctx, e);
    StringMap out;
    for (std::size_t k = 0; k < object.keys.size(); ++k) {
        const std::string& key = object.keys[k];
        ctx.path.push(std::string_view(key));
        std::string value = readString(ctx, object.items[k]);
        ctx.path.pop();
        if (!out.emplace(key, std::move(value)).second) {
            failKey(ctx, Kind::dataCorrupted, key, "Duplicate key \"" + key + "\".");
        }
    }
    return out;
}

const Node& readObject(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::object) failType(ctx, "Dictionary", e);
    return e;
}

const Node& readArray(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::array) failType(ctx, "Array", e);
    return e;
}

std::string_view readEnumString(DecodeContext& ctx, const Node& e) {
    if (e.type != Node::Type::string) failType(ctx, "String", e);
    return e.text;
}

void failEnum(DecodeContext& ctx, std::string_view raw) {
    fail(ctx, Kind::dataCorrupted, std::string(tarn::detail::invalidEnumerationMessage) + std::string(raw));
}

// ---------------------------------------------------------------------------------------------
// The quick route's readers: false where the strict ones raise.

bool quickReadTimestamp(JSONDecoder::DateStrategy dates, element e, Timestamp& out) {
    if (dates == JSONDecoder::DateStrategy::backend) return quickReadFromString(e, out, &parseBackendDate);
    double seconds = 0;
    if (e.get_double().get(seconds)) return false;
    auto t = fromReferenceSeconds(seconds);
    if (!t) return false;
    out = *t;
    return true;
}

bool quickReadStringMap(element e, StringMap& out) {
    simdjson::dom::object object;
    if (e.get_object().get(object)) return false;
    out.clear();
    for (auto field : object) {
        std::string_view value;
        if (field.value.get_string().get(value)) return false;
        if (!out.emplace(std::string(field.key), std::string(value)).second) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

namespace {

// The scalar at s[i] (valid UTF-8, lead byte 0xC2, 0xD8 or 0xE2) when it is a terminal control
// that JSON would let through unescaped; otherwise 0.
unsigned hostileScalar(std::string_view s, std::size_t i) {
    UChar32 scalar = 0;
    U8_NEXT_UNSAFE(s.data(), i, scalar);
    return unicode::isTerminalControl(static_cast<char32_t>(scalar)) ? static_cast<unsigned>(scalar) : 0;
}

}  // namespace

void writeString(EncodeContext& ctx, std::string_view s) {
    if (!simdjson::validate_utf8(s.data(), s.size())) {
        throw EncodingError(ctx.path.codingKeys(), "String is not valid UTF-8.");
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string& out = ctx.out;
    out.reserve(out.size() + s.size() + 2);
    out.push_back('"');
    std::size_t run = 0;  // start of the pending run of bytes that need no escaping
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        // DEL, the C1 controls and the bidirectional controls are legal in JSON text, but
        // written as escapes a document shown in a terminal cannot drive it or reorder it. Only
        // the lead bytes 0xC2, 0xD8 and 0xE2 can start one of them.
        if (c >= 0x20 && c != '"' && c != '\\' && c != 0x7F && c != 0xC2 && c != 0xD8 && c != 0xE2) continue;
        if (c >= 0x80) {
            unsigned escaped = hostileScalar(s, i);
            if (escaped == 0) continue;
            std::size_t length = escaped <= 0x7FF ? 2 : 3;
            out.append(s.data() + run, i - run);
            run = i + length;
            i += length - 1;
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hex[(escaped >> shift) & 0xF]);
            continue;
        }
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0xF]);
        }
    }
    out.append(s.data() + run, s.size() - run);
    out.push_back('"');
}

}  // namespace tarn::json::detail

namespace tarn::json {

std::string stringLiteral(std::string_view utf8) {
    detail::EncodeContext ctx{JSONEncoder::DateStrategy::iso8601, {}, {}};
    detail::writeString(ctx, utf8);
    return std::move(ctx.out);
}

}  // namespace tarn::json

namespace tarn::json::detail {

void writeInt64(EncodeContext& ctx, std::int64_t v) {
    char buffer[24];
    auto res = std::to_chars(buffer, buffer + sizeof buffer, v);
    ctx.out.append(buffer, res.ptr);
}

void writeTimestamp(EncodeContext& ctx, Timestamp t) {
    if (ctx.dates == JSONEncoder::DateStrategy::iso8601) {
        writeString(ctx, formatISO8601(t));
        return;
    }
    double seconds = static_cast<double>(t.time_since_epoch().count()) / 1e6 - static_cast<double>(referenceDateOffset);
    char buffer[64];
    auto res = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    ctx.out.append(buffer, res.ptr);
}

void writeStringMap(EncodeContext& ctx, const StringMap& map) {
    ctx.out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : map) {
        if (!first) ctx.out.push_back(',');
        first = false;
        writeString(ctx, key);
        ctx.out.push_back(':');
        ctx.path.push(std::string_view(key));
        writeString(ctx, value);
        ctx.path.pop();
    }
    ctx.out.push_back('}');
}

}  // namespace tarn::json::detail

TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::EmptyBody);
