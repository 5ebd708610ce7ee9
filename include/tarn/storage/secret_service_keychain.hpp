// SecretServiceKeychain: a Keychain on the desktop's Secret Service (gnome-keyring, KWallet,
// KeePassXC) through libsecret. It never unlocks anything and never shows a prompt: a locked
// collection is reported as errSecInteractionNotAllowed, and every call is bounded by a timeout.
#pragma once

#include "tarn/export.hpp"
#include "tarn/storage/keychain.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace tarn {

/// One item per (service, account, keychain), with the attributes "service", "account" and
/// "keychain" ("data-protection" or "legacy") under the schema "dev.tarn.vpn.Token"; the secret
/// is the item data as it is, so `secret-tool lookup service S account A keychain data-protection`
/// prints it. New items go to the default collection. Lookups match the three attributes only, so
/// an item another tool stored without the schema name is found, updated and deleted as well.
///
/// Statuses besides success, duplicate and not-found:
///   errSecInteractionNotAllowed  the item or the default collection is locked;
///   errSecNotAvailable           no session bus, no Secret Service on it, or no answer within the
///                                timeout (the pending call is cancelled);
///   errSecNoDefaultKeychain      no default collection to add to;
///   errSecIO                     any other failure the service reports.
/// None of these deletes anything. An item that another process deleted between the search and
/// its use counts as not found (deleteItem counts it as deleted).
///
/// Bounds: each operation as a whole takes at most the timeout. After an operation the service
/// left unanswered, the next ones wait at most 250 ms until it answers again, so a stopped
/// service costs one timeout, not one per call.
///
/// The Secret Service cannot create an item only if it is absent, so add looks first. The adds of
/// all processes of the user take turns on a lock file in a private directory ($XDG_RUNTIME_DIR/tarn,
/// else <temp>/tarn-<uid>). Processes that do not share it (another runtime directory) may both
/// create: after creating, add looks again, every process orders the matches alike (oldest
/// first), the first stays and the others are removed, the loser reporting a duplicate. Update
/// writes the first match and removes any other. Racing adds, updates and deletes therefore end
/// with one item or none.
///
/// Thread-safe: calls into libsecret are serialised across the process.
class TARN_EXPORT SecretServiceKeychain : public Keychain {
public:
    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(5);

    /// Connects lazily, on the first call, to the provider on the session bus: the one owning
    /// "org.freedesktop.secrets", or the name in $SECRET_SERVICE_BUS_NAME, which libsecret honours.
    explicit SecretServiceKeychain(std::chrono::milliseconds timeout = defaultTimeout);
    ~SecretServiceKeychain() override;
    SecretServiceKeychain(const SecretServiceKeychain&) = delete;
    SecretServiceKeychain& operator=(const SecretServiceKeychain&) = delete;

    /// True when the session bus has a Secret Service provider running or activatable.
    static bool isAvailable(std::chrono::milliseconds timeout = defaultTimeout);

    KeychainCopyResult copyMatching(const KeychainAttributes& query) override;
    OSStatus add(const KeychainAttributes& attributes) override;
    OSStatus update(const KeychainAttributes& query, const KeychainAttributes& attributesToUpdate) override;
    OSStatus deleteItem(const KeychainAttributes& query) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarn
