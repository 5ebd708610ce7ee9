// A 128-bit UUID value. Parsed from the 36-character hyphenated form in either letter case and
// written in the canonical upper-case form; random ones come from the OS's secure source.
#pragma once

#include "tarn/export.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace tarn {

class TARN_EXPORT UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    /// The nil UUID (all zero).
    constexpr UUID() = default;
    explicit constexpr UUID(const Bytes& bytes) : bytes_(bytes) {}

    /// Accepts exactly 8-4-4-4-12 hexadecimal digits with hyphens, either case; nothing else.
    static std::optional<UUID> parse(std::string_view text);

    /// A random version 4 UUID. Throws std::system_error when the OS gives no random bytes.
    static UUID random();

    /// Canonical text, upper-case hexadecimal ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
    std::string uuidString() const;
    /// The same text in lower case.
    std::string lowercaseString() const;

    const Bytes& bytes() const { return bytes_; }
    friend bool operator==(const UUID&, const UUID&) = default;
    friend std::ostream& operator<<(std::ostream& os, const UUID& u) { return os << u.uuidString(); }

private:
    Bytes bytes_{};
};

}  // namespace tarn
