// The documents and records the codec benchmarks work on, shaped like the backend's answers
// (member order, timestamps with microseconds, nulls and absent members where it sends them).
// They are written with nlohmann::ordered_json, not with the library's encoder, so that the
// decoding benchmarks never read bytes that only our own writer produces.
#pragma once

#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn::bench {

struct Location {
    const char* code;
    const char* country;
    const char* city;
    const char* flag;  // nullptr: the backend sends none
};

inline constexpr std::array<Location, 12> kLocations{{
    {"de", "Germany", "Frankfurt", "🇩🇪"},
    {"nl", "Netherlands", "Amsterdam", "🇳🇱"},
    {"fi", "Finland", "Helsinki", "🇫🇮"},
    {"us", "United States", "New York", "🇺🇸"},
    {"gb", "United Kingdom", "London", "🇬🇧"},
    {"jp", "Japan", "Tokyo", "🇯🇵"},
    {"tr", "Türkiye", "Istanbul", "🇹🇷"},
    {"kz", "Kazakhstan", "Almaty", "🇰🇿"},
    {"am", "Armenia", "Yerevan", "🇦🇲"},
    {"sg", "Singapore", "Singapore", "🇸🇬"},
    {"ca", "Canada", "Toronto", "🇨🇦"},
    {"xx", "Anycast", "Anycast", nullptr},
}};

/// `count` servers as GET /vpn/servers answers them.
inline std::string serverListJSON(int count) {
    auto list = nlohmann::ordered_json::array();
    for (int i = 0; i < count; ++i) {
        const Location& at = kLocations[static_cast<std::size_t>(i) % kLocations.size()];
        nlohmann::ordered_json s;
        s["id"] = std::string(at.code) + "-" + std::to_string(i / 12 + 1);
        s["country"] = at.country;
        s["city"] = at.city;
        if (at.flag != nullptr) s["flag"] = at.flag;
        const int load = (i * 37 + 11) % 100;
        s["load"] = load;
        s["latency"] = 8 + (i * 13) % 240;
        s["is_available"] = i == 0 || load < 90;
        s["is_premium"] = i % 5 == 2;
        s["protocol"] = "vless";
        list.push_back(std::move(s));
    }
    return list.dump();
}

inline std::string isoMicros(std::int64_t secondsSinceEpoch, int micros) {
    using namespace std::chrono;
    const sys_seconds t{seconds(secondsSinceEpoch)};
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()),
                  static_cast<long>(hms.seconds().count()));
    std::string out(text);
    if (micros >= 0) {
        char fraction[16];
        std::snprintf(fraction, sizeof fraction, ".%06d", micros);
        out.insert(out.size() - 1, fraction);
    }
    return out;
}

/// An account with `count` devices, as GET /devices answers it.
inline std::string deviceListJSON(int count) {
    static constexpr std::array<const char*, 4> platforms{"ios", "macos", "android", "windows"};
    static constexpr std::array<const char*, 4> models{"iPhone15,2", "Mac14,9", "Pixel 8", "Surface Laptop 5"};
    nlohmann::ordered_json answer;
    auto devices = nlohmann::ordered_json::array();
    for (int i = 0; i < count; ++i) {
        const auto p = static_cast<std::size_t>(i) % platforms.size();
        nlohmann::ordered_json d;
        d["id"] = 1000 + i;
        d["name"] = "Устройство " + std::to_string(i + 1);
        if (i % 4 != 3) d["model"] = models[p];
        d["platform"] = platforms[p];
        char deviceID[40];
        std::snprintf(deviceID, sizeof deviceID, "6f1c%04x-2b7e-4c1a-9d3e-%012x", i, i * 7919);
        d["device_id"] = deviceID;
        d["platform_version"] = std::to_string(14 + i % 4) + "." + std::to_string(i % 7);
        d["client_app"] = "Tarn VPN";
        d["client_version"] = "1.3." + std::to_string(i % 10);
        if (i % 9 != 8) d["last_seen_at"] = isoMicros(1'733'000'000 + i * 3'607, (i * 104'729) % 1'000'000);
        devices.push_back(std::move(d));
    }
    answer["devices"] = std::move(devices);
    answer["used"] = count;
    answer["limit"] = count + 5;
    answer["available"] = 5;
    answer["subscription_active"] = true;
    return answer.dump();
}

/// A billing catalogue with six periods, five device limits each, and two payment methods.
inline std::string catalogueJSON() {
    static constexpr std::array<int, 5> limits{1, 2, 3, 5, 10};
    nlohmann::ordered_json c;
    c["currency"] = "RUB";
    c["device_limit_options"] = limits;
    auto groups = nlohmann::ordered_json::array();
    for (int g = 0; g < 6; ++g) {
        nlohmann::ordered_json group;
        group["id"] = "tariff-" + std::to_string(g);
        group["title"] = "Подписка на " + std::to_string((g + 1) * 30) + " дней";
        group["days"] = (g + 1) * 30;
        group["featured"] = g == 2;
        auto variants = nlohmann::ordered_json::array();
        for (int limit : limits) {
            variants.push_back({{"limit", limit},
                                {"unit", "month"},
                                {"price_rub", limit * 149 * (g + 1)},
                                {"month_rub", limit * 149}});
        }
        group["variants"] = std::move(variants);
        group["default_limit"] = 3;
        group["default_price_rub"] = 447 * (g + 1);
        group["default_month_rub"] = 447;
        group["default_unit"] = "month";
        groups.push_back(std::move(group));
    }
    c["tariff_groups"] = std::move(groups);
    c["payment_methods"] = {
        {{"id", "card"}, {"label", "Банковская карта"}, {"hint", "Visa, Mastercard, МИР"}, {"recurring", true}},
        {{"id", "sbp"}, {"label", "СБП"}, {"hint", "Система быстрых платежей"}, {"recurring", false}},
    };
    return c.dump();
}

// ---- Records for the encoding benchmarks ---------------------------------------------------

inline UserSyncRequest sampleUserSync() {
    return {"6f1c0001-2b7e-4c1a-9d3e-00000000beef", "macos", "1.3.2", "usr_1001", "demo@tarn.dev", "777000001",
            "tarn_demo"};
}

inline BillingCheckoutRequest sampleCheckout() { return {"tariff-2", 3, "card", true, "macos", "TARN10"}; }

inline AppEventPayload sampleEvent() {
    AppEventPayload e;
    e.eventName = "vpn_connected";
    e.deviceID = "6f1c0001-2b7e-4c1a-9d3e-00000000beef";
    e.eventTime = Timestamp(std::chrono::seconds(1'733'000'123));
    e.appVersion = "1.3.2";
    e.platform = "macos";
    e.serverID = "de-1";
    e.vpnState = "connected";
    e.metadata = std::map<std::string, std::string>{{"protocol", "vless"}, {"network", "wifi"}, {"attempt", "1"}};
    e.eventID = "0f8a2c1e-5d4b-4e6f-8a9b-1c2d3e4f5a6b";
    e.sessionID = "s-20241201-0001";
    e.osVersion = "14.5";
    e.durationMS = 812;
    return e;
}

inline PushTokenRequest samplePushToken() {
    return {"macos", "apns", std::string(64, 'a'), "production", "6f1c0001-2b7e-4c1a-9d3e-00000000beef", "1.3.2",
            "ru_RU", "Europe/Moscow"};
}

inline RegisterRequest sampleRegister() {
    return {"new.user@example.com", "correct horse battery staple", "Новый пользователь", true, true};
}

}  // namespace tarn::bench
