// String enumerations: an enum class whose cases each carry one wire string. A type opts in by
// specialising `enumCases` with its cases in declaration order; rawValue and fromRawValue then
// work for it, and so does its JSON coding (exact, case-sensitive, no fallback case).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarn {

template <class E>
struct EnumCase {
    E value;
    std::string_view raw;
};

/// Specialise for each string enumeration: std::array of EnumCase in declaration order.
template <class E>
inline constexpr auto enumCases = nullptr;

template <class E>
concept StringEnum = std::is_enum_v<E> && !std::is_same_v<std::remove_cvref_t<decltype(enumCases<E>)>, std::nullptr_t>;

/// The wire string of a case.
template <StringEnum E>
constexpr std::string_view rawValue(E value) {
    for (const auto& c : enumCases<E>) {
        if (c.value == value) return c.raw;
    }
    return {};
}

/// The case whose wire string is exactly raw (case-sensitive), or nullopt.
template <StringEnum E>
constexpr std::optional<E> fromRawValue(std::string_view raw) {
    for (const auto& c : enumCases<E>) {
        if (c.raw == raw) return c.value;
    }
    return std::nullopt;
}

template <StringEnum E>
std::ostream& operator<<(std::ostream& os, E value) {
    return os << rawValue(value);
}

}  // namespace tarn
