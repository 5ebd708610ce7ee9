// Records for App Store purchases, analytics events, push tokens, the tariff catalogue and
// checkout of the backend's own payment flow, and the latest published application release.
// Amounts are whole roubles (the RUB suffix).
#pragma once

#include "tarn/export.hpp"
#include "tarn/json/json.hpp"
#include "tarn/platform/timestamp.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/platform/uuid.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarn {

/// An App Store transaction reported to the backend.
struct TARN_EXPORT AppleTransactionPayload {
    std::string productID;
    std::string transactionID;
    std::string originalTransactionID;
    Timestamp purchaseDate;
    std::optional<Timestamp> expiresAt;
    std::string environment;
    std::optional<UUID> appAccountToken;
    std::string signedTransactionInfo;  // the store's signed transaction, passed through unchanged

    friend bool operator==(const AppleTransactionPayload&, const AppleTransactionPayload&) = default;
};

template <>
inline constexpr auto json::members<AppleTransactionPayload> = std::tuple{
    json::member("product_id", &AppleTransactionPayload::productID),
    json::member("transaction_id", &AppleTransactionPayload::transactionID),
    json::member("original_transaction_id", &AppleTransactionPayload::originalTransactionID),
    json::member("purchase_date", &AppleTransactionPayload::purchaseDate),
    json::member("expires_at", &AppleTransactionPayload::expiresAt),
    json::member("environment", &AppleTransactionPayload::environment),
    json::member("app_account_token", &AppleTransactionPayload::appAccountToken),
    json::member("signed_transaction_info", &AppleTransactionPayload::signedTransactionInfo),
};

/// One analytics event. Members are in constructor order (required ones first), so brace
/// initialisation reads: name, device, time, app version, platform, server, VPN state, metadata,
/// then the optional event id, session id, OS version and duration.
struct TARN_EXPORT AppEventPayload {
    std::string eventName;
    std::string deviceID;
    Timestamp eventTime;
    std::string appVersion;
    std::string platform;
    std::optional<std::string> serverID;
    std::optional<std::string> vpnState;
    std::optional<std::map<std::string, std::string>> metadata;
    std::optional<std::string> eventID;
    std::optional<std::string> sessionID;
    std::optional<std::string> osVersion;
    std::optional<std::int64_t> durationMS;

    friend bool operator==(const AppEventPayload&, const AppEventPayload&) = default;
};

template <>
inline constexpr auto json::members<AppEventPayload> = std::tuple{
    json::member("event_name", &AppEventPayload::eventName),
    json::member("event_id", &AppEventPayload::eventID),
    json::member("session_id", &AppEventPayload::sessionID),
    json::member("device_id", &AppEventPayload::deviceID),
    json::member("event_time", &AppEventPayload::eventTime),
    json::member("app_version", &AppEventPayload::appVersion),
    json::member("os_version", &AppEventPayload::osVersion),
    json::member("platform", &AppEventPayload::platform),
    json::member("server_id", &AppEventPayload::serverID),
    json::member("vpn_state", &AppEventPayload::vpnState),
    json::member("duration_ms", &AppEventPayload::durationMS),
    json::member("metadata", &AppEventPayload::metadata),
};

/// Registration or removal of a push token.
struct TARN_EXPORT PushTokenRequest {
    std::string platform;
    std::optional<std::string> provider;
    std::string token;
    std::string environment;
    std::string deviceID;
    std::string appVersion;
    std::optional<std::string> locale;
    std::optional<std::string> timezone;

    friend bool operator==(const PushTokenRequest&, const PushTokenRequest&) = default;
};

template <>
inline constexpr auto json::members<PushTokenRequest> = std::tuple{
    json::member("platform", &PushTokenRequest::platform),
    json::member("provider", &PushTokenRequest::provider),
    json::member("token", &PushTokenRequest::token),
    json::member("environment", &PushTokenRequest::environment),
    json::member("device_id", &PushTokenRequest::deviceID),
    json::member("app_version", &PushTokenRequest::appVersion),
    json::member("locale", &PushTokenRequest::locale),
    json::member("timezone", &PushTokenRequest::timezone),
};

/// The price of a tariff group for one device limit.
struct TARN_EXPORT BillingTariffVariant {
    std::int64_t limit = 0;
    std::int64_t priceRUB = 0;  // the whole period
    std::int64_t monthRUB = 0;  // per month
    std::string unit;

    friend bool operator==(const BillingTariffVariant&, const BillingTariffVariant&) = default;
};

template <>
inline constexpr auto json::members<BillingTariffVariant> = std::tuple{
    json::member("limit", &BillingTariffVariant::limit),
    json::member("unit", &BillingTariffVariant::unit),
    json::member("price_rub", &BillingTariffVariant::priceRUB),
    json::member("month_rub", &BillingTariffVariant::monthRUB),
};

/// One subscription period with its prices per device limit. Identity: `id`.
struct TARN_EXPORT BillingTariffGroup {
    std::string id;
    std::string title;
    std::int64_t days = 0;
    bool featured = false;
    std::int64_t defaultLimit = 0;
    std::int64_t defaultPriceRUB = 0;
    std::int64_t defaultMonthRUB = 0;
    std::string defaultUnit;
    std::vector<BillingTariffVariant> variants;

    /// The first variant whose limit is exactly `limit`; no fallback to the default offer and no
    /// nearest match.
    std::optional<BillingTariffVariant> variant(std::int64_t limit) const {
        for (const auto& v : variants) {
            if (v.limit == limit) return v;
        }
        return std::nullopt;
    }
    friend bool operator==(const BillingTariffGroup&, const BillingTariffGroup&) = default;
};

template <>
inline constexpr auto json::members<BillingTariffGroup> = std::tuple{
    json::member("id", &BillingTariffGroup::id),
    json::member("title", &BillingTariffGroup::title),
    json::member("days", &BillingTariffGroup::days),
    json::member("featured", &BillingTariffGroup::featured),
    json::member("variants", &BillingTariffGroup::variants),
    json::member("default_limit", &BillingTariffGroup::defaultLimit),
    json::member("default_price_rub", &BillingTariffGroup::defaultPriceRUB),
    json::member("default_month_rub", &BillingTariffGroup::defaultMonthRUB),
    json::member("default_unit", &BillingTariffGroup::defaultUnit),
};

/// Identity: `id`.
struct TARN_EXPORT BillingPaymentMethod {
    std::string id;
    std::string label;
    std::string hint;
    bool recurring = false;  // supports recurring payment

    friend bool operator==(const BillingPaymentMethod&, const BillingPaymentMethod&) = default;
};

template <>
inline constexpr auto json::members<BillingPaymentMethod> = std::tuple{
    json::member("id", &BillingPaymentMethod::id),
    json::member("label", &BillingPaymentMethod::label),
    json::member("hint", &BillingPaymentMethod::hint),
    json::member("recurring", &BillingPaymentMethod::recurring),
};

/// What can be bought.
struct TARN_EXPORT BillingCatalog {
    std::string currency;
    std::vector<std::int64_t> deviceLimitOptions;
    std::vector<BillingTariffGroup> tariffGroups;
    std::vector<BillingPaymentMethod> paymentMethods;

    friend bool operator==(const BillingCatalog&, const BillingCatalog&) = default;
};

template <>
inline constexpr auto json::members<BillingCatalog> = std::tuple{
    json::member("currency", &BillingCatalog::currency),
    json::member("device_limit_options", &BillingCatalog::deviceLimitOptions),
    json::member("tariff_groups", &BillingCatalog::tariffGroups),
    json::member("payment_methods", &BillingCatalog::paymentMethods),
};

/// Starts a payment.
struct TARN_EXPORT BillingCheckoutRequest {
    std::string tariffID;
    std::int64_t deviceLimit = 0;
    std::string paymentMethod;
    bool recurringOptIn = false;
    std::string platform;
    std::optional<std::string> promoCode;

    friend bool operator==(const BillingCheckoutRequest&, const BillingCheckoutRequest&) = default;
};

template <>
inline constexpr auto json::members<BillingCheckoutRequest> = std::tuple{
    json::member("tariff_id", &BillingCheckoutRequest::tariffID),
    json::member("device_limit", &BillingCheckoutRequest::deviceLimit),
    json::member("payment_method", &BillingCheckoutRequest::paymentMethod),
    json::member("recurring_opt_in", &BillingCheckoutRequest::recurringOptIn),
    json::member("platform", &BillingCheckoutRequest::platform),
    json::member("promo_code", &BillingCheckoutRequest::promoCode),
};

/// The created payment.
struct TARN_EXPORT BillingCheckoutResponse {
    bool ok = false;
    std::int64_t paymentID = 0;
    std::string checkoutToken;
    URL confirmationURL;  // where the user confirms the payment
    std::int64_t amountRUB = 0;
    std::int64_t devicesLimit = 0;
    std::string provider;
    std::string status;
    std::string promoCode;
    std::int64_t discountAmountRUB = 0;

    friend bool operator==(const BillingCheckoutResponse&, const BillingCheckoutResponse&) = default;
};

template <>
inline constexpr auto json::members<BillingCheckoutResponse> = std::tuple{
    json::member("ok", &BillingCheckoutResponse::ok),
    json::member("provider", &BillingCheckoutResponse::provider),
    json::member("status", &BillingCheckoutResponse::status),
    json::member("payment_id", &BillingCheckoutResponse::paymentID),
    json::member("checkout_token", &BillingCheckoutResponse::checkoutToken),
    json::member("confirmation_url", &BillingCheckoutResponse::confirmationURL),
    json::member("amount_rub", &BillingCheckoutResponse::amountRUB),
    json::member("devices_limit", &BillingCheckoutResponse::devicesLimit),
    json::member("promo_code", &BillingCheckoutResponse::promoCode),
    json::member("discount_amount_rub", &BillingCheckoutResponse::discountAmountRUB),
};

/// The latest published release of the application.
struct TARN_EXPORT IOSAppRelease {
    std::string version;
    std::int64_t build = 0;
    std::string minimumSupportedVersion;  // oldest version still allowed to run
    URL installURL;
    std::optional<std::string> releaseNotes;
    std::optional<Timestamp> publishedAt;

    friend bool operator==(const IOSAppRelease&, const IOSAppRelease&) = default;
};

template <>
inline constexpr auto json::members<IOSAppRelease> = std::tuple{
    json::member("version", &IOSAppRelease::version),
    json::member("build", &IOSAppRelease::build),
    json::member("minimum_supported_version", &IOSAppRelease::minimumSupportedVersion),
    json::member("install_url", &IOSAppRelease::installURL),
    json::member("release_notes", &IOSAppRelease::releaseNotes),
    json::member("published_at", &IOSAppRelease::publishedAt),
};

}  // namespace tarn
