// The CURLcode -> TransportError mapping and the wording of a failed transfer's message.
#include "api/curl_errors.hpp"

#include "tarn/text/redaction.hpp"

#include <string>
#include <system_error>

namespace tarn::detail {

namespace {

using Code = TransportError::Code;

// The "user:password" part of a URL, if any. Scanned by hand rather than parsed: the URL of a
// failed transfer may well be one that no parser accepts, and its credentials must go all the same.
std::string_view userInfoOf(std::string_view url) {
    auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) return {};
    auto authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    auto at = authority.rfind('@');
    return at == std::string_view::npos ? std::string_view{} : authority.substr(0, at);
}

// libcurl's detail, which usually ends in the same generic text as curl_easy_strerror, with
// that generic ending replaced by the system's reason when there is one ("Connection
// refused" rather than "Couldn't connect to server").
std::string describeFailure(CURLcode result, const char* detail, long osErrno) {
    const std::string generic = curl_easy_strerror(result);
    std::string message = detail[0] != '\0' ? std::string(detail) : generic;
    if (osErrno == 0) return message;
    const std::string reason = std::error_code(int(osErrno), std::system_category()).message();
    if (message.find(reason) != std::string::npos) return message;
    if (message.size() > generic.size() && message.ends_with(": " + generic)) {
        message.resize(message.size() - generic.size());
        return message + reason;
    }
    return message + " (" + reason + ")";
}

}  // namespace

Code transportCodeFor(CURLcode result) noexcept {
    switch (result) {
        case CURLE_OPERATION_TIMEDOUT:
            return Code::timedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return Code::cannotConnect;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            return Code::tls;
        case CURLE_FILESIZE_EXCEEDED:
            return Code::tooLarge;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Code::badURL;
        case CURLE_TOO_MANY_REDIRECTS:
            return Code::redirectRefused;
        default:
            return Code::other;
    }
}

TransportError transferFailure(CURLcode result, const char* errorBuffer, long osErrno, std::string_view url,
                               std::string_view proxy) {
    // libcurl quotes URLs in its messages; the user and password of each go, together and apart.
    Redactor credentials;
    for (auto info : {userInfoOf(url), userInfoOf(proxy)}) {
        credentials.add(info);
        if (auto colon = info.find(':'); colon != std::string_view::npos) {
            credentials.add(info.substr(0, colon)).add(info.substr(colon + 1));
        }
    }
    return TransportError(transportCodeFor(result), credentials.redact(describeFailure(result, errorBuffer, osErrno)),
                          result);
}

std::exception_ptr cancelledError() {
    return std::make_exception_ptr(TransportError(Code::cancelled, "the request was cancelled"));
}

}  // namespace tarn::detail
