// The session's redirect policy on its own: reference resolution, origins, and the request that
// follows a 3xx answer.
#include "api/curl_redirect.hpp"

#include <gtest/gtest.h>

namespace tarn::detail {
namespace {

TEST(CurlRedirectPolicyTest, ResolvesLocationsAgainstTheRequestURL) {
    const std::string base = "http://a.example/b/c?q=1";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"/x", "http://a.example/x"},
        {"../x", "http://a.example/x"},
        {"x?y=1", "http://a.example/b/x?y=1"},
        {"?z", "http://a.example/b/c?z"},
        {"//other.example/p", "http://other.example/p"},
        {"https://o.example:8443/p", "https://o.example:8443/p"},
        {"/path with space", "http://a.example/path%20with%20space"},
        {"/caf\xC3\xA9", "http://a.example/caf%C3%A9"},
        {"/a\r\nSet-Cookie: x", std::nullopt},
        {"http://[bad", std::nullopt},
    };
    for (const auto& [location, expected] : cases) {
        EXPECT_EQ(resolveReference(base, location), expected) << location;
    }
}

TEST(CurlRedirectPolicyTest, OriginsOfURLs) {
    const std::pair<std::string, std::optional<Origin>> cases[] = {
        {"HTTP://Example.COM/x", Origin{"http", "example.com", 80}},
        {"https://h.example/", Origin{"https", "h.example", 443}},
        {"https://h.example:8443", Origin{"https", "h.example", 8443}},
        {"http://user:pw@h.example:81/", Origin{"http", "h.example", 81}},
        {"http://[::1]:8080/", Origin{"http", "::1", 8080}},
        {"ftp://h.example/", std::nullopt},
        {"http:///nohost", std::nullopt},
        {"http://h.example:99999/", std::nullopt},
        {"/relative", std::nullopt},
    };
    for (const auto& [url, expected] : cases) {
        EXPECT_EQ(httpOrigin(url), expected) << url;
    }
}

TEST(CurlRedirectPolicyTest, FirstLookAtRequestURLs) {
    const std::pair<std::string_view, bool> cases[] = {
        {"http://h.example/x", true},
        {"HTTPS://h.example", true},
        {"https://user:pw@h.example:8443?q", true},
        {"http://[::1]:8080/", true},
        {"https://", false},
        {"http:///nohost", false},
        {"http://user@/x", false},
        {"http://:80/", false},
        {"http:/h.example", false},
        {"ftp://h.example/", false},
        {"httpx://h.example/", false},
        {"/relative", false},
        {"not a url", false},
        {"", false},
    };
    for (const auto& [url, expected] : cases) {
        EXPECT_EQ(hasHttpSchemeAndHost(url), expected) << url;
    }
}

HttpRequest credentialed(std::string url) {
    HttpRequest request;
    request.url = std::move(url);
    request.setHeader("Authorization", "Bearer a");
    request.setHeader("Cookie", "c=1");
    request.setHeader("X-Tarn-Auth-Session-Secret", "s");
    request.setHeader("X-Other", "o");
    return request;
}

TEST(CurlRedirectPolicyTest, CredentialsAndBodiesStayWithTheirOrigin) {
    const Origin original{"http", "api.example", 80};
    auto with = [](const char* header, std::optional<std::string> body) {
        HttpRequest request;
        request.method = body ? "POST" : "GET";
        request.url = "http://api.example/start";
        if (header != nullptr) request.setHeader(header, "secret");
        request.body = std::move(body);
        return request;
    };
    const HttpRequest carriers[] = {with("Authorization", std::nullopt), with("Cookie", std::nullopt),
                                    with("X-Tarn-Auth-Session-Secret", std::nullopt), with(nullptr, "{}")};
    const std::pair<std::string, bool> locations[] = {
        {"/next", true},
        {"http://API.example:80/next", true},
        {"http://api.example:8080/next", false},   // another port
        {"https://api.example/next", false},       // another scheme
        {"http://evil.example/next", false},
        {"//api.example.evil.example/", false},
    };
    for (const auto& carrier : carriers) {
        for (const auto& [location, sameOrigin] : locations) {
            SCOPED_TRACE(location + " " + carrier.method + " " + (carrier.headers.empty() ? "" : carrier.headers[0].first));
            if (sameOrigin) {
                auto next = redirectedRequest(carrier, original, 307, location);
                ASSERT_TRUE(next);
                EXPECT_EQ(next->headers, carrier.headers);
                EXPECT_EQ(next->body, carrier.body);
            } else {
                try {
                    redirectedRequest(carrier, original, 303, location);
                    ADD_FAILURE() << "followed";
                } catch (const TransportError& e) {
                    EXPECT_EQ(e.code(), TransportError::Code::redirectRefused);
                }
            }
        }
    }

    // A request without credentials or body may go anywhere, and keeps its other headers.
    HttpRequest plain;
    plain.url = "http://api.example/start";
    plain.setHeader("X-Other", "o");
    auto away = redirectedRequest(plain, original, 302, "http://cdn.example/");
    ASSERT_TRUE(away);
    EXPECT_EQ(away->header("X-Other"), "o");
}

TEST(CurlRedirectPolicyTest, RefusedAndIgnoredRedirects) {
    const Origin original{"https", "api.example", 443};
    auto request = credentialed("https://api.example/start");
    auto refusal = [&](std::int64_t status, std::string location) -> std::optional<TransportError::Code> {
        try {
            redirectedRequest(request, original, status, location);
        } catch (const TransportError& e) {
            EXPECT_EQ(std::string(e.what()).find("evil"), std::string::npos);
            return e.code();
        }
        return std::nullopt;
    };
    EXPECT_EQ(refusal(302, "http://api.example/plain"), TransportError::Code::redirectRefused);
    EXPECT_EQ(refusal(307, "ftp://evil.example/"), TransportError::Code::redirectRefused);
    EXPECT_EQ(refusal(301, "javascript:evil()"), TransportError::Code::redirectRefused);
    EXPECT_EQ(refusal(302, "http://[evil"), TransportError::Code::redirectRefused);

    for (std::int64_t status : {200, 204, 300, 304, 305, 400}) {
        EXPECT_FALSE(redirectedRequest(request, original, status, "/elsewhere")) << status;
    }
    EXPECT_FALSE(redirectedRequest(request, original, 302, std::nullopt));
}

TEST(CurlRedirectPolicyTest, HeadStaysHeadOnSeeOther) {
    HttpRequest head;
    head.method = "HEAD";
    head.url = "http://a.example/";
    auto next = redirectedRequest(head, Origin{"http", "a.example", 80}, 303, "/other");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->method, "HEAD");
}

}  // namespace
}  // namespace tarn::detail
