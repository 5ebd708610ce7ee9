// The records decoded the way a C++ developer would with RapidJSON: an in-situ-free DOM parse,
// then each member looked up by name and checked by hand. A peer for the decoding figures, not
// code to copy: a missing member is an exception of our own, duplicates go unnoticed.
#pragma once

#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/platform/timestamp.hpp"

#include <rapidjson/document.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::rapidjson_coding {

using Value = rapidjson::Value;

inline const Value& at(const Value& object, const char* key) {
    if (!object.IsObject()) throw std::runtime_error("not an object");
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) throw std::runtime_error(std::string("missing ") + key);
    return it->value;
}

inline std::string text(const Value& object, const char* key) {
    const Value& v = at(object, key);
    if (!v.IsString()) throw std::runtime_error(std::string(key) + " is not a string");
    return {v.GetString(), v.GetStringLength()};
}

inline std::optional<std::string> optionalText(const Value& object, const char* key) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd() || it->value.IsNull()) return std::nullopt;
    if (!it->value.IsString()) throw std::runtime_error(std::string(key) + " is not a string");
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

inline std::int64_t integer(const Value& object, const char* key) {
    const Value& v = at(object, key);
    if (!v.IsInt64()) throw std::runtime_error(std::string(key) + " is not an integer");
    return v.GetInt64();
}

inline bool boolean(const Value& object, const char* key) {
    const Value& v = at(object, key);
    if (!v.IsBool()) throw std::runtime_error(std::string(key) + " is not a boolean");
    return v.GetBool();
}

inline const Value& array(const Value& object, const char* key) {
    const Value& v = at(object, key);
    if (!v.IsArray()) throw std::runtime_error(std::string(key) + " is not an array");
    return v;
}

inline VPNServer server(const Value& j) {
    VPNServer s;
    s.id = text(j, "id");
    s.country = text(j, "country");
    s.city = text(j, "city");
    s.flag = optionalText(j, "flag");
    s.load = integer(j, "load");
    s.latency = integer(j, "latency");
    s.isAvailable = boolean(j, "is_available");
    s.isPremium = boolean(j, "is_premium");
    s.protocolName = text(j, "protocol");
    return s;
}

inline AccountDevice device(const Value& j) {
    AccountDevice d;
    d.id = integer(j, "id");
    d.deviceID = text(j, "device_id");
    d.name = text(j, "name");
    d.model = optionalText(j, "model");
    d.platform = text(j, "platform");
    d.platformVersion = optionalText(j, "platform_version");
    d.clientApp = optionalText(j, "client_app");
    d.clientVersion = optionalText(j, "client_version");
    if (auto seen = optionalText(j, "last_seen_at")) {
        d.lastSeenAt = parseBackendDate(*seen);
        if (!d.lastSeenAt) throw std::runtime_error("invalid date");
    }
    return d;
}

inline BillingTariffVariant variant(const Value& j) {
    return {integer(j, "limit"), integer(j, "price_rub"), integer(j, "month_rub"), text(j, "unit")};
}

inline BillingTariffGroup group(const Value& j) {
    BillingTariffGroup g;
    g.id = text(j, "id");
    g.title = text(j, "title");
    g.days = integer(j, "days");
    g.featured = boolean(j, "featured");
    g.defaultLimit = integer(j, "default_limit");
    g.defaultPriceRUB = integer(j, "default_price_rub");
    g.defaultMonthRUB = integer(j, "default_month_rub");
    g.defaultUnit = text(j, "default_unit");
    for (const auto& v : array(j, "variants").GetArray()) g.variants.push_back(variant(v));
    return g;
}

template <class T>
struct Decode;

template <>
struct Decode<std::vector<VPNServer>> {
    static std::vector<VPNServer> from(const Value& root) {
        if (!root.IsArray()) throw std::runtime_error("not an array");
        std::vector<VPNServer> out;
        out.reserve(root.Size());
        for (const auto& s : root.GetArray()) out.push_back(server(s));
        return out;
    }
};

template <>
struct Decode<AccountDevicesResponse> {
    static AccountDevicesResponse from(const Value& root) {
        AccountDevicesResponse r;
        r.subscriptionActive = boolean(root, "subscription_active");
        const Value& devices = array(root, "devices");
        r.devices.reserve(devices.Size());
        for (const auto& d : devices.GetArray()) r.devices.push_back(device(d));
        r.used = integer(root, "used");
        r.limit = integer(root, "limit");
        r.available = integer(root, "available");
        return r;
    }
};

template <>
struct Decode<BillingCatalog> {
    static BillingCatalog from(const Value& root) {
        BillingCatalog c;
        c.currency = text(root, "currency");
        for (const auto& v : array(root, "device_limit_options").GetArray()) {
            if (!v.IsInt64()) throw std::runtime_error("device limit is not an integer");
            c.deviceLimitOptions.push_back(v.GetInt64());
        }
        for (const auto& g : array(root, "tariff_groups").GetArray()) c.tariffGroups.push_back(group(g));
        for (const auto& m : array(root, "payment_methods").GetArray()) {
            c.paymentMethods.push_back({text(m, "id"), text(m, "label"), text(m, "hint"), boolean(m, "recurring")});
        }
        return c;
    }
};

/// Parses `json` with RapidJSON's DOM (reusing `document`'s allocator) and extracts a T.
template <class T>
T decode(rapidjson::Document& document, const std::string& json) {
    document.Parse(json.data(), json.size());
    if (document.HasParseError()) throw std::runtime_error("RapidJSON refused the document");
    return Decode<T>::from(document);
}

}  // namespace tarn::rapidjson_coding
