#include "tarn/platform/uuid.hpp"

#include "tarn/platform/ascii.hpp"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace tarn {
namespace {

constexpr std::size_t textLength = 36;

constexpr bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

std::string format(const UUID::Bytes& bytes, const char* digits) {
    std::string out;
    out.reserve(textLength);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

void fillRandom(std::uint8_t* data, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n = ::getrandom(data + filled, size - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != textLength) return std::nullopt;
    Bytes bytes{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < textLength;) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int high = ascii::hexDigitValue(text[i]);
        const int low = ascii::hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
        i += 2;
    }
    return UUID(bytes);
}

UUID UUID::random() {
    Bytes bytes{};
    fillRandom(bytes.data(), bytes.size());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return UUID(bytes);
}

std::string UUID::uuidString() const { return format(bytes_, "0123456789ABCDEF"); }

std::string UUID::lowercaseString() const { return format(bytes_, "0123456789abcdef"); }

}  // namespace tarn
