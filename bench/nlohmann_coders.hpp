// The same records coded the way a C++ developer would do it without the library: nlohmann::json
// with a hand-written from_json / to_json pair per record. This is the alternative the codec
// benchmarks compare against, not code to copy: every key is spelled twice and nothing checks for
// duplicate keys.
#pragma once

#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/platform/timestamp.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>

namespace tarn {

namespace nlohmann_coding {

using nlohmann::json;

template <class T>
void optionalFrom(const json& j, const char* key, std::optional<T>& out) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
        out.reset();
    } else {
        out = it->get<T>();
    }
}

inline Timestamp timestampFrom(const json& j) {
    if (auto t = parseBackendDate(j.get_ref<const std::string&>())) return *t;
    throw std::runtime_error("invalid date");
}

template <class T>
void optionalTo(json& j, const char* key, const std::optional<T>& value) {
    if (value) j[key] = *value;
}

}  // namespace nlohmann_coding

inline void from_json(const nlohmann::json& j, VPNServer& s) {
    j.at("id").get_to(s.id);
    j.at("country").get_to(s.country);
    j.at("city").get_to(s.city);
    nlohmann_coding::optionalFrom(j, "flag", s.flag);
    j.at("load").get_to(s.load);
    j.at("latency").get_to(s.latency);
    j.at("is_available").get_to(s.isAvailable);
    j.at("is_premium").get_to(s.isPremium);
    j.at("protocol").get_to(s.protocolName);
}

inline void from_json(const nlohmann::json& j, AccountDevice& d) {
    j.at("id").get_to(d.id);
    j.at("device_id").get_to(d.deviceID);
    j.at("name").get_to(d.name);
    nlohmann_coding::optionalFrom(j, "model", d.model);
    j.at("platform").get_to(d.platform);
    nlohmann_coding::optionalFrom(j, "platform_version", d.platformVersion);
    nlohmann_coding::optionalFrom(j, "client_app", d.clientApp);
    nlohmann_coding::optionalFrom(j, "client_version", d.clientVersion);
    if (auto it = j.find("last_seen_at"); it != j.end() && !it->is_null()) {
        d.lastSeenAt = nlohmann_coding::timestampFrom(*it);
    } else {
        d.lastSeenAt.reset();
    }
}

inline void from_json(const nlohmann::json& j, AccountDevicesResponse& r) {
    j.at("subscription_active").get_to(r.subscriptionActive);
    j.at("devices").get_to(r.devices);
    j.at("used").get_to(r.used);
    j.at("limit").get_to(r.limit);
    j.at("available").get_to(r.available);
}

inline void from_json(const nlohmann::json& j, BillingTariffVariant& v) {
    j.at("limit").get_to(v.limit);
    j.at("price_rub").get_to(v.priceRUB);
    j.at("month_rub").get_to(v.monthRUB);
    j.at("unit").get_to(v.unit);
}

inline void from_json(const nlohmann::json& j, BillingTariffGroup& g) {
    j.at("id").get_to(g.id);
    j.at("title").get_to(g.title);
    j.at("days").get_to(g.days);
    j.at("featured").get_to(g.featured);
    j.at("default_limit").get_to(g.defaultLimit);
    j.at("default_price_rub").get_to(g.defaultPriceRUB);
    j.at("default_month_rub").get_to(g.defaultMonthRUB);
    j.at("default_unit").get_to(g.defaultUnit);
    j.at("variants").get_to(g.variants);
}

inline void from_json(const nlohmann::json& j, BillingPaymentMethod& m) {
    j.at("id").get_to(m.id);
    j.at("label").get_to(m.label);
    j.at("hint").get_to(m.hint);
    j.at("recurring").get_to(m.recurring);
}

inline void from_json(const nlohmann::json& j, BillingCatalog& c) {
    j.at("currency").get_to(c.currency);
    j.at("device_limit_options").get_to(c.deviceLimitOptions);
    j.at("tariff_groups").get_to(c.tariffGroups);
    j.at("payment_methods").get_to(c.paymentMethods);
}

inline void to_json(nlohmann::json& j, const VPNServer& s) {
    j = nlohmann::json{{"id", s.id},
                       {"country", s.country},
                       {"city", s.city},
                       {"load", s.load},
                       {"latency", s.latency},
                       {"is_available", s.isAvailable},
                       {"is_premium", s.isPremium},
                       {"protocol", s.protocolName}};
    nlohmann_coding::optionalTo(j, "flag", s.flag);
}

inline void to_json(nlohmann::json& j, const UserSyncRequest& r) {
    j = nlohmann::json{{"device_id", r.deviceID}, {"platform", r.platform}, {"app_version", r.appVersion}};
    nlohmann_coding::optionalTo(j, "crm_user_id", r.crmUserID);
    nlohmann_coding::optionalTo(j, "email", r.email);
    nlohmann_coding::optionalTo(j, "telegram_user_id", r.telegramUserID);
    nlohmann_coding::optionalTo(j, "telegram_username", r.telegramUsername);
}

inline void to_json(nlohmann::json& j, const BillingCheckoutRequest& r) {
    j = nlohmann::json{{"tariff_id", r.tariffID},
                       {"device_limit", r.deviceLimit},
                       {"payment_method", r.paymentMethod},
                       {"recurring_opt_in", r.recurringOptIn},
                       {"platform", r.platform}};
    nlohmann_coding::optionalTo(j, "promo_code", r.promoCode);
}

inline void to_json(nlohmann::json& j, const AppEventPayload& e) {
    j = nlohmann::json{{"event_name", e.eventName},
                       {"device_id", e.deviceID},
                       {"event_time", formatISO8601(e.eventTime)},
                       {"app_version", e.appVersion},
                       {"platform", e.platform}};
    nlohmann_coding::optionalTo(j, "event_id", e.eventID);
    nlohmann_coding::optionalTo(j, "session_id", e.sessionID);
    nlohmann_coding::optionalTo(j, "os_version", e.osVersion);
    nlohmann_coding::optionalTo(j, "server_id", e.serverID);
    nlohmann_coding::optionalTo(j, "vpn_state", e.vpnState);
    nlohmann_coding::optionalTo(j, "duration_ms", e.durationMS);
    nlohmann_coding::optionalTo(j, "metadata", e.metadata);
}

inline void to_json(nlohmann::json& j, const PushTokenRequest& r) {
    j = nlohmann::json{{"platform", r.platform},
                       {"token", r.token},
                       {"environment", r.environment},
                       {"device_id", r.deviceID},
                       {"app_version", r.appVersion}};
    nlohmann_coding::optionalTo(j, "provider", r.provider);
    nlohmann_coding::optionalTo(j, "locale", r.locale);
    nlohmann_coding::optionalTo(j, "timezone", r.timezone);
}

inline void to_json(nlohmann::json& j, const RegisterRequest& r) {
    j = nlohmann::json{{"email", r.email},
                       {"password", r.password},
                       {"accepted_terms", r.acceptedTerms},
                       {"accepted_personal_data_processing", r.acceptedPersonalDataProcessing}};
    nlohmann_coding::optionalTo(j, "name", r.name);
}

}  // namespace tarn
