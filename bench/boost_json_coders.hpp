// The records decoded the way Boost.JSON documents it: `boost::json::parse` into a value, then
// `value_to<T>` through a tag_invoke overload per record. A peer for the decoding figures, not
// code to copy: every key is spelled again here and duplicates go unnoticed (Boost 1.81 has no
// parse_into that would decode straight into records).
#pragma once

#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/platform/timestamp.hpp"

#include <boost/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn {

namespace boost_json_coding {

namespace json = boost::json;

template <class T>
std::optional<T> optional(const json::object& o, std::string_view key) {
    const json::value* v = o.if_contains(key);
    if (v == nullptr || v->is_null()) return std::nullopt;
    return json::value_to<T>(*v);
}

template <class T>
T field(const json::object& o, std::string_view key) {
    return json::value_to<T>(o.at(key));
}

}  // namespace boost_json_coding

inline VPNServer tag_invoke(boost::json::value_to_tag<VPNServer>, const boost::json::value& v) {
    using namespace boost_json_coding;
    const auto& o = v.as_object();
    return {field<std::string>(o, "id"),         field<std::string>(o, "country"),   field<std::string>(o, "city"),
            optional<std::string>(o, "flag"),    field<std::int64_t>(o, "load"),     field<std::int64_t>(o, "latency"),
            field<bool>(o, "is_available"),      field<bool>(o, "is_premium"),       field<std::string>(o, "protocol")};
}

inline AccountDevice tag_invoke(boost::json::value_to_tag<AccountDevice>, const boost::json::value& v) {
    using namespace boost_json_coding;
    const auto& o = v.as_object();
    AccountDevice d;
    d.id = field<std::int64_t>(o, "id");
    d.deviceID = field<std::string>(o, "device_id");
    d.name = field<std::string>(o, "name");
    d.model = optional<std::string>(o, "model");
    d.platform = field<std::string>(o, "platform");
    d.platformVersion = optional<std::string>(o, "platform_version");
    d.clientApp = optional<std::string>(o, "client_app");
    d.clientVersion = optional<std::string>(o, "client_version");
    if (auto seen = optional<std::string>(o, "last_seen_at")) {
        d.lastSeenAt = parseBackendDate(*seen);
        if (!d.lastSeenAt) throw std::runtime_error("invalid date");
    }
    return d;
}

inline AccountDevicesResponse tag_invoke(boost::json::value_to_tag<AccountDevicesResponse>, const boost::json::value& v) {
    using namespace boost_json_coding;
    const auto& o = v.as_object();
    return {field<bool>(o, "subscription_active"), field<std::vector<AccountDevice>>(o, "devices"),
            field<std::int64_t>(o, "used"), field<std::int64_t>(o, "limit"), field<std::int64_t>(o, "available")};
}

inline BillingTariffVariant tag_invoke(boost::json::value_to_tag<BillingTariffVariant>, const boost::json::value& v) {
    using namespace boost_json_coding;
    const auto& o = v.as_object();
    return {field<std::int64_t>(o, "limit"), field<std::int64_t>(o, "price_rub"), field<std::int64_t>(o, "month_rub"),
            field<std::string>(o, "unit")};
}

inline BillingTariffGroup tag_invoke(boost::json::value_to_tag<BillingTariffGroup>, const boost::json::value& v) {
    using namespace boost_json_coding;
    const auto& o = v.as_object();
    BillingTariffGroup g;
    g.id = field<std::string>(o, "id");
    g.title = field<std::string>(o, "title");
    g.days = field<std::int64_t>(o, "days");
    g.featured = field<bool>(o, "featured");
    g.defaultLimit = field<std::int64_t>(o, "default_limit");
    g.defaultPriceRUB = field<std::int64_t>(o, "default_price_rub");
    g.defaultMonthRUB = field<std::int64_t>(o, "default_month_rub");
    g.defaultUnit = field<std::string>(o, "default_unit");
    g.variants = field<std::vector<BillingTariffVariant>>(o, "variants");
    return g;
}

inline BillingPaymentMethod tag_invoke(boost::json::value_to_tag<BillingPaymentMethod>, const boost::json::value& v) {
    using namespace boost_json_coding;
    const auto& o = v.as_object();
    return {field<std::string>(o, "id"), field<std::string>(o, "label"), field<std::string>(o, "hint"),
            field<bool>(o, "recurring")};
}

inline BillingCatalog tag_invoke(boost::json::value_to_tag<BillingCatalog>, const boost::json::value& v) {
    using namespace boost_json_coding;
    const auto& o = v.as_object();
    return {field<std::string>(o, "currency"), field<std::vector<std::int64_t>>(o, "device_limit_options"),
            field<std::vector<BillingTariffGroup>>(o, "tariff_groups"),
            field<std::vector<BillingPaymentMethod>>(o, "payment_methods")};
}

namespace boost_json_coding {

/// Parses `text` into a value whose memory comes first from `buffer`, reused for each document
/// (a monotonic_resource over a buffer of the caller's, as Boost.JSON's documentation suggests for
/// speed), and converts it to a T.
template <class T>
T decode(std::vector<unsigned char>& buffer, const std::string& text) {
    json::monotonic_resource storage(buffer.data(), buffer.size());
    json::value root = json::parse(text, &storage);
    return json::value_to<T>(root);
}

}  // namespace boost_json_coding

}  // namespace tarn
