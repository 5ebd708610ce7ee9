// Everything Tarn VPN Core offers, in one include.
#pragma once

#include "tarn/api/api_error.hpp"
#include "tarn/api/device_limit.hpp"
#include "tarn/api/http.hpp"
#include "tarn/api/json.hpp"
#include "tarn/models/account.hpp"
#include "tarn/models/auth_requests.hpp"
#include "tarn/models/billing_telemetry.hpp"
#include "tarn/models/devices_vpn.hpp"
#include "tarn/models/sessions.hpp"
#include "tarn/models/string_enum.hpp"
#include "tarn/platform/timestamp.hpp"
#include "tarn/platform/unicode.hpp"
#include "tarn/platform/url.hpp"
#include "tarn/platform/uuid.hpp"
#include "tarn/storage/token_store.hpp"
