// CurlSession over TLS: certificate verification, the certificate authority file, public-key
// pinning and the refusal of https -> http redirects.
#include "transport_fixture.hpp"

namespace tarn::test {
namespace {

using Code = TransportError::Code;

class CurlSessionTLSTest : public TransportTest {
protected:
    void SetUp() override {
        tlsServer = std::make_unique<LoopbackServer>(material->certFile(), material->keyFile());
        tlsServer->http.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("secure", "text/plain");
        });
        tlsServer->http.Get("/downgrade", [this](const httplib::Request&, httplib::Response& res) {
            res.set_redirect(server.url("/hello"), 302);
        });
        tlsServer->start();
        server.http.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("plain", "text/plain");
        });
        server.start();
    }

    void TearDown() override {
        TransportTest::TearDown();
        tlsServer.reset();
    }

    const TLSMaterial* material = &sharedTLSMaterial();
    std::unique_ptr<LoopbackServer> tlsServer;
};

TEST_F(CurlSessionTLSTest, VerificationAndPinning) {
    struct Case {
        std::string name;
        bool trustCertificate;
        std::optional<std::string> pin;
        std::optional<Code> failure;
        int curlCode;
    };
    const Case cases[] = {
        {"self-signed, not trusted", false, std::nullopt, Code::tls, 60},
        {"trusted through caFile", true, std::nullopt, std::nullopt, 0},
        {"trusted and pinned", true, material->pin(), std::nullopt, 0},
        {"trusted, pin among several", true, "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=;" + material->pin(),
         std::nullopt, 0},
        {"trusted, wrong pin", true, "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", Code::tls, 90},
        {"pinned but not trusted", false, material->pin(), Code::tls, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CurlSessionConfig config;
        if (c.trustCertificate) config.caFile = material->certFile().string();
        config.pinnedPublicKey = c.pin;
        makeSession(config);
        auto outcome = send(get(tlsServer->url("/hello")));
        if (c.failure) {
            ASSERT_EQ(outcome.code(), *c.failure) << outcome;
            EXPECT_EQ(outcome.error->curlCode(), c.curlCode) << outcome;
        } else {
            ASSERT_EQ(outcome.status(), 200) << outcome;
            EXPECT_EQ(outcome.response->body, "secure");
        }
    }
}

TEST_F(CurlSessionTLSTest, RedirectFromHttpsToHttpIsRefused) {
    CurlSessionConfig config;
    config.caFile = material->certFile().string();
    makeSession(config);
    auto outcome = send(get(tlsServer->url("/downgrade")));
    ASSERT_EQ(outcome.code(), Code::redirectRefused) << outcome;
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(CurlSessionTLSTest, SequentialRequestsReuseOneTLSConnection) {
    CurlSessionConfig config;
    config.caFile = material->certFile().string();
    makeSession(config);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(send(get(tlsServer->url("/hello"))).status(), 200);
    EXPECT_EQ(tlsServer->connectionCount(), 1u);
}

}  // namespace
}  // namespace tarn::test
