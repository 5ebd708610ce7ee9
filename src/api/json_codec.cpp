#include "tarn/api/json_codec.hpp"
#include "tarn/api/redaction.hpp"
#include "tarn/platform/unicode.hpp"

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
using simdjson::dom::element_type;
using Kind = DecodingError::Kind;

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

std::string_view typeName(element e) {
    switch (e.type()) {
        case element_type::ARRAY: return "an array";
        case element_type::OBJECT: return "a dictionary";
        case element_type::INT64:
        case element_type::UINT64:
        case element_type::DOUBLE: return "a number";
        case element_type::STRING: return "a string";
        case element_type::BOOL: return "a bool";
        case element_type::NULL_VALUE: return "null";
    }
    return "a value";
}

[[noreturn]] void failType(const DecodeContext& ctx, std::string_view expected, element e) {
    if (e.is_null()) {
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

}  // namespace

element parseDocument(std::string_view data, bool padded) {
    // One parser per thread: a parser is not thread-safe, and reusing it keeps its buffers warm.
    thread_local simdjson::dom::parser parser;
    element root;
    auto error = parser.parse(data.data(), data.size(), !padded).get(root);
    if (error) failInvalidJSON(error);
    return root;
}

std::string readString(DecodeContext& ctx, element e) {
    std::string_view s;
    if (e.get_string().get(s)) failType(ctx, "String", e);
    return std::string(s);
}

void readStringInto(DecodeContext& ctx, element e, std::string& out) {
    std::string_view s;
    if (e.get_string().get(s)) failType(ctx, "String", e);
    out.assign(s.data(), s.size());
}

bool readBool(DecodeContext& ctx, element e) {
    bool b = false;
    if (e.get_bool().get(b)) failType(ctx, "Bool", e);
    return b;
}

std::int64_t readInt64(DecodeContext& ctx, element e) {
    switch (e.type()) {
        case element_type::INT64: return e.get_int64().value_unsafe();
        case element_type::UINT64:
            fail(ctx, Kind::dataCorrupted,
                 "Parsed JSON number <" + std::to_string(e.get_uint64().value_unsafe()) + "> does not fit in Int64.");
        case element_type::DOUBLE: {
            // 1.0 and 1e3 are whole numbers and read as such; 1.5 or 1e30 are refused.
            double d = e.get_double().value_unsafe();
            if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
                return static_cast<std::int64_t>(d);
            }
            char buffer[64];
            auto res = std::to_chars(buffer, buffer + sizeof buffer, d);
            fail(ctx, Kind::dataCorrupted,
                 "Parsed JSON number <" + std::string(buffer, res.ptr) + "> does not fit in Int64.");
        }
        default: failType(ctx, "Int64", e);
    }
}

namespace {

std::optional<Timestamp> fromReferenceSeconds(double seconds) {
    double micros = (seconds + static_cast<double>(referenceDateOffset)) * 1e6;
    if (!std::isfinite(micros) || micros >= 9.2e18 || micros <= -9.2e18) return std::nullopt;
    return Timestamp(std::chrono::microseconds(static_cast<std::int64_t>(std::llround(micros))));
}

}  // namespace

Timestamp readTimestamp(DecodeContext& ctx, element e) {
    if (ctx.dates == JSONDecoder::DateStrategy::deferredToDate) {
        double seconds = 0;
        if (e.get_double().get(seconds)) failType(ctx, "Double", e);
        if (auto t = fromReferenceSeconds(seconds)) return *t;
        fail(ctx, Kind::dataCorrupted, "Date value out of range.");
    }
    std::string_view s;
    if (e.get_string().get(s)) failType(ctx, "String", e);
    if (auto t = parseBackendDate(s)) return *t;
    fail(ctx, Kind::dataCorrupted, "Invalid backend date");
}

UUID readUUID(DecodeContext& ctx, element e) {
    std::string_view s;
    if (e.get_string().get(s)) failType(ctx, "String", e);
    if (auto u = UUID::parse(s)) return *u;
    fail(ctx, Kind::dataCorrupted, "Attempted to decode UUID from invalid UUID string.");
}

URL readURL(DecodeContext& ctx, element e) {
    std::string_view s;
    if (e.get_string().get(s)) failType(ctx, "String", e);
    if (auto u = URL::parse(s)) return *u;
    fail(ctx, Kind::dataCorrupted, "Invalid URL string.");
}

StringMap readStringMap(DecodeContext& ctx, element e) {
    simdjson::dom::object object = readObject(ctx, e);
    StringMap out;
    for (auto field : object) {
        ctx.path.push(field.key);
        std::string value = readString(ctx, field.value);
        ctx.path.pop();
        if (!out.emplace(std::string(field.key), std::move(value)).second) {
            failKey(ctx, Kind::dataCorrupted, field.key, "Duplicate key \"" + std::string(field.key) + "\".");
        }
    }
    return out;
}

simdjson::dom::object readObject(DecodeContext& ctx, element e) {
    simdjson::dom::object object;
    if (e.get_object().get(object)) failType(ctx, "Dictionary", e);
    return object;
}

simdjson::dom::array readArray(DecodeContext& ctx, element e) {
    simdjson::dom::array array;
    if (e.get_array().get(array)) failType(ctx, "Array", e);
    return array;
}

std::string_view readEnumString(DecodeContext& ctx, element e) {
    std::string_view s;
    if (e.get_string().get(s)) failType(ctx, "String", e);
    return s;
}

void failEnum(DecodeContext& ctx, std::string_view raw) {
    fail(ctx, Kind::dataCorrupted, "Cannot initialize enumeration from invalid String value " + std::string(raw));
}

// ---------------------------------------------------------------------------------------------
// The quick route's readers: false where the strict ones raise.

bool quickReadString(element e, std::string& out) {
    std::string_view s;
    if (e.get_string().get(s)) return false;
    out.assign(s.data(), s.size());
    return true;
}

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
    auto byte = [&](std::size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(s[k])); };
    unsigned lead = byte(i);
    unsigned scalar = lead == 0xE2 ? ((lead & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F)
                                   : ((lead & 0x1F) << 6) | (byte(i + 1) & 0x3F);
    return unicode::isTerminalControl(scalar) ? scalar : 0;
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
