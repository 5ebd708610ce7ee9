// Short stable digests and hex text for names derived from other text: lock and item file names,
// the tunnel's profile fingerprint, keychain accounts, entity tags. FNV-1a is no cryptographic
// hash; it only tells texts apart. Its values are stored on disk and compared across processes
// and versions, so they must never change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::digest {

inline constexpr std::uint64_t fnv1aOffsetBasis = 14695981039346656037ull;

/// 64-bit FNV-1a of `bytes`; pass a previous result as `hash` to digest several pieces as one.
constexpr std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = fnv1aOffsetBasis) noexcept {
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

/// Two lowercase hex digits per byte, in order.
inline std::string hexBytes(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

/// The 16 lowercase hex digits of `value`, most significant first.
inline std::string hexValue(std::uint64_t value) {
    char bytes[8];
    for (int i = 7; i >= 0; --i, value >>= 8) bytes[i] = static_cast<char>(value & 0xFF);
    return hexBytes(std::string_view(bytes, sizeof bytes));
}

}  // namespace tarn::digest
