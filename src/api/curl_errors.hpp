// How libcurl's failures become TransportErrors: the code each CURLcode maps to, a message that
// names the system's reason and never the credentials of a URL or proxy, and the option setter
// that fails with them.
#pragma once

#include "tarn/api/transport_error.hpp"

#include <curl/curl.h>

#include <exception>
#include <string_view>

namespace tarn::detail {

TransportError::Code transportCodeFor(CURLcode result) noexcept;

/// The failure of a transfer of `url`: libcurl's own detail (`errorBuffer`, possibly empty) with
/// the system's reason for `osErrno`, any user and password of `url` or `proxy` redacted.
TransportError transferFailure(CURLcode result, const char* errorBuffer, long osErrno, std::string_view url,
                               std::string_view proxy);

std::exception_ptr cancelledError();

template <class Value>
void setCurlOption(CURL* easy, CURLoption option, Value value) {
    if (auto rc = curl_easy_setopt(easy, option, value); rc != CURLE_OK) {
        throw TransportError(transportCodeFor(rc), curl_easy_strerror(rc), rc);
    }
}

}  // namespace tarn::detail
