// What an APIClient accepts before it sends anything: a base URL that cannot leak credentials,
// and options whose headers and timeout make well-formed requests.
#pragma once

#include "tarn/api/client_options.hpp"
#include "tarn/platform/url.hpp"

#include <string>

namespace tarn::detail {

/// Throws std::invalid_argument naming what is wrong; the messages name a header, never its value:
/// a value may be a credential of its own.
void checkOptions(const APIClientOptions& options);

/// Why `baseURL` cannot be used, in our own words (never quoting the URL, which may hold a
/// password); empty when it can.
std::string baseURLProblem(const URL& baseURL, const APIClientOptions& options);

}  // namespace tarn::detail
