// What an APIClient accepts before it sends anything: a base URL that cannot leak credentials,
// and options whose headers and timeout make well-formed requests.
#pragma once

#include "tarn/api/client_options.hpp"

namespace tarn::detail {

/// Throws std::invalid_argument naming what is wrong; the messages name a header, never its value:
/// a value may be a credential of its own.
void checkOptions(const APIClientOptions& options);

}  // namespace tarn::detail
