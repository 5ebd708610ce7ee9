// The JSON codec itself, for applications that decode or encode records of their own. Opt-in: it
// includes simdjson, which tarn/json/json.hpp does not, so a target that includes it links tarn::json
// (tarn::core plus the headers of the simdjson the library was built with).
//
// JSONDecoder::decode and JSONEncoder::encode are templates defined here. The library instantiates
// them for its own records, so code that only handles those needs json.hpp alone. For a record of
// its own, an application declares json::members for it (see json.hpp) and, in ONE of its .cpp
// files, in the global namespace, instantiates the coders:
//
//     #include "shop/records.hpp"           // shop::Ticket and its json::members
//     #include <tarn/json/json_codec.hpp>
//
//     TARN_JSON_CODABLE(shop::Ticket);       // decode and encode of Ticket and std::vector<Ticket>
//
// Every other file then calls JSONDecoder::tarn().decode<shop::Ticket>(...) with json.hpp alone.
// TARN_JSON_DECODABLE and TARN_JSON_ENCODABLE instantiate one direction only. The _EXPORTED forms
// take an export attribute first, for a shared library that hands out its records' coders the way
// this library does (TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::VPNServer)).
//
// Everything in json::detail is the codec's machinery, not API. Its non-template parts live in the
// library and are exported, so the templates instantiated here link against a shared libtarn-core.
#pragma once

#include "tarn/json/json.hpp"
#include "tarn/export.hpp"
#include "tarn/json/string_enum.hpp"
#include "tarn/platform/timestamp.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/platform/uuid.hpp"

#include <simdjson.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn::json::detail {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

using StringMap = std::map<std::string, std::string>;

// A step of the path being decoded or encoded. Names point into the member tables (static
// storage), so keeping the path costs no allocation until an error is reported.
struct PathStep {
    std::string_view key;
    std::int64_t index = -1;  // >= 0 for an array position
};

// The path is a fixed stack: record types nest only a few levels deep, and pushing a step must
// cost next to nothing because it happens for every member decoded. Steps beyond the capacity
// are counted but not kept, which can only shorten an error's path, never break decoding.
class Path {
public:
    void push(std::string_view key) { pushStep({key, -1}); }
    void push(std::int64_t index) { pushStep({{}, index}); }
    void pop() { --depth_; }
    std::vector<CodingKey> codingKeys() const;

private:
    static constexpr std::size_t capacity = 32;
    void pushStep(PathStep step) {
        if (depth_ < capacity) steps_[depth_] = step;
        ++depth_;
    }
    std::array<PathStep, capacity> steps_{};
    std::size_t depth_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Decoding

struct DecodeContext {
    JSONDecoder::DateStrategy dates;
    Path path;
};

// The strict route reads a document of its own making: a plain tree that keeps every number as
// the text the document wrote. simdjson's tape holds numbers converted, and refuses outright any
// that do not fit 64 bits, while an integer member must be judged on its exact text (1.0 is one,
// 1.0000000000000001 is not) and a member nobody reads must not fail the document for its number.
struct Node {
    enum class Type : std::uint8_t { object, array, string, number, boolean, null };
    Type type = Type::null;
    bool boolean = false;
    std::string text;               // a string's value, a number's text as written
    std::vector<std::string> keys;  // an object's keys, in document order, beside their values
    std::vector<Node> items;        // an array's items, or an object's values
};

// Parses and validates the whole document (UTF-8, syntax, depth) into a tree. Raises
// DecodingError for a document that is not well-formed JSON.
TARN_EXPORT Node parseStrict(std::string_view data);

// Failures and the readers of single values: each raises DecodingError at the context's path.
[[noreturn]] TARN_EXPORT void failKey(const DecodeContext& ctx, DecodingError::Kind kind, std::string_view key,
                                      std::string description);
TARN_EXPORT std::string readString(DecodeContext& ctx, const Node& e);
TARN_EXPORT void readStringInto(DecodeContext& ctx, const Node& e, std::string& out);
TARN_EXPORT bool readBool(DecodeContext& ctx, const Node& e);
TARN_EXPORT std::int64_t readInt64(DecodeContext& ctx, const Node& e);
TARN_EXPORT Timestamp readTimestamp(DecodeContext& ctx, const Node& e);
TARN_EXPORT UUID readUUID(DecodeContext& ctx, const Node& e);
TARN_EXPORT URL readURL(DecodeContext& ctx, const Node& e);
TARN_EXPORT StringMap readStringMap(DecodeContext& ctx, const Node& e);
TARN_EXPORT const Node& readObject(DecodeContext& ctx, const Node& e);
TARN_EXPORT const Node& readArray(DecodeContext& ctx, const Node& e);
TARN_EXPORT std::string_view readEnumString(DecodeContext& ctx, const Node& e);
[[noreturn]] TARN_EXPORT void failEnum(DecodeContext& ctx, std::string_view raw);

// The value of a JSON number's text as a 64-bit signed integer, computed exactly: absent when the
// value has a fractional part or lies outside the range.
TARN_EXPORT std::optional<std::int64_t> exactInt64(std::string_view text) noexcept;

// Parses with this thread's parser into `root`, which lives until the thread's next parse, so
// callers copy everything they keep before returning. Raises DecodingError for invalid JSON;
// answers false when the parse stopped at a number the tape cannot hold, which alone does not make
// the document invalid: only the strict route can tell.
TARN_EXPORT bool parseDocument(std::string_view data, bool padded, simdjson::dom::element& root);

template <class T>
T read(DecodeContext& ctx, const Node& e);

template <class T>
void readInto(DecodeContext& ctx, const Node& e, T& out);

template <class R, std::size_t... I>
void readMembers(DecodeContext& ctx, R& out, const std::array<const Node*, sizeof...(I)>& slots,
                 std::index_sequence<I...>) {
    constexpr auto& table = members<R>;
    // Members are read in declared key order and the first failure ends decoding.
    (
        [&] {
            const auto& m = std::get<I>(table);
            using V = std::remove_cvref_t<decltype(out.*(m.pointer))>;
            if constexpr (IsOptional<V>::value) {
                if (!slots[I] || slots[I]->type == Node::Type::null) {
                    out.*(m.pointer) = std::nullopt;
                    return;
                }
                ctx.path.push(m.name);
                readInto(ctx, *slots[I], (out.*(m.pointer)).emplace());
                ctx.path.pop();
            } else {
                if (!slots[I]) {
                    failKey(ctx, DecodingError::Kind::keyNotFound, m.name,
                            "No value associated with key \"" + std::string(m.name) + "\".");
                }
                ctx.path.push(m.name);
                readInto(ctx, *slots[I], out.*(m.pointer));
                ctx.path.pop();
            }
        }(),
        ...);
}

// Member names are short, and every member of every object is compared at least once: comparing
// inline, a word at a time, instead of calling memcmp keeps the key match off the profile.
// Always inlined: against a name known at compile time it folds to one or two word compares.
[[gnu::always_inline]] inline bool sameKey(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n >= 8) {
        auto differ8 = [](const char* x, const char* y) {
            std::uint64_t u, v;
            std::memcpy(&u, x, 8);
            std::memcpy(&v, y, 8);
            return u != v;
        };
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (differ8(p + i, q + i)) return false;
        }
        return !differ8(p + n - 8, q + n - 8);  // the last word may overlap the previous one
    }
    if (n >= 4) {
        std::uint32_t u0, v0, u1, v1;
        std::memcpy(&u0, p, 4);
        std::memcpy(&v0, q, 4);
        std::memcpy(&u1, p + n - 4, 4);
        std::memcpy(&v1, q + n - 4, 4);
        return u0 == v0 && u1 == v1;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) return false;
    }
    return true;
}

template <class R>
concept HasRefusal = !std::is_same_v<std::remove_cvref_t<decltype(refusal<R>)>, std::nullptr_t>;

template <class R>
bool hasRefusedMember(simdjson::dom::object object) {
    for (std::string_view refused : refusal<R>.keys) {
        for (auto field : object) {
            if (field.key == refused) return true;
        }
    }
    return false;
}

template <class R>
bool hasRefusedMember(const Node& object) {
    for (std::string_view refused : refusal<R>.keys) {
        for (const std::string& key : object.keys) {
            if (key == refused) return true;
        }
    }
    return false;
}

// Fills a default-constructed record in place: records nest and fill vectors, and building each
// one aside to move it into place afterwards costs more than reading its members.
template <class R>
void readRecordInto(DecodeContext& ctx, const Node& e, R& out) {
    const Node& object = readObject(ctx, e);
    constexpr auto& table = members<R>;
    constexpr std::size_t n = std::tuple_size_v<std::remove_cvref_t<decltype(table)>>;

    if constexpr (HasRefusal<R>) {
        if (hasRefusedMember<R>(object)) {
            constexpr auto& rule = refusal<R>;
            failKey(ctx, DecodingError::Kind::dataCorrupted, rule.attachKey, std::string(rule.description));
        }
    }

    // One pass over the object assigns each member its value; a declared member given twice is
    // refused rather than silently resolved, so that no two readers of the same bytes disagree.
    constexpr auto names = std::apply(
        [](const auto&... m) { return std::array<std::string_view, n>{m.name...}; }, table);
    std::array<const Node*, n> slots{};
    for (std::size_t k = 0; k < object.keys.size(); ++k) {
        for (std::size_t i = 0; i < n; ++i) {
            if (names[i] != object.keys[k]) continue;
            if (slots[i]) {
                failKey(ctx, DecodingError::Kind::dataCorrupted, names[i],
                        "Duplicate key \"" + std::string(names[i]) + "\".");
            }
            slots[i] = &object.items[k];
            break;
        }
    }

    readMembers(ctx, out, slots, std::make_index_sequence<n>{});
}

template <class T>
T read(DecodeContext& ctx, const Node& e) {
    if constexpr (std::is_same_v<T, std::string>) {
        return readString(ctx, e);
    } else if constexpr (std::is_same_v<T, bool>) {
        return readBool(ctx, e);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return readInt64(ctx, e);
    } else if constexpr (std::is_same_v<T, Timestamp>) {
        return readTimestamp(ctx, e);
    } else if constexpr (std::is_same_v<T, UUID>) {
        return readUUID(ctx, e);
    } else if constexpr (std::is_same_v<T, URL>) {
        return readURL(ctx, e);
    } else if constexpr (std::is_same_v<T, StringMap>) {
        return readStringMap(ctx, e);
    } else if constexpr (std::is_same_v<T, EmptyBody>) {
        return EmptyBody{};
    } else if constexpr (StringEnum<T>) {
        std::string_view raw = readEnumString(ctx, e);
        if (auto v = fromRawValue<T>(raw)) return *v;
        failEnum(ctx, raw);
    } else if constexpr (IsVector<T>::value || Record<T>) {
        T out{};
        readInto(ctx, e, out);
        return out;
    } else {
        static_assert(sizeof(T) == 0, "type has no JSON form: declare json::members for it");
    }
}

template <class T>
void readInto(DecodeContext& ctx, const Node& e, T& out) {
    if constexpr (std::is_same_v<T, std::string>) {
        readStringInto(ctx, e, out);
    } else if constexpr (IsVector<T>::value) {
        const Node& array = readArray(ctx, e);
        out.clear();
        out.reserve(array.items.size());
        std::int64_t index = 0;
        for (const Node& item : array.items) {
            ctx.path.push(index++);
            readInto(ctx, item, out.emplace_back());
            ctx.path.pop();
        }
    } else if constexpr (Record<T>) {
        readRecordInto(ctx, e, out);
    } else {
        out = read<T>(ctx, e);
    }
}

// ---------------------------------------------------------------------------------------------
// The quick route
//
// Nearly every document the client decodes is valid, so decoding first takes a quick route: one
// walk that reads each member where the document lists it, keeps no coding path and raises
// nothing. It answers false at the first thing it does not take (a wrong type, a duplicate, a
// missing member, a number that is not a plain integer), and the caller then reads the document
// again by the strict route above, which reports the failure with its path, in declared key
// order. The quick route accepts nothing the strict route refuses and fills records the same way,
// so its answer is the strict route's answer without the bookkeeping that only errors need.

template <class T>
bool quickReadInto(JSONDecoder::DateStrategy dates, simdjson::dom::element e, T& out);

// Defined here rather than in the library so that the record walk below takes it inline: a call
// per string member costs about a quarter of what copying a short string does.
inline bool quickReadString(simdjson::dom::element e, std::string& out) {
    std::string_view s;
    if (e.get_string().get(s)) return false;
    out.assign(s.data(), s.size());
    return true;
}
TARN_EXPORT bool quickReadTimestamp(JSONDecoder::DateStrategy dates, simdjson::dom::element e, Timestamp& out);
TARN_EXPORT bool quickReadStringMap(simdjson::dom::element e, StringMap& out);

// A string that `parse` must accept (UUID::parse, URL::parse, an enumeration's raw values).
template <class T, class Parse>
bool quickReadFromString(simdjson::dom::element e, T& out, Parse parse) {
    std::string_view s;
    if (e.get_string().get(s)) return false;
    std::optional<T> value = parse(s);
    if (!value) return false;
    out = *value;
    return true;
}

template <class R, std::size_t I>
bool quickReadMember(JSONDecoder::DateStrategy dates, simdjson::dom::element value, R& out) {
    auto& member = out.*(std::get<I>(members<R>).pointer);
    if constexpr (IsOptional<std::remove_cvref_t<decltype(member)>>::value) {
        if (value.is_null()) {
            member = std::nullopt;
            return true;
        }
        return quickReadInto(dates, value, member.emplace());
    } else {
        return quickReadInto(dates, value, member);
    }
}

// A record's members in declared order with their readers: a member found by name is read with
// one indirect call instead of a chain of tests for its position.
template <class R>
struct QuickMember {
    std::string_view name;
    bool (*read)(JSONDecoder::DateStrategy, simdjson::dom::element, R&);
};

template <class R>
inline constexpr auto quickMembers = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<QuickMember<R>, sizeof...(I)>{
        QuickMember<R>{std::get<I>(members<R>).name, &quickReadMember<R, I>}...};
}(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(members<R>)>>>{});

// Members the document left out: optionals are cleared, a required one fails the quick route.
template <class R, std::size_t... I>
bool quickSettleAbsent(std::uint64_t seen, R& out, std::index_sequence<I...>) {
    return ([&] {
        if (seen & (std::uint64_t{1} << I)) return true;
        auto& member = out.*(std::get<I>(members<R>).pointer);
        if constexpr (IsOptional<std::remove_cvref_t<decltype(member)>>::value) {
            member = std::nullopt;
            return true;
        } else {
            return false;
        }
    }() && ...);
}

// The backend lists a record's members in the order the table declares them, leaving out some
// optionals. This pass takes the members in that order, each compared with its name as a constant
// and read inline, while the document follows it: a member that is not next is taken as absent
// for now, and the pass stops at a key that no later member has. It answers false only when a
// member it read was refused.
template <class R, std::size_t... I>
bool quickReadInDeclaredOrder(JSONDecoder::DateStrategy dates, simdjson::dom::object::iterator& field,
                              simdjson::dom::object::iterator end, std::uint64_t& seen, R& out,
                              std::index_sequence<I...>) {
    return ([&] {
        if (field == end || !sameKey(field.key(), std::get<I>(members<R>).name)) return true;
        seen |= std::uint64_t{1} << I;
        if (!quickReadMember<R, I>(dates, field.value(), out)) return false;
        ++field;
        return true;
    }() && ...);
}

// Flattened: everything the walk of one record calls is inlined into it (the key and value
// accessors of the parse, the member readers, the string copies), which GCC's own limits
// otherwise leave as a call per member and value; that takes about a tenth off a decode, counted
// in instructions. A nested record stays one call (noinline), so that each record type's walk
// exists once rather than inside every record that holds it: the records' coders grow by about
// a sixth instead of a third.
template <class R>
[[gnu::flatten, gnu::noinline]] bool quickReadRecordInto(JSONDecoder::DateStrategy dates, simdjson::dom::element e, R& out) {
    simdjson::dom::object object;
    if (e.get_object().get(object)) return false;
    if constexpr (HasRefusal<R>) {
        if (hasRefusedMember<R>(object)) return false;
    }
    constexpr auto& table = quickMembers<R>;
    constexpr std::size_t n = table.size();
    static_assert(n < 64, "the members seen are kept in one 64-bit mask");

    std::uint64_t seen = 0;
    auto field = object.begin();
    const auto end = object.end();
    if (!quickReadInDeclaredOrder(dates, field, end, seen, out, std::make_index_sequence<n>{})) return false;
    // What the document lists out of order: unknown keys, members moved, members given twice.
    std::size_t next = 0;  // the member after the last match: where a backend's stable order puts the next key
    for (; field != end; ++field) {
        const std::string_view key = field.key();
        std::size_t i = next;
        std::size_t tried = 0;
        for (; tried < n && !sameKey(table[i].name, key); ++tried) i = i + 1 < n ? i + 1 : 0;
        if (tried == n) continue;  // unknown keys are ignored
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (seen & bit) return false;
        seen |= bit;
        if (!table[i].read(dates, field.value(), out)) return false;
        next = i + 1 < n ? i + 1 : 0;
    }
    return quickSettleAbsent(seen, out, std::make_index_sequence<n>{});
}

template <class T>
bool quickReadInto(JSONDecoder::DateStrategy dates, simdjson::dom::element e, T& out) {
    if constexpr (std::is_same_v<T, std::string>) {
        return quickReadString(e, out);
    } else if constexpr (std::is_same_v<T, bool>) {
        return !e.get_bool().get(out);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        // Only what the parser already holds as a signed integer; 6e1 and 1.0 take the strict route,
        // which judges them by their text.
        if (e.type() != simdjson::dom::element_type::INT64) return false;
        out = e.get_int64().value_unsafe();
        return true;
    } else if constexpr (std::is_same_v<T, Timestamp>) {
        return quickReadTimestamp(dates, e, out);
    } else if constexpr (std::is_same_v<T, UUID> || std::is_same_v<T, URL>) {
        return quickReadFromString(e, out, &T::parse);
    } else if constexpr (std::is_same_v<T, StringMap>) {
        return quickReadStringMap(e, out);
    } else if constexpr (std::is_same_v<T, EmptyBody>) {
        return true;
    } else if constexpr (StringEnum<T>) {
        return quickReadFromString(e, out, &fromRawValue<T>);
    } else if constexpr (IsVector<T>::value) {
        simdjson::dom::array array;
        if (e.get_array().get(array)) return false;
        out.clear();
        out.reserve(array.size());
        for (simdjson::dom::element item : array) {
            if (!quickReadInto(dates, item, out.emplace_back())) return false;
        }
        return true;
    } else if constexpr (Record<T>) {
        return quickReadRecordInto(dates, e, out);
    } else {
        static_assert(sizeof(T) == 0, "type has no JSON form: declare json::members for it");
    }
}

// ---------------------------------------------------------------------------------------------
// Encoding

struct EncodeContext {
    JSONEncoder::DateStrategy dates;
    Path path;
    std::string out;
};

// The writers of single values; writeString raises EncodingError for text that is not UTF-8.
TARN_EXPORT void writeString(EncodeContext& ctx, std::string_view s);
TARN_EXPORT void writeInt64(EncodeContext& ctx, std::int64_t v);
TARN_EXPORT void writeTimestamp(EncodeContext& ctx, Timestamp t);
TARN_EXPORT void writeStringMap(EncodeContext& ctx, const StringMap& map);

template <class T>
void write(EncodeContext& ctx, const T& value);

template <class R>
void writeRecord(EncodeContext& ctx, const R& record) {
    ctx.out.push_back('{');
    bool first = true;
    std::apply(
        [&](const auto&... m) {
            (
                [&] {
                    const auto& v = record.*(m.pointer);
                    using V = std::remove_cvref_t<decltype(v)>;
                    if constexpr (IsOptional<V>::value) {
                        if (!v) return;  // absent members are omitted, never written as null
                    }
                    if (!first) ctx.out.push_back(',');
                    first = false;
                    writeString(ctx, m.name);
                    ctx.out.push_back(':');
                    ctx.path.push(m.name);
                    if constexpr (IsOptional<V>::value) {
                        write(ctx, *v);
                    } else {
                        write(ctx, v);
                    }
                    ctx.path.pop();
                }(),
                ...);
        },
        members<R>);
    ctx.out.push_back('}');
}

template <class T>
void write(EncodeContext& ctx, const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        writeString(ctx, value);
    } else if constexpr (std::is_same_v<T, bool>) {
        ctx.out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        writeInt64(ctx, value);
    } else if constexpr (std::is_same_v<T, Timestamp>) {
        writeTimestamp(ctx, value);
    } else if constexpr (std::is_same_v<T, UUID>) {
        writeString(ctx, value.uuidString());
    } else if constexpr (std::is_same_v<T, URL>) {
        writeString(ctx, value.absoluteString());
    } else if constexpr (std::is_same_v<T, StringMap>) {
        writeStringMap(ctx, value);
    } else if constexpr (std::is_same_v<T, EmptyBody>) {
        ctx.out += "{}";
    } else if constexpr (StringEnum<T>) {
        writeString(ctx, rawValue(value));
    } else if constexpr (IsVector<T>::value) {
        ctx.out.push_back('[');
        std::int64_t index = 0;
        for (const auto& item : value) {
            if (index > 0) ctx.out.push_back(',');
            ctx.path.push(index++);
            write(ctx, item);
            ctx.path.pop();
        }
        ctx.out.push_back(']');
    } else if constexpr (Record<T>) {
        writeRecord(ctx, value);
    } else {
        static_assert(sizeof(T) == 0, "type has no JSON form: declare json::members for it");
    }
}

}  // namespace tarn::json::detail

namespace tarn {

namespace json::detail {

template <class T>
T decodeDocument(JSONDecoder::DateStrategy dates, std::string_view data, bool padded) {
    simdjson::dom::element root;
    if (parseDocument(data, padded, root)) {
        // Reads nothing, but the payload must still be well-formed JSON.
        if constexpr (std::is_same_v<T, EmptyBody>) return EmptyBody{};
        T out{};
        if (quickReadInto(dates, root, out)) return out;
    }
    // The strict route validates the document on its own terms, then overwrites whatever the
    // quick one left behind, and raises the error.
    const Node tree = parseStrict(data);
    if constexpr (std::is_same_v<T, EmptyBody>) {
        return EmptyBody{};
    } else {
        T out{};
        DecodeContext ctx{dates, {}};
        readInto(ctx, tree, out);
        return out;
    }
}

}  // namespace json::detail

template <class T>
T JSONDecoder::decode(std::string_view data) const {
    return json::detail::decodeDocument<T>(dateStrategy_, data, false);
}

template <class T>
T JSONDecoder::decode(const std::string& data) const {
    return json::detail::decodeDocument<T>(dateStrategy_, data,
                                           data.capacity() - data.size() >= simdjson::SIMDJSON_PADDING);
}

template <class T>
std::string JSONEncoder::encode(const T& value) const {
    json::detail::EncodeContext ctx{dateStrategy_, {}, {}};
    json::detail::write(ctx, value);
    return std::move(ctx.out);
}

}  // namespace tarn

// Explicit instantiations, in the global namespace of one .cpp file; see the top of this header.
// EXPORT is an export attribute (a library's own TARN_EXPORT) or nothing. Each macro is a
// declaration that wants its semicolon.
#define TARN_JSON_DECODABLE_EXPORTED(EXPORT, T)                                                          \
    template EXPORT T tarn::JSONDecoder::decode<T>(std::string_view) const;                               \
    template EXPORT T tarn::JSONDecoder::decode<T>(const std::string&) const;                             \
    template EXPORT std::vector<T> tarn::JSONDecoder::decode<std::vector<T>>(std::string_view) const;     \
    template EXPORT std::vector<T> tarn::JSONDecoder::decode<std::vector<T>>(const std::string&) const

#define TARN_JSON_ENCODABLE_EXPORTED(EXPORT, T)                                    \
    template EXPORT std::string tarn::JSONEncoder::encode<T>(const T&) const;     \
    template EXPORT std::string tarn::JSONEncoder::encode<std::vector<T>>(const std::vector<T>&) const

#define TARN_JSON_CODABLE_EXPORTED(EXPORT, T)  \
    TARN_JSON_DECODABLE_EXPORTED(EXPORT, T);   \
    TARN_JSON_ENCODABLE_EXPORTED(EXPORT, T)

#define TARN_JSON_DECODABLE(T) TARN_JSON_DECODABLE_EXPORTED(, T)
#define TARN_JSON_ENCODABLE(T) TARN_JSON_ENCODABLE_EXPORTED(, T)
#define TARN_JSON_CODABLE(T) TARN_JSON_CODABLE_EXPORTED(, T)
