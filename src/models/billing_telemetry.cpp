#include "tarn/models/billing_telemetry.hpp"

#include "tarn/json/json_codec.hpp"

TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::AppleTransactionPayload);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::AppEventPayload);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::PushTokenRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::BillingTariffVariant);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::BillingTariffGroup);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::BillingPaymentMethod);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::BillingCatalog);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::BillingCheckoutRequest);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::BillingCheckoutResponse);
TARN_JSON_CODABLE_EXPORTED(TARN_EXPORT, tarn::IOSAppRelease);
