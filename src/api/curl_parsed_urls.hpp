// The URLs a session's requests went to lately, each parsed once into a libcurl URL handle.
// libcurl parses a URL given as a string again for every transfer, and then prints it back to
// check it: for a short URL that is about a tenth of all the work of a request on a kept-alive
// connection. Handed a parsed handle instead, it only copies it. Requests of one session mostly go
// to a few URLs again and again.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::detail {

class CurlParsedUrls {
public:
    /// `url` parsed as libcurl parses a URL given as a string, or null when libcurl refuses it
    /// (the transfer then gets the string, and libcurl's own error for it). A transfer keeps
    /// the handle until it ends: libcurl reads it when the transfer looks for its connection,
    /// which may be long after it was handed over.
    std::shared_ptr<CURLU> parsed(std::string_view url);

private:
    static constexpr std::size_t kKept = 8;

    struct Entry {
        std::string url;
        std::shared_ptr<CURLU> handle;
    };
    std::vector<Entry> entries_;  // the most recently used last
};

}  // namespace tarn::detail
