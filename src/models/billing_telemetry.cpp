#include "tarn/models/billing_telemetry.hpp"

#include "api/json_codec.hpp"

TARN_JSON_CODABLE(tarn::AppleTransactionPayload);
TARN_JSON_CODABLE(tarn::AppEventPayload);
TARN_JSON_CODABLE(tarn::PushTokenRequest);
TARN_JSON_CODABLE(tarn::BillingTariffVariant);
TARN_JSON_CODABLE(tarn::BillingTariffGroup);
TARN_JSON_CODABLE(tarn::BillingPaymentMethod);
TARN_JSON_CODABLE(tarn::BillingCatalog);
TARN_JSON_CODABLE(tarn::BillingCheckoutRequest);
TARN_JSON_CODABLE(tarn::BillingCheckoutResponse);
TARN_JSON_CODABLE(tarn::IOSAppRelease);
