#include "tarn/storage/secret_service_keychain.hpp"

#include "storage/file_util.hpp"
#include "storage/libsecret_support.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace tarn {

using secret_service_detail::Deadline;
using secret_service_detail::ErrorSlot;
using secret_service_detail::HashTablePtr;
using secret_service_detail::ObjectPtr;
using secret_service_detail::statusFor;
using secret_service_detail::ValuePtr;
using secret_service_detail::VariantPtr;

namespace {

// The provider libsecret talks to; it reads the same variable.
const char* secretServiceBusName() {
    const char* name = g_getenv("SECRET_SERVICE_BUS_NAME");
    return name && *name ? name : "org.freedesktop.secrets";
}

// libsecret and its shared D-Bus proxies are not safe to drive from several threads at once.
std::mutex& libsecretMutex() {
    static std::mutex mutex;
    return mutex;
}

const SecretSchema* tokenSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "dev.tarn.vpn.Token";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"keychain", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

// Serialises the look-then-create of add among all processes of this user: the Secret Service
// has no create-if-absent. The lock file lives in the user's private runtime directory.
class AddLock {
public:
    // False when the lock could not be had before the deadline.
    bool acquire(const Deadline& deadline) {
        std::optional<storage_detail::Directory> dir;
        try {
            dir = storage_detail::openPrivateDirectory(storage_detail::privateRuntimeDirectory(), true);
        } catch (const std::filesystem::filesystem_error&) {
            return true;  // no usable private directory: only the check after creating remains
        }
        try {
            lock_.emplace(*dir, "secret-service-add.lock", deadline.remaining(), "the Secret Service add lock");
        } catch (const std::filesystem::filesystem_error& error) {
            return error.code() != std::errc::resource_unavailable_try_again;
        }
        return true;
    }

private:
    std::optional<storage_detail::FileLock> lock_;
};

// D-Bus strings are UTF-8 without NUL; anything else would silently address another item.
bool isDBusString(const std::string& s) {
    return s.find('\0') == std::string::npos && g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

const char* keychainName(const KeychainAttributes& query) {
    return query.addressesDataProtectionKeychain() ? "data-protection" : "legacy";
}

// The attribute table of the query; the strings are borrowed from `query`, which outlives it.
HashTablePtr attributesFor(const KeychainAttributes& query) {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(query.service->c_str()));
    g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(query.account->c_str()));
    g_hash_table_insert(table, const_cast<char*>("keychain"), const_cast<char*>(keychainName(query)));
    return HashTablePtr(table);
}

bool isServable(const KeychainAttributes& query) {
    return query.service && query.account && isDBusString(*query.service) && isDBusString(*query.account);
}

struct SearchResult {
    std::vector<std::string> unlocked;
    std::vector<std::string> locked;
    bool empty() const { return unlocked.empty() && locked.empty(); }
};

std::vector<std::string> takePaths(gchar** paths) {
    std::vector<std::string> out;
    if (paths) {
        for (gchar** p = paths; *p; ++p) out.emplace_back(*p);
        g_strfreev(paths);
    }
    return out;
}

}  // namespace

struct SecretServiceKeychain::Impl {
    std::chrono::milliseconds timeout;
    SecretService* service = nullptr;  // opened on first use; guarded by libsecretMutex()
    // Set when a call went unanswered: a stopped service stays stopped for a while, and every
    // later call waiting the full time for it would add up (a sign-out makes five).
    bool silent = false;

    ~Impl() {
        if (service) g_object_unref(service);
    }

    // The bound of the next call: the full timeout, or a short probe while the service is silent.
    std::chrono::milliseconds nextTimeout() const {
        return silent ? std::min(timeout, std::chrono::milliseconds(250)) : timeout;
    }
    // Records how the call ended: answered or not.
    OSStatus settle(OSStatus status, const Deadline& deadline) {
        silent = deadline.expired();
        return status;
    }

    // Drops the connection after a failure that may have left it unusable (the service restarted,
    // its session was lost); the next call opens a new one.
    void forgetService() {
        if (service) g_object_unref(service);
        service = nullptr;
    }

    std::optional<OSStatus> open(const Deadline& deadline) {
        if (service) return std::nullopt;
        ErrorSlot error;
        service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, deadline.cancellable(),
                                           &error.out);
        if (service) return std::nullopt;
        return errSecNotAvailable;
    }

    OSStatus fail(const GError* error, const Deadline& deadline) {
        OSStatus status = statusFor(error, deadline);
        if (status == errSecNotAvailable || status == errSecIO) forgetService();
        return status;
    }
    OSStatus fail(ErrorSlot& error, const Deadline& deadline) {
        auto owned = error.take();
        return owned ? fail(owned.get(), deadline) : errSecIO;
    }

    // Matches by attributes only, not by schema name, so items that other tools stored for the
    // same service and account (secret-tool stores none) are found and removed too.
    std::optional<OSStatus> search(const KeychainAttributes& query, const Deadline& deadline, SearchResult& out) {
        HashTablePtr attributes = attributesFor(query);
        gchar** unlocked = nullptr;
        gchar** locked = nullptr;
        ErrorSlot error;
        if (!secret_service_search_for_dbus_paths_sync(service, nullptr, attributes.get(), deadline.cancellable(),
                                                       &unlocked, &locked, &error.out)) {
            g_strfreev(unlocked);
            g_strfreev(locked);
            return fail(error, deadline);
        }
        out.unlocked = takePaths(unlocked);
        out.locked = takePaths(locked);
        return std::nullopt;
    }

    // Loads the unlocked matches that still exist, the oldest first, so that every process settles
    // on the same one when several exist (two processes added at once). An item deleted since the
    // search is left out; any other failure is returned.
    std::optional<OSStatus> items(const std::vector<std::string>& paths, const Deadline& deadline,
                                  std::vector<ObjectPtr<SecretItem>>& out) {
        for (const auto& path : paths) {
            ErrorSlot error;
            ObjectPtr<SecretItem> loaded(secret_item_new_for_dbus_path_sync(service, path.c_str(), SECRET_ITEM_NONE,
                                                                            deadline.cancellable(), &error.out));
            if (loaded) {
                out.push_back(std::move(loaded));
                continue;
            }
            OSStatus status = fail(error, deadline);
            if (status != errSecItemNotFound) return status;
        }
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
            auto ca = secret_item_get_created(a.get());
            auto cb = secret_item_get_created(b.get());
            if (ca != cb) return ca < cb;
            // Shorter first, so numbered paths ("…/9" before "…/10") sort in creation order.
            std::string_view pa = g_dbus_proxy_get_object_path(G_DBUS_PROXY(a.get()));
            std::string_view pb = g_dbus_proxy_get_object_path(G_DBUS_PROXY(b.get()));
            if (pa.size() != pb.size()) return pa.size() < pb.size();
            return pa < pb;
        });
        return std::nullopt;
    }

    // The unlocked matches of `query` for a change that touches all of them or none: with any
    // match locked, nothing may change; with none at all there is nothing to change.
    std::optional<OSStatus> matchesToChange(const KeychainAttributes& query, const Deadline& deadline,
                                            std::vector<ObjectPtr<SecretItem>>& matches) {
        if (auto failed = open(deadline)) return failed;
        SearchResult found;
        if (auto failed = search(query, deadline, found)) return failed;
        if (!found.locked.empty()) return errSecInteractionNotAllowed;
        if (auto failed = items(found.unlocked, deadline, matches)) return failed;
        if (matches.empty()) return errSecItemNotFound;
        return std::nullopt;
    }

    // Deletes an item; one already gone counts as deleted.
    std::optional<OSStatus> remove(SecretItem* item, const Deadline& deadline) {
        ErrorSlot error;
        if (secret_item_delete_sync(item, deadline.cancellable(), &error.out)) return std::nullopt;
        OSStatus status = fail(error, deadline);
        if (status == errSecItemNotFound) return std::nullopt;
        return status;
    }

    // Reads the collection's Locked property from the service itself: the proxy's cached copy is
    // only refreshed by signals that nobody here dispatches.
    std::optional<OSStatus> checkUnlocked(SecretCollection* collection, const Deadline& deadline) {
        GDBusProxy* proxy = G_DBUS_PROXY(collection);
        ErrorSlot error;
        VariantPtr reply(g_dbus_connection_call_sync(
            g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy), g_dbus_proxy_get_object_path(proxy),
            "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"),
            G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, deadline.cancellable(), &error.out));
        if (!reply) return fail(error, deadline);
        GVariant* boxed = nullptr;
        g_variant_get(reply.get(), "(v)", &boxed);
        VariantPtr value(boxed);
        if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) return errSecIO;
        if (g_variant_get_boolean(value.get())) return errSecInteractionNotAllowed;
        return std::nullopt;
    }

    KeychainCopyResult copyMatching(const KeychainAttributes& query, const Deadline& deadline);
    OSStatus add(const KeychainAttributes& attributes, const Deadline& deadline);
    OSStatus update(const KeychainAttributes& query, const std::optional<std::string>& data, const Deadline& deadline);
    OSStatus deleteItem(const KeychainAttributes& query, const Deadline& deadline);
};

SecretServiceKeychain::SecretServiceKeychain(std::chrono::milliseconds timeout) : impl_(std::make_unique<Impl>()) {
    impl_->timeout = timeout;
}

SecretServiceKeychain::~SecretServiceKeychain() {
    std::lock_guard guard(libsecretMutex());
    impl_.reset();
}

bool SecretServiceKeychain::isAvailable(std::chrono::milliseconds timeout) {
    std::lock_guard guard(libsecretMutex());
    Deadline deadline(timeout);
    ErrorSlot error;
    ObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.cancellable(), &error.out));
    if (!bus) return false;
    const char* name = secretServiceBusName();
    auto ask = [&](const char* method, GVariant* arguments, const GVariantType* type) {
        ErrorSlot callError;
        return VariantPtr(g_dbus_connection_call_sync(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", method, arguments, type,
                                                      G_DBUS_CALL_FLAGS_NONE, -1, deadline.cancellable(),
                                                      &callError.out));
    };
    if (auto owner = ask("NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"))) {
        gboolean has = FALSE;
        g_variant_get(owner.get(), "(b)", &has);
        if (has) return true;
    }
    if (auto names = ask("ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"))) {
        GVariantIter* iter = nullptr;
        g_variant_get(names.get(), "(as)", &iter);
        const gchar* activatable = nullptr;
        bool found = false;
        while (g_variant_iter_loop(iter, "&s", &activatable)) {
            if (std::strcmp(activatable, name) == 0) found = true;
        }
        g_variant_iter_free(iter);
        return found;
    }
    return false;
}

KeychainCopyResult SecretServiceKeychain::copyMatching(const KeychainAttributes& query) {
    if (!isServable(query)) return {errSecParam, std::nullopt};
    std::lock_guard guard(libsecretMutex());
    Deadline deadline(impl_->nextTimeout());
    KeychainCopyResult result = impl_->copyMatching(query, deadline);
    impl_->settle(result.status, deadline);
    return result;
}

OSStatus SecretServiceKeychain::add(const KeychainAttributes& attributes) {
    if (!isServable(attributes)) return errSecParam;
    std::lock_guard guard(libsecretMutex());
    Deadline deadline(impl_->nextTimeout());
    return impl_->settle(impl_->add(attributes, deadline), deadline);
}

OSStatus SecretServiceKeychain::update(const KeychainAttributes& query, const KeychainAttributes& attributesToUpdate) {
    if (!isServable(query)) return errSecParam;
    std::lock_guard guard(libsecretMutex());
    Deadline deadline(impl_->nextTimeout());
    return impl_->settle(impl_->update(query, attributesToUpdate.valueData, deadline), deadline);
}

OSStatus SecretServiceKeychain::deleteItem(const KeychainAttributes& query) {
    if (!isServable(query)) return errSecParam;
    std::lock_guard guard(libsecretMutex());
    Deadline deadline(impl_->nextTimeout());
    return impl_->settle(impl_->deleteItem(query, deadline), deadline);
}

KeychainCopyResult SecretServiceKeychain::Impl::copyMatching(const KeychainAttributes& query, const Deadline& deadline) {
    if (auto failed = open(deadline)) return {*failed, std::nullopt};
    SearchResult found;
    if (auto failed = search(query, deadline, found)) return {*failed, std::nullopt};
    std::vector<ObjectPtr<SecretItem>> matches;
    if (auto failed = items(found.unlocked, deadline, matches)) return {*failed, std::nullopt};
    if (matches.empty()) {
        return {found.locked.empty() ? errSecItemNotFound : errSecInteractionNotAllowed, std::nullopt};
    }
    if (!query.returnData.value_or(false)) return {errSecSuccess, std::nullopt};

    for (const auto& match : matches) {
        ErrorSlot error;
        if (!secret_item_load_secret_sync(match.get(), deadline.cancellable(), &error.out)) {
            OSStatus status = fail(error, deadline);
            if (status == errSecItemNotFound) continue;  // deleted meanwhile: the next one serves
            return {status, std::nullopt};
        }
        ValuePtr value(secret_item_get_secret(match.get()));
        if (!value) return {errSecSuccess, std::nullopt};
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        return {errSecSuccess, std::string(bytes, length)};
    }
    return {errSecItemNotFound, std::nullopt};
}

OSStatus SecretServiceKeychain::Impl::add(const KeychainAttributes& attributes, const Deadline& deadline) {
    if (auto failed = open(deadline)) return *failed;
    AddLock lock;
    if (!lock.acquire(deadline)) return errSecNotAvailable;
    SearchResult existing;
    if (auto failed = search(attributes, deadline, existing)) return *failed;
    if (!existing.empty()) return errSecDuplicateItem;

    ErrorSlot error;
    ObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(), &error.out));
    if (!collection) return error.out ? fail(error, deadline) : errSecNoDefaultKeychain;
    // Creating in a locked collection would make the service ask for its password.
    if (auto failed = checkUnlocked(collection.get(), deadline)) return *failed;

    const std::string data = attributes.valueData.value_or(std::string());
    ValuePtr value(secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain"));
    HashTablePtr table = attributesFor(attributes);
    const std::string label =
        "Tarn VPN sign-in (" + *attributes.service + ", " + *attributes.account + ", " + keychainName(attributes) + ")";
    ObjectPtr<SecretItem> created(secret_item_create_sync(collection.get(), tokenSchema(), table.get(), label.c_str(),
                                                          value.get(), SECRET_ITEM_CREATE_NONE, deadline.cancellable(),
                                                          &error.out));
    if (!created) {
        // libsecret loads the new item after creating it; a delete racing us may remove it first.
        // The item was made, then deleted: as far as this add goes, it succeeded.
        OSStatus status = fail(error, deadline);
        return status == errSecItemNotFound ? errSecSuccess : status;
    }

    // A process that does not take the lock (another runtime directory, another library) may
    // have created the same item meanwhile. Look again: every process orders the matches alike
    // and the first wins. The winner removes the others and the loser its own, reporting a
    // duplicate as a keychain would, so a race ends with one item. A process that saw only its
    // own item is settled by the one that created later, which sees both.
    SearchResult after;
    std::vector<ObjectPtr<SecretItem>> matches;
    if (search(attributes, deadline, after) || after.unlocked.size() + after.locked.size() <= 1 ||
        items(after.unlocked, deadline, matches) || matches.empty()) {
        return errSecSuccess;
    }
    const std::string_view ours = g_dbus_proxy_get_object_path(G_DBUS_PROXY(created.get()));
    if (g_dbus_proxy_get_object_path(G_DBUS_PROXY(matches.front().get())) != ours) {
        if (remove(created.get(), deadline)) return errSecSuccess;
        return errSecDuplicateItem;
    }
    for (std::size_t i = 1; i < matches.size(); ++i) remove(matches[i].get(), deadline);
    return errSecSuccess;
}

OSStatus SecretServiceKeychain::Impl::update(const KeychainAttributes& query, const std::optional<std::string>& data,
                                             const Deadline& deadline) {
    std::vector<ObjectPtr<SecretItem>> matches;
    if (auto failed = matchesToChange(query, deadline, matches)) return *failed;
    if (!data) return errSecSuccess;

    // The first match that still exists takes the data; the others are removed, so what a racing
    // add left behind ends as one item.
    ValuePtr value(secret_value_new(data->data(), static_cast<gssize>(data->size()), "text/plain"));
    std::size_t kept = matches.size();
    for (std::size_t i = 0; i < matches.size(); ++i) {
        ErrorSlot error;
        if (secret_item_set_secret_sync(matches[i].get(), value.get(), deadline.cancellable(), &error.out)) {
            kept = i;
            break;
        }
        OSStatus status = fail(error, deadline);
        if (status != errSecItemNotFound) return status;
    }
    if (kept == matches.size()) return errSecItemNotFound;
    for (std::size_t i = kept + 1; i < matches.size(); ++i) {
        if (auto failed = remove(matches[i].get(), deadline)) return *failed;
    }
    return errSecSuccess;
}

OSStatus SecretServiceKeychain::Impl::deleteItem(const KeychainAttributes& query, const Deadline& deadline) {
    std::vector<ObjectPtr<SecretItem>> matches;
    if (auto failed = matchesToChange(query, deadline, matches)) return *failed;
    for (const auto& match : matches) {
        if (auto failed = remove(match.get(), deadline)) return *failed;
    }
    return errSecSuccess;
}

}  // namespace tarn
