// Parsed URL handles kept for the next requests to the same URLs.
#include "api/curl_parsed_urls.hpp"

#include <algorithm>
#include <new>

namespace tarn::detail {

std::shared_ptr<CURLU> CurlParsedUrls::parsed(std::string_view url) {
    auto hit = std::find_if(entries_.begin(), entries_.end(), [url](const Entry& e) { return e.url == url; });
    if (hit != entries_.end()) {
        if (hit + 1 != entries_.end()) std::rotate(hit, hit + 1, entries_.end());
        return entries_.back().handle;
    }
    std::shared_ptr<CURLU> handle(curl_url(), curl_url_cleanup);
    if (!handle) throw std::bad_alloc();
    // The flags libcurl itself parses a string URL with, given that the session turns on
    // CURLOPT_PATH_AS_IS, so that a URL means the same either way.
    const std::string copy(url);
    const unsigned flags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS;
    if (curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), flags) != CURLUE_OK) return nullptr;
    if (entries_.size() == kKept) entries_.erase(entries_.begin());
    entries_.push_back({copy, handle});
    return handle;
}

}  // namespace tarn::detail
