// The Secret Service backend against a real gnome-keyring (the test command starts one on a
// private session bus): what an outside client sees, a locked collection, a silent service.
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"
#include "tarn/storage/token_store.hpp"

#include "storage_procs/tsan_suppressions.hpp"
#include "test_support.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <random>

namespace tarn {
namespace {

bool secretServiceReachable() {
    static const bool reachable = std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr &&
                                  SecretServiceKeychain::isAvailable(std::chrono::seconds(10));
    return reachable;
}

std::string uniqueService() {
    std::random_device random;
    return "tarn-ss-test-" + std::to_string(::getpid()) + "-" + std::to_string(random());
}

KeychainAttributes base(const std::string& service, bool dataProtection = true) {
    KeychainAttributes q{.itemClass = KeychainItemClass::genericPassword, .service = service, .account = "acct"};
    if (dataProtection) q.useDataProtectionKeychain = true;
    return q;
}

// Owns a private connection to the session bus; throws on any D-Bus failure.
class BusConnection {
public:
    BusConnection() {
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        check(address != nullptr, error);
        connection_ = g_dbus_connection_new_for_address_sync(
            address,
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
        check(connection_ != nullptr, error);
    }
    ~BusConnection() {
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
    }
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    GDBusConnection* get() const { return connection_; }

    // Calls a method and returns its reply (owned by the caller).
    GVariant* call(const char* destination, const char* path, const char* interface, const char* method,
                   GVariant* arguments, const char* replyType) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(connection_, destination, path, interface, method, arguments,
                                                      G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, 10000,
                                                      nullptr, &error);
        check(reply != nullptr, error);
        return reply;
    }

    static void check(bool ok, GError* error) {
        if (ok) return;
        std::string message = error ? error->message : "unknown D-Bus failure";
        if (error) g_error_free(error);
        throw std::runtime_error(message);
    }

private:
    GDBusConnection* connection_ = nullptr;
};

// A collection made with a known password through gnome-keyring's prompt-free interface, so it
// can be locked and unlocked without a prompt. It is not made the default: tests running at the
// same time in other processes keep adding to the real default collection.
class TemporaryCollection {
public:
    TemporaryCollection() {
        GVariant* opened = service("org.freedesktop.Secret.Service", "OpenSession",
                                   g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)");
        session_ = stringAt(opened, 1);

        GVariantBuilder properties;
        g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                              g_variant_new_string(uniqueService().c_str()));
        GVariant* created = service(guiltRidden, "CreateWithMasterPassword",
                                    g_variant_new("(a{sv}@(oayays))", &properties, password()), "(o)");
        path_ = stringAt(created, 0);
    }
    ~TemporaryCollection() {
        try {
            unlock();
            g_variant_unref(bus_.call(name, path_.c_str(), "org.freedesktop.Secret.Collection", "Delete", nullptr, "(o)"));
        } catch (...) {
        }
    }

    // Stores an item as another client would, with the attributes our keychain addresses, and
    // with or without the schema name (secret-tool stores none).
    void createItem(const std::string& service, const char* keychain, const std::string& data, bool named = true) {
        GVariantBuilder attributes;
        g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
        g_variant_builder_add(&attributes, "{ss}", "service", service.c_str());
        g_variant_builder_add(&attributes, "{ss}", "account", "acct");
        g_variant_builder_add(&attributes, "{ss}", "keychain", keychain);
        if (named) g_variant_builder_add(&attributes, "{ss}", "xdg:schema", "dev.tarn.vpn.Token");
        GVariantBuilder properties;
        g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Label", g_variant_new_string("tarn test"));
        g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Attributes",
                              g_variant_builder_end(&attributes));
        g_variant_unref(bus_.call(name, path_.c_str(), "org.freedesktop.Secret.Collection", "CreateItem",
                                  g_variant_new("(a{sv}@(oayays)b)", &properties, secret(data), FALSE), "(oo)"));
    }

    void lock() {
        GVariantBuilder objects;
        g_variant_builder_init(&objects, G_VARIANT_TYPE("ao"));
        g_variant_builder_add(&objects, "o", path_.c_str());
        g_variant_unref(service("org.freedesktop.Secret.Service", "Lock", g_variant_new("(ao)", &objects), "(aoo)"));
    }
    void unlock() {
        g_variant_unref(service(guiltRidden, "UnlockWithMasterPassword",
                                g_variant_new("(o@(oayays))", path_.c_str(), password()), "()"));
    }
    bool locked() {
        GVariant* reply = bus_.call(name, path_.c_str(), "org.freedesktop.DBus.Properties", "Get",
                                    g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), "(v)");
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        bool result = g_variant_get_boolean(value);
        g_variant_unref(value);
        g_variant_unref(reply);
        return result;
    }

private:
    static constexpr const char* name = "org.freedesktop.secrets";
    static constexpr const char* guiltRidden = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

    GVariant* service(const char* interface, const char* method, GVariant* arguments, const char* replyType) {
        return bus_.call(name, "/org/freedesktop/secrets", interface, method, arguments, replyType);
    }
    GVariant* secret(const std::string& value) const {
        return g_variant_new("(o@ay@ays)", session_.c_str(), g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                             g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, value.data(), value.size(), 1),
                             "text/plain");
    }
    GVariant* password() const { return secret("tarn-test-collection"); }
    static std::string stringAt(GVariant* tuple, gsize index) {
        GVariant* child = g_variant_get_child_value(tuple, index);
        std::string out = g_variant_get_string(child, nullptr);
        g_variant_unref(child);
        g_variant_unref(tuple);
        return out;
    }

    BusConnection bus_;  // the plain session belongs to this connection
    std::string session_;
    std::string path_;
};

// Owns a bus name and never answers a method call made to it.
class SilentService {
public:
    explicit SilentService(std::string name) : name_(std::move(name)) {
        g_dbus_connection_add_filter(bus_.get(), &SilentService::swallow, nullptr, nullptr);
        g_variant_unref(bus_.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                                  g_variant_new("(su)", name_.c_str(), 4u /* do not queue */), "(u)"));
    }
    const std::string& name() const { return name_; }

private:
    static GDBusMessage* swallow(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
        if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            g_object_unref(message);
            return nullptr;
        }
        return message;
    }

    BusConnection bus_;
    std::string name_;
};

class SecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!secretServiceReachable()) GTEST_SKIP() << "no Secret Service on the session bus";
    }
    void TearDown() override {
        if (!keychain) return;
        keychain->deleteItem(base(serviceName, true));
        keychain->deleteItem(base(serviceName, false));
    }

    std::string serviceName = uniqueService();
    std::shared_ptr<SecretServiceKeychain> keychain = std::make_shared<SecretServiceKeychain>(std::chrono::seconds(10));
};

TEST_F(SecretServiceTest, AnOutsideClientReadsTheTokenPairWeStored) {
    KeychainTokenStore store(serviceName, "acct", keychain);
    store.save({"outside-access", "outside-refresh"});

    const std::string command =
        "secret-tool lookup service '" + serviceName + "' account acct keychain data-protection 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    int status = ::pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) GTEST_SKIP() << "secret-tool (libsecret-tools) is not installed";
    EXPECT_EQ(output, R"({"accessToken":"outside-access","refreshToken":"outside-refresh"})");
}

TEST_F(SecretServiceTest, OutsideItemsAreFoundAndClearedAndALockedCollectionIsReportedNeverUnlocked) {
    const std::string current = R"({"accessToken":"a","refreshToken":"r"})";
    const std::string legacy = R"({"accessToken":"old","refreshToken":"old"})";
    TemporaryCollection collection;
    // Stored without the schema name, as secret-tool does.
    collection.createItem(serviceName, "data-protection", current, false);
    collection.createItem(serviceName, "legacy", legacy, false);
    KeychainTokenStore store(serviceName, "acct", keychain);
    EXPECT_EQ(store.loadTokens(), (AuthTokens{"a", "r"})) << "items other clients stored are found";

    collection.lock();
    auto statusOf = [](auto&& operation) -> std::optional<OSStatus> {
        try {
            operation();
        } catch (const KeychainError& error) {
            return error.status();
        }
        return std::nullopt;
    };
    EXPECT_EQ(statusOf([&] { store.loadTokens(); }), errSecInteractionNotAllowed);
    EXPECT_EQ(statusOf([&] { store.save({"new", "new"}); }), errSecInteractionNotAllowed);
    EXPECT_EQ(statusOf([&] { store.clear(); }), errSecInteractionNotAllowed);
    EXPECT_TRUE(collection.locked()) << "the store must never unlock";

    collection.unlock();
    EXPECT_EQ(store.loadTokens(), (AuthTokens{"a", "r"}));
    auto lookup = base(serviceName, false);
    lookup.returnData = true;
    EXPECT_EQ(keychain->copyMatching(lookup).data, legacy);
    store.clear();
    EXPECT_EQ(keychain->copyMatching(base(serviceName, true)).status, errSecItemNotFound);
    EXPECT_EQ(keychain->copyMatching(base(serviceName, false)).status, errSecItemNotFound);
}

// Points libsecret at another provider name for the test's lifetime.
class ScopedBusName {
public:
    explicit ScopedBusName(const std::string& name) { ::setenv("SECRET_SERVICE_BUS_NAME", name.c_str(), 1); }
    ~ScopedBusName() { ::unsetenv("SECRET_SERVICE_BUS_NAME"); }
};

// A stopped keyring daemon: the first call waits its timeout, the next ones only briefly.
TEST_F(SecretServiceTest, ASilentServiceTimesOutAsNotAvailableOnceNotOnEveryCall) {
    SilentService silent("dev.tarn.test.Silent" + std::to_string(::getpid()));
    ScopedBusName provider(silent.name());
    EXPECT_TRUE(SecretServiceKeychain::isAvailable(std::chrono::seconds(10)));
    SecretServiceKeychain slow(std::chrono::milliseconds(1500));
    EXPECT_EQ(slow.copyMatching(base(serviceName)).status, errSecNotAvailable);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.add(base(serviceName)), errSecNotAvailable);
    EXPECT_EQ(slow.deleteItem(base(serviceName)), errSecNotAvailable);
    EXPECT_EQ(slow.deleteItem(base(serviceName, false)), errSecNotAvailable);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(SecretServiceTest, AnAbsentServiceIsNotAvailableRatherThanEmpty) {
    ScopedBusName provider("dev.tarn.test.Absent" + std::to_string(::getpid()));
    EXPECT_FALSE(SecretServiceKeychain::isAvailable(std::chrono::seconds(10)));
    SecretServiceKeychain absent(std::chrono::seconds(10));
    EXPECT_EQ(absent.copyMatching(base(serviceName)).status, errSecNotAvailable);
    KeychainTokenStore store(serviceName, "acct", std::make_shared<SecretServiceKeychain>(std::chrono::seconds(10)));
    try {
        store.loadTokens();
        FAIL() << "an unreachable keychain must not read as signed out";
    } catch (const KeychainError& error) {
        EXPECT_EQ(error.status(), errSecNotAvailable);
    }
}

TEST_F(SecretServiceTest, ThePlatformKeychainIsTheSecretServiceWhenTheBusOffersOne) {
    auto chosen = makePlatformKeychain(std::chrono::seconds(10));
    EXPECT_NE(dynamic_cast<SecretServiceKeychain*>(chosen.get()), nullptr);
}

#ifdef TARN_STORAGE_PROC
TEST(PlatformKeychainTest, WithoutASessionBusThePlatformKeychainIsTheFileStore) {
    testing::ChildProcess child({TARN_STORAGE_PROC, "platform-keychain"},
                                {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/tarn-test-bus", "DISPLAY="});
    EXPECT_EQ(child.readLine(), "file");
    EXPECT_EQ(child.wait(), 0);
}
#endif

}  // namespace
}  // namespace tarn
