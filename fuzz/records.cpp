// Decodes arbitrary bytes as each of the backend's answer records. The first byte picks the
// record. A decode may fail only with DecodingError; whatever decodes must describe itself, and a
// record that decodes must decode the same way again (the decoder keeps no state between calls).
// Decoding takes a quick route over simdjson's parse and falls back to a strict route over a
// parser of its own: the answer, success or failure, must be the strict route's alone, and the
// bytes must be well-formed for EmptyBody exactly when the strict parser says so.
#include "tarn/json/json_codec.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Outcome {
    bool decoded = false;
    tarn::DecodingError::Kind kind{};
    std::string path;
};

Outcome failure(const tarn::DecodingError& e) { return {false, e.kind(), e.codingPathString()}; }

template <class Record>
Outcome strictRouteOnly(std::string_view text) {
    try {
        tarn::json::detail::DecodeContext ctx{tarn::JSONDecoder::DateStrategy::backend, {}};
        (void)tarn::json::detail::read<Record>(ctx, tarn::json::detail::parseStrict(text));
        return {true, {}, {}};
    } catch (const tarn::DecodingError& e) {
        return failure(e);
    }
}

template <class Record>
void decode(std::string_view text) {
    static const tarn::JSONDecoder decoder = tarn::JSONDecoder::tarn();
    const Outcome strict = strictRouteOnly<Record>(text);
    bool wellFormed = true;
    try {
        (void)decoder.decode<tarn::EmptyBody>(text);
    } catch (const tarn::DecodingError&) {
        wellFormed = false;
    }
    if (wellFormed != strictRouteOnly<tarn::EmptyBody>(text).decoded) std::abort();
    Record first;
    try {
        first = decoder.decode<Record>(text);
    } catch (const tarn::DecodingError& e) {
        (void)e.what();
        const Outcome got = failure(e);
        if (strict.decoded || got.kind != strict.kind || got.path != strict.path) std::abort();
        return;
    }
    if (!strict.decoded) std::abort();
    if (!(decoder.decode<Record>(text) == first)) std::abort();
    if constexpr (requires(std::ostream& os, const Record& r) { os << r; }) {
        std::ostringstream described;
        described << first;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 12) {
        case 0: decode<tarn::CRMUser>(text); break;
        case 1: decode<tarn::AuthResponse>(text); break;
        case 2: decode<tarn::AccountDevicesResponse>(text); break;
        case 3: decode<std::vector<tarn::VPNServer>>(text); break;
        case 4: decode<tarn::VLESSConfig>(text); break;
        case 5: decode<tarn::BillingCatalog>(text); break;
        case 6: decode<tarn::BillingCheckoutResponse>(text); break;
        case 7: decode<tarn::IOSAppRelease>(text); break;
        case 8: decode<tarn::UserSyncResponse>(text); break;
        case 9: decode<tarn::TelegramAuthSession>(text); break;
        case 10: decode<tarn::TelegramSessionStatus>(text); break;
        default: decode<tarn::OAuthSessionStatus>(text); break;
    }
    return 0;
}
