// The library's JSON conventions: the decoder and encoder presets, the errors they raise, EmptyBody,
// and the member tables through which every wire record describes its JSON form once. This header
// does not need simdjson: it is all that code decoding and encoding the library's own records uses.
//
// A record of the application's own takes three steps:
//
//  1. Next to the record, specialise `json::members<R>` with its members in declared key order
//     (inside namespace tarn, or as `tarn::json::members<R>`):
//
//         template <> inline constexpr auto json::members<shop::Ticket> = std::tuple{
//             json::member("id", &shop::Ticket::id),
//             json::member("note", &shop::Ticket::note),   // std::optional: may be missing or null
//             ...};
//
//  2. In ONE .cpp file, include tarn/json/json_codec.hpp (it brings in simdjson: link tarn::json)
//     and write `TARN_JSON_CODABLE(shop::Ticket);` in the global namespace. That instantiates
//     decoding and encoding of the record and of std::vector of it.
//
//  3. Everywhere else, this header is enough: `JSONDecoder::tarn().decode<shop::Ticket>(body)`.
//
// A std::optional member is optional (missing or null decode as absent; absent is omitted when
// encoding); every other member is required. A member is a std::string, bool, std::int64_t,
// Timestamp, UUID, URL, std::map<std::string, std::string>, string enumeration
// (tarn/json/string_enum.hpp), another record, or a std::vector of any of these. One generic
// codec drives decoding and encoding of every record, the library's and the application's alike.
#pragma once

#include "tarn/export.hpp"
#include "tarn/error.hpp"

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace tarn {

/// One step of a coding path: a member name, or a position in an array.
struct TARN_EXPORT CodingKey {
    std::string stringValue;
    std::optional<std::int64_t> intValue;
    friend bool operator==(const CodingKey&, const CodingKey&) = default;
};

/// A failure to decode: the kind, where in the document it happened, and what was wrong.
class TARN_EXPORT DecodingError : public Error {
public:
    enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

    DecodingError(Kind kind, std::vector<CodingKey> codingPath, std::string debugDescription);

    Kind kind() const noexcept { return kind_; }
    const std::vector<CodingKey>& codingPath() const noexcept { return codingPath_; }
    /// The path as text: members joined by ".", positions as "[n]" ("user.subscription_status",
    /// "devices[2].id"); "" at the top level.
    std::string codingPathString() const;
    const std::string& debugDescription() const noexcept { return debugDescription_; }
    /// "keyNotFound at user.id: No value associated with key \"id\"."
    const char* what() const noexcept override { return what_.c_str(); }

private:
    Kind kind_;
    std::vector<CodingKey> codingPath_;
    std::string debugDescription_;
    std::string what_;
};

TARN_EXPORT std::string_view to_string(DecodingError::Kind kind);

/// A value that cannot be written as JSON (text that is not valid UTF-8).
class TARN_EXPORT EncodingError : public Error {
public:
    EncodingError(std::vector<CodingKey> codingPath, std::string debugDescription);
    const std::vector<CodingKey>& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::vector<CodingKey> codingPath_;
    std::string debugDescription_;
    std::string what_;
};

/// The record without fields: encodes as {} and decodes from any well-formed JSON document.
struct TARN_EXPORT EmptyBody {
    friend bool operator==(const EmptyBody&, const EmptyBody&) = default;
};

namespace json {

template <class Record, class Value>
struct Member {
    std::string_view name;
    Value Record::*pointer;
};

template <class Record, class Value>
constexpr Member<Record, Value> member(std::string_view name, Value Record::*pointer) {
    return {name, pointer};
}

/// Specialise with a std::tuple of members in declared key order.
template <class R>
inline constexpr auto members = nullptr;

template <class R>
concept Record = !std::is_same_v<std::remove_cvref_t<decltype(members<R>)>, std::nullptr_t>;

/// Members whose mere presence (any value, null included) fails decoding of a record before
/// anything else is read, with a data-corrupted error attached to `attachKey`.
template <std::size_t N>
struct Refusal {
    std::array<std::string_view, N> keys;
    std::string_view attachKey;
    std::string_view description;
};

template <class R>
inline constexpr auto refusal = nullptr;

}  // namespace json

namespace json {

/// The JSON string literal the encoder writes for utf8: quotes, backslashes and every terminal
/// control (tarn::unicode::isTerminalControl) escaped. Throws EncodingError when utf8 is not UTF-8.
TARN_EXPORT std::string stringLiteral(std::string_view utf8);

}  // namespace json

/// Decodes records from JSON text. A default-constructed decoder has the platform's default
/// settings (timestamps as seconds since 2001-01-01); `tarn()` reads timestamps by the backend's
/// rules. Decoding validates the whole document (UTF-8, syntax, depth) first, then reads members
/// in declared key order and stops at the first failure. Thread-safe: a decoder is immutable.
class TARN_EXPORT JSONDecoder {
public:
    enum class DateStrategy { deferredToDate, backend };

    JSONDecoder() = default;
    static JSONDecoder tarn() { return JSONDecoder(DateStrategy::backend); }

    /// Throws DecodingError. Nothing in the result refers to `data` or to parser memory.
    template <class T>
    T decode(std::string_view data) const;
    /// The same; when the string has 64 bytes of spare capacity the parser reads it in place
    /// instead of copying it first.
    template <class T>
    T decode(const std::string& data) const;
    template <class T>
    T decode(const char* data) const {
        return decode<T>(std::string_view(data));
    }

    DateStrategy dateStrategy() const noexcept { return dateStrategy_; }

private:
    explicit JSONDecoder(DateStrategy s) : dateStrategy_(s) {}
    DateStrategy dateStrategy_ = DateStrategy::deferredToDate;
};

/// Encodes records to compact JSON with members in declared key order. A default-constructed
/// encoder writes timestamps as seconds since 2001-01-01; `tarn()` writes ISO 8601 in UTC
/// without fraction ("2024-05-01T12:00:00Z"). Throws EncodingError. Thread-safe.
class TARN_EXPORT JSONEncoder {
public:
    enum class DateStrategy { deferredToDate, iso8601 };

    JSONEncoder() = default;
    static JSONEncoder tarn() { return JSONEncoder(DateStrategy::iso8601); }

    template <class T>
    std::string encode(const T& value) const;

    DateStrategy dateStrategy() const noexcept { return dateStrategy_; }

private:
    explicit JSONEncoder(DateStrategy s) : dateStrategy_(s) {}
    DateStrategy dateStrategy_ = DateStrategy::deferredToDate;
};

}  // namespace tarn
