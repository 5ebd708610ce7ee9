// HTTPS with --tls-cert/--tls-key, using a throw-away self-signed certificate.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "devserver_process.hpp"

namespace tarn::devserver::test {
namespace {

TEST(Tls, ServesTheApiOverHttpsWithTheGivenCertificate) {
  std::string dir = ::testing::TempDir() + "tarn-devserver-tls-" + std::to_string(::getpid());
  std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  std::string make = "mkdir -p " + dir + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                     "-subj /CN=127.0.0.1 -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "openssl cannot make a test certificate";

  {
    DevServerProcess server({"--tls-cert", cert, "--tls-key", key});
    EXPECT_EQ(server.url().rfind("https://", 0), 0u) << server.url();
    httplib::SSLClient client("127.0.0.1", server.port());
    client.enable_server_certificate_verification(false);
    auto res = client.Get("/app/ios/release");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    Json oauth = Json::parse(client.Post("/auth/oauth/session", R"({"provider":"google","device_id":"d","platform":"ios"})",
                                         "application/json")->body);
    EXPECT_EQ(oauth["authorization_url"].get<std::string>().rfind(server.url() + "/dev/oauth/authorize?session=", 0), 0u)
        << "pages the server links to itself use its own scheme";
  }
  std::filesystem::remove_all(dir);
}

TEST(Startup, RefusesAddressesOutsideLoopbackAndHalfATlsSetup) {
  auto exitCode = [](const std::string& args) {
    int status = std::system((std::string(TARN_DEVSERVER_PATH) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(exitCode("--port 0 --host 0.0.0.0"), 2);
  EXPECT_NE(exitCode("--port 0 --tls-cert /etc/hostname"), 0);
  EXPECT_NE(exitCode("--port 0 --token-ttl 0"), 0);
}

}  // namespace
}  // namespace tarn::devserver::test
