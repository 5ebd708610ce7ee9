// The device limit as a user meets it: a new device is refused once the slots are used, the refusal
// is recognisable, and removing a device frees a slot.
#include "backend_test.hpp"
#include "tarn/api/device_limit.hpp"

#include <algorithm>

namespace tarn::e2e {
namespace {

std::vector<std::string> deviceIDs(const std::vector<AccountDevice>& devices) {
    std::vector<std::string> ids;
    for (const auto& d : devices) ids.push_back(d.deviceID);
    std::sort(ids.begin(), ids.end());
    return ids;
}

class DeviceLimitTest : public BackendTest {};

TEST_F(DeviceLimitTest, NewDeviceBeyondTheLimitIsRefusedUntilOneIsRemovedAndSignInStaysOpen) {
    auto store = newStore();
    auto api = client(store);
    std::string email = signUp(api, "devices");
    dev().updateAccount(Json{{"email", email}, {"device_limit", 2}});
    const std::string serverID = run(api.servers()).front().id;

    run(api.vpnConfig(serverID, "laptop", "linux"));
    // A device the app only synced takes a slot as well.
    run(api.syncUser(UserSyncRequest{"phone", "ios", "1.0", {}, {}, {}, {}}));
    // A device that already has its slot keeps working at the limit.
    EXPECT_EQ(run(api.vpnConfig(serverID, "laptop", "linux")).serverID, serverID);

    auto refused = failureOf<APIError>(api.vpnConfig(serverID, "tablet", "ios"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind(), APIError::Kind::server);
    EXPECT_EQ(refused->statusCode(), 409);
    EXPECT_TRUE(DeviceLimitErrorPolicy::matches(*refused)) << refused->body();
    EXPECT_TRUE(DeviceLimitErrorPolicy::matches(std::make_exception_ptr(*refused)));
    EXPECT_TRUE(store->loadTokens()) << "a refusal must not sign the user out";
    // Signing in stays open at the limit: that is how a user gets to remove a device.
    run(api.login(email, kPassword));

    AccountDevicesResponse devices = run(api.accountDevices());
    EXPECT_EQ(devices.used, 2);
    EXPECT_EQ(devices.limit, 2);
    EXPECT_EQ(devices.available, 0);
    EXPECT_TRUE(devices.subscriptionActive);
    ASSERT_EQ(deviceIDs(devices.devices), (std::vector<std::string>{"laptop", "phone"}));

    auto laptop = std::find_if(devices.devices.begin(), devices.devices.end(),
                               [](const AccountDevice& d) { return d.deviceID == "laptop"; });
    AccountDeviceRemovalResponse removal = run(api.removeAccountDevice(laptop->id));
    EXPECT_TRUE(removal.ok);
    EXPECT_EQ(removal.legacyProfileRotated, true);
    EXPECT_EQ(removal.used, 1);
    EXPECT_EQ(removal.available, 1);
    EXPECT_EQ(removal.devicesResponse(), run(api.accountDevices()));

    EXPECT_EQ(run(api.vpnConfig(serverID, "tablet", "ios")).serverID, serverID);
    EXPECT_EQ(deviceIDs(run(api.accountDevices()).devices), (std::vector<std::string>{"phone", "tablet"}));

    // Removing what is gone is a plain 404, not a device-limit refusal; so is revoking the profile
    // of a device the account never had.
    auto missing = failureOf<APIError>(api.removeAccountDevice(laptop->id));
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->statusCode(), 404);
    EXPECT_FALSE(DeviceLimitErrorPolicy::matches(*missing));
    EXPECT_EQ(failureOf<APIError>(api.revokeVPN("never-seen-device")).value_or(APIError::unauthorized()).statusCode(), 404);
}

}  // namespace
}  // namespace tarn::e2e
