#include "tarn/logic/diagnostics.hpp"

#include <gtest/gtest.h>

namespace tarn {
namespace {

CRMUser user(SubscriptionStatus status, VPNAccessStatus access) {
    CRMUser u;
    u.id = "acc-42";
    u.subscriptionStatus = status;
    u.vpnAccessStatus = access;
    return u;
}

TEST(DiagnosticsBuilder, ReportsExactlySevenLines) {
    struct Case {
        const char* name;
        std::optional<CRMUser> user;
        VPNConnectionState state;
        std::optional<std::string> lastError;
        std::string report;
    };
    const Case cases[] = {
        {"nothing known", std::nullopt, VPNConnectionState::disconnected(), std::nullopt,
         "app_version=1.0\ndevice_id=D\naccount_id=none\nsubscription_status=unknown\n"
         "vpn_access_status=unknown\nvpn_state=disconnected\nlast_error=none"},
        {"status none is not unknown", user(SubscriptionStatus::none, VPNAccessStatus::disabled),
         VPNConnectionState::noSubscription(), std::nullopt,
         "app_version=1.0\ndevice_id=D\naccount_id=acc-42\nsubscription_status=none\n"
         "vpn_access_status=disabled\nvpn_state=noSubscription\nlast_error=none"},
        {"empty error", user(SubscriptionStatus::active, VPNAccessStatus::enabled), VPNConnectionState::connected(), "",
         "app_version=1.0\ndevice_id=D\naccount_id=acc-42\nsubscription_status=active\n"
         "vpn_access_status=enabled\nvpn_state=connected\nlast_error="},
        {"failure with quote and line feed", user(SubscriptionStatus::cancelled, VPNAccessStatus::enabled),
         VPNConnectionState::failed("handshake \"TLS\"\nfailed"), "line one\nline two",
         "app_version=1.0\ndevice_id=D\naccount_id=acc-42\nsubscription_status=cancelled\n"
         "vpn_access_status=enabled\nvpn_state=failed(\"handshake \\\"TLS\\\"\\nfailed\")\n"
         "last_error=line one\\nline two"},
        {"server text cannot forge lines or keep credentials", std::nullopt, VPNConnectionState::disconnected(),
         "HTTP 422: {\"email\":\"a.person@example.com\",\"password\":\"hunter2\"}\naccount_id=forged\x1b[2J",
         "app_version=1.0\ndevice_id=D\naccount_id=none\nsubscription_status=unknown\n"
         "vpn_access_status=unknown\nvpn_state=disconnected\n"
         "last_error=HTTP 422: {\"email\":\"<redacted>\",\"password\":\"<redacted>\"}\\naccount_id=forged\\u{001B}[2J"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiagnosticsBuilder().build(c.user, "D", "1.0", c.state, c.lastError), c.report) << c.name;
    }
}

TEST(DiagnosticsBuilder, StatusWordsAreTheWireValues) {
    const std::pair<SubscriptionStatus, const char*> words[] = {
        {SubscriptionStatus::active, "active"},       {SubscriptionStatus::expired, "expired"},
        {SubscriptionStatus::cancelled, "cancelled"}, {SubscriptionStatus::blocked, "blocked"},
        {SubscriptionStatus::none, "none"},
    };
    for (const auto& [status, word] : words) {
        const auto report = DiagnosticsBuilder().build(user(status, VPNAccessStatus::enabled), "", "",
                                                       VPNConnectionState::connecting(), std::nullopt);
        EXPECT_NE(report.find(std::string("\nsubscription_status=") + word + "\n"), std::string::npos) << report;
    }
    const auto empty = DiagnosticsBuilder().build(std::nullopt, "", "", VPNConnectionState::connecting(), std::nullopt);
    EXPECT_EQ(empty.rfind("app_version=\ndevice_id=\n", 0), 0u) << empty;
}

TEST(DiagnosticsBuilder, NeverCarriesPersonalDataOrTokens) {
    CRMUser u = user(SubscriptionStatus::active, VPNAccessStatus::enabled);
    u.email = "private.person@example.com";
    u.name = "Иван Петров";
    u.telegramUserID = "tg-777000";
    u.telegramUsername = "ivan_secret_handle";
    u.subscriptionID = "sub-secret-1";
    u.appleOriginalTransactionID = "apple-tx-secret";
    u.vpnPeerID = "peer-secret";
    u.appleAppAccountToken = UUID(UUID::Bytes{0xAB, 0xCD, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    const auto report = DiagnosticsBuilder().build(u, "device-1", "2.3", VPNConnectionState::connected(), std::nullopt);
    for (const std::string& forbidden : {std::string("private.person"), std::string("example.com"), std::string("Иван"),
                                         std::string("Петров"), std::string("777000"), std::string("ivan_secret"),
                                         std::string("sub-secret"), std::string("apple-tx"), std::string("peer-secret"),
                                         std::string("ABCDEF"), std::string("abcdef")}) {
        EXPECT_EQ(report.find(forbidden), std::string::npos) << forbidden << " in\n" << report;
    }
    EXPECT_NE(report.find("account_id=acc-42"), std::string::npos);
}

}  // namespace
}  // namespace tarn
