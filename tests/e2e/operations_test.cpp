// Each account, VPN, billing and telemetry operation once against the real backend, signed in as a
// fresh trial account: the request reaches the endpoint the backend serves, is accepted, and the
// answer decodes into what the backend holds.
#include "backend_test.hpp"

#include <algorithm>
#include <functional>
#include <set>

namespace tarn::e2e {
namespace {

Timestamp now() { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); }

class OperationTest;

struct Operation {
    const char* name;
    const char* endpoint;  // "METHOD path" as the backend counts it
    std::function<void(OperationTest&)> exercise;
};

void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }

class OperationTest : public BackendTest, public ::testing::WithParamInterface<Operation> {
public:
    void SetUp() override {
        BackendTest::SetUp();
        if (HasFatalFailure()) return;
        store = newStore();
        api.emplace(client(store));
        email = signUp(*api, "operations");
        userID = run(api->me()).id;
    }

    using BackendTest::dev;
    using BackendTest::run;
    using BackendTest::server;
    const APIClient& signedIn() const { return *api; }
    APIClient anonymous() const { return client(nullptr); }

    std::shared_ptr<TokenStore> store;
    std::optional<APIClient> api;
    std::string email;
    std::string userID;
};

TEST_P(OperationTest, SucceedsAgainstTheBackend) {
    const Operation& op = GetParam();
    dev().resetStats();
    op.exercise(*this);
    if (HasFailure()) return;
    EXPECT_EQ(dev().requestCounts()[op.endpoint], 1) << op.endpoint;
    for (const auto& [status, count] : dev().statusCounts(op.endpoint)) {
        EXPECT_EQ(status.front(), '2') << op.endpoint << " answered " << status;
    }
}

Json devList(OperationTest& t, const std::string& path) {
    Reply reply = t.dev().get(path);
    EXPECT_EQ(reply.status, 200) << reply;
    return reply.json();
}

PushTokenRequest pushToken(const std::string& token) {
    return {"ios", "apns", token, "sandbox", kDeviceID, "1.2.3", "ru_RU", "Europe/Moscow"};
}

const Operation kOperations[] = {
    {"Me", "GET /me",
     [](OperationTest& t) {
         CRMUser me = t.run(t.signedIn().me());
         EXPECT_EQ(me.id, t.userID);
         EXPECT_EQ(me.email, t.email);
     }},
    {"SyncUser", "POST /users/sync",
     [](OperationTest& t) {
         UserSyncRequest request{kDeviceID, "ios", "1.2.3", t.userID, t.email, std::nullopt, std::nullopt};
         UserSyncResponse sync = t.run(t.signedIn().syncUser(request));
         EXPECT_EQ(sync.user.id, t.userID);
         EXPECT_EQ(sync.botSync.status, "not_linked");
         // Syncing registers the installation as a device.
         auto devices = t.run(t.signedIn().accountDevices()).devices;
         ASSERT_EQ(devices.size(), 1u);
         EXPECT_EQ(devices[0].deviceID, kDeviceID);
         EXPECT_EQ(devices[0].clientVersion, "1.2.3");
     }},
    {"SubscriptionStatus", "GET /subscription/status",
     [](OperationTest& t) {
         CRMUser user = t.run(t.signedIn().subscriptionStatus());
         EXPECT_EQ(user.subscriptionStatus, SubscriptionStatus::active);
         EXPECT_EQ(user.subscriptionSource, SubscriptionSource::trial);
         ASSERT_TRUE(user.expiresAt);
         EXPECT_GT(*user.expiresAt, now());
     }},
    {"AccountDevices", "GET /devices",
     [](OperationTest& t) {
         AccountDevicesResponse devices = t.run(t.signedIn().accountDevices());
         EXPECT_EQ(devices, (AccountDevicesResponse{true, {}, 0, 5, 5}));
     }},
    {"Servers", "GET /vpn/servers",
     [](OperationTest& t) {
         std::vector<VPNServer> servers = t.run(t.signedIn().servers());
         ASSERT_EQ(servers.size(), 6u);
         EXPECT_TRUE(servers.front().isAvailable);
         std::set<std::string> ids;
         for (const auto& s : servers) {
             ids.insert(s.id);
             EXPECT_EQ(s.protocolName, "vless");
         }
         EXPECT_EQ(ids.size(), servers.size());
     }},
    {"VPNConfig", "POST /vpn/config",
     [](OperationTest& t) {
         VLESSConfig config = t.run(t.signedIn().vpnConfig("de-1", kDeviceID, "ios"));
         EXPECT_EQ(config.serverID, "de-1");
         EXPECT_EQ(config.uri.rfind("vless://", 0), 0u) << config.uri;
         EXPECT_EQ(config.vpnAccessStatus, VPNAccessStatus::enabled);
         Json xray = Json::parse(config.xrayJSON, nullptr, false);
         ASSERT_TRUE(xray.is_object()) << config.xrayJSON;
         EXPECT_TRUE(xray.contains("outbounds"));
     }},
    {"RevokeVPN", "POST /vpn/revoke",
     [](OperationTest& t) {
         VLESSConfig before = t.run(t.signedIn().vpnConfig("de-1", kDeviceID, "ios"));
         t.run(t.signedIn().revokeVPN(kDeviceID));
         VLESSConfig after = t.run(t.signedIn().vpnConfig("de-1", kDeviceID, "ios"));
         EXPECT_NE(after.uri, before.uri) << "a revoked profile must not come back";
     }},
    {"BillingCatalog", "GET /billing/catalog",
     [](OperationTest& t) {
         BillingCatalog catalog = t.run(t.signedIn().billingCatalog());
         EXPECT_EQ(catalog.currency, "RUB");
         std::vector<std::string> groups;
         for (const auto& g : catalog.tariffGroups) groups.push_back(g.id);
         EXPECT_EQ(groups, (std::vector<std::string>{"month", "quarter", "year"}));
         for (const auto& g : catalog.tariffGroups) {
             for (std::int64_t limit : {1, 3, 5, 10}) EXPECT_TRUE(g.variant(limit)) << g.id << " " << limit;
         }
         auto card = std::find_if(catalog.paymentMethods.begin(), catalog.paymentMethods.end(),
                                  [](const BillingPaymentMethod& m) { return m.id == "card"; });
         ASSERT_NE(card, catalog.paymentMethods.end());
         EXPECT_TRUE(card->recurring);
     }},
    {"BillingCheckout", "POST /billing/checkout",
     [](OperationTest& t) {
         BillingCheckoutRequest request{"year", 3, "card", true, "ios", "tarn10"};
         BillingCheckoutResponse checkout = t.run(t.signedIn().createBillingCheckout(request));
         EXPECT_TRUE(checkout.ok);
         EXPECT_EQ(checkout.devicesLimit, 3);
         EXPECT_GT(checkout.discountAmountRUB, 0);
         // The user pays on the confirmation page; the subscription follows.
         const std::string page = checkout.confirmationURL.absoluteString();
         ASSERT_EQ(page.rfind(t.server().url(), 0), 0u) << page;
         Reply paid = t.dev().get(page.substr(t.server().url().size()));
         ASSERT_EQ(paid.status, 200) << paid;
         AccountDevicesResponse devices = t.run(t.signedIn().accountDevices());
         EXPECT_EQ(devices.limit, 3);
         CRMUser user = t.run(t.signedIn().me());
         EXPECT_EQ(user.plan, Plan::yearly);
         EXPECT_EQ(user.subscriptionSource, SubscriptionSource::crm);
     }},
    {"VerifyAppleTransaction", "POST /billing/apple/verify",
     [](OperationTest& t) {
         AppleTransactionPayload payload{"dev.tarn.vpn.year", "2000000123", "2000000100", now(), std::nullopt,
                                         "Sandbox", UUID::random(), "signed.transaction.jws"};
         UserSyncResponse sync = t.run(t.signedIn().verifyAppleTransaction(payload));
         EXPECT_EQ(sync.user.subscriptionSource, SubscriptionSource::apple);
         EXPECT_EQ(sync.user.plan, Plan::yearly);
         EXPECT_EQ(sync.user.appleOriginalTransactionID, "2000000100");
         EXPECT_EQ(sync.user.appleAppAccountToken, payload.appAccountToken);
     }},
    {"RecordAppEvent", "POST /app/events",
     [](OperationTest& t) {
         AppEventPayload event{"vpn_connected", kDeviceID, now(), "1.2.3", "ios", "de-1", "connected",
                               std::map<std::string, std::string>{{"network", "wifi"}},
                               "8f0c2a52-event", "session-7", "14.4", 1250};
         t.run(t.signedIn().recordAppEvent(event));
         Json events = devList(t, "/dev/events");
         ASSERT_FALSE(events.empty());
         Json recorded = events.back();
         EXPECT_EQ(recorded["account_id"], t.userID);
         EXPECT_EQ(recorded["event"]["event_name"], "vpn_connected");
         EXPECT_EQ(recorded["event"]["metadata"], (Json{{"network", "wifi"}}));
         EXPECT_EQ(recorded["event"]["duration_ms"], 1250);
     }},
    {"RecordAnonymousAppEvent", "POST /app/events/anonymous",
     [](OperationTest& t) {
         AppEventPayload event{"app_opened",  kDeviceID,    now(),        "1.2.3",      "ios", std::nullopt,
                               std::nullopt, std::nullopt, std::nullopt, std::nullopt, "17.4", std::nullopt};
         t.run(t.anonymous().recordAnonymousAppEvent(event));
         Json events = devList(t, "/dev/events");
         ASSERT_FALSE(events.empty());
         EXPECT_TRUE(events.back()["account_id"].is_null());
         EXPECT_EQ(events.back()["event"]["event_name"], "app_opened");
     }},
    {"RegisterPushToken", "POST /app/push-token",
     [](OperationTest& t) {
         t.run(t.signedIn().registerPushToken(pushToken("apns-token-register")));
         EXPECT_NE(devList(t, "/dev/push-tokens").dump().find("apns-token-register"), std::string::npos);
     }},
    {"DeletePushToken", "DELETE /app/push-token",
     [](OperationTest& t) {
         t.run(t.signedIn().registerPushToken(pushToken("apns-token-delete")));
         t.run(t.signedIn().deletePushToken(pushToken("apns-token-delete")));
         EXPECT_EQ(devList(t, "/dev/push-tokens").dump().find("apns-token-delete"), std::string::npos);
     }},
    {"AppRelease", "GET /app/ios/release",
     [](OperationTest& t) {
         Json published{{"version", "2.4.0"},
                        {"build", 240},
                        {"minimum_supported_version", "2.0.0"},
                        {"install_url", "https://downloads.tarn.test/tarn-2.4.0.dmg"},
                        {"release_notes", "Faster connects"},
                        {"published_at", "2024-05-01T12:00:00Z"}};
         ASSERT_EQ(t.dev().post("/dev/release", published).status, 200);
         IOSAppRelease release = t.run(t.anonymous().appRelease());
         EXPECT_EQ(release, (IOSAppRelease{"2.4.0", 240, "2.0.0",
                                           URL::parse("https://downloads.tarn.test/tarn-2.4.0.dmg").value(),
                                           "Faster connects", parseISO8601("2024-05-01T12:00:00Z")}));
     }},
};

INSTANTIATE_TEST_SUITE_P(Each, OperationTest, ::testing::ValuesIn(kOperations),
                         [](const ::testing::TestParamInfo<Operation>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarn::e2e
