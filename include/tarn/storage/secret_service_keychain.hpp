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
/// prints it. New items go to the default collection.
///
/// Statuses besides success, duplicate and not-found:
///   errSecInteractionNotAllowed  the item or the default collection is locked;
///   errSecNotAvailable           no session bus, no Secret Service on it, or no answer within the
///                                timeout (the pending call is cancelled);
///   errSecNoDefaultKeychain      no default collection to add to;
///   errSecIO                     any other failure the service reports.
/// None of these deletes anything.
///
/// The Secret Service cannot create an item only if it is absent, so add looks first. The adds of
/// all processes of the user take turns on a lock file in a private directory ($XDG_RUNTIME_DIR/tarn,
/// else <temp>/tarn-<uid>), so two processes using this class never both create the item. After
/// creating, add looks again and withdraws its item as a duplicate when an older one appeared (a
/// writer that skipped the lock). A lookup that still matches several items answers the oldest;
/// update and delete act on all of them.
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
