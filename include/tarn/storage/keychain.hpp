// Keychain: the four item operations a secret store offers the token store (copy-matching, add,
// update, delete), the attribute sets they take and the status codes they answer. Backends:
// SecretServiceKeychain (the desktop's Secret Service), FileKeychain (owner-only files, for
// machines without one) and InMemoryKeychain (tests). makePlatformKeychain picks one.
#pragma once

#include "tarn/export.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace tarn {

/// A keychain status code. The values are those of the desktop keychain services, so a status
/// reads the same whichever backend produced it.
using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
/// The store failed in an I/O operation (a file could not be read or written, a D-Bus call failed).
inline constexpr OSStatus errSecIO = -36;
/// The attribute set cannot be served (a required attribute is missing or too long).
inline constexpr OSStatus errSecParam = -50;
/// No keychain is reachable: no Secret Service on the bus, or it did not answer in time.
inline constexpr OSStatus errSecNotAvailable = -25291;
/// The keychain is not usable as it stands (a file store directory that is not private to us).
inline constexpr OSStatus errSecInvalidKeychain = -25295;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
/// There is no default collection to add an item to.
inline constexpr OSStatus errSecNoDefaultKeychain = -25307;
/// Serving the call would need the user (a locked collection, an unlock prompt): never done.
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;

enum class KeychainItemClass { genericPassword };
enum class KeychainMatchLimit { one };
enum class KeychainAccessibility { afterFirstUnlockThisDeviceOnly };

/// The authentication context attached to a call. With `interactionNotAllowed` the call fails
/// with errSecInteractionNotAllowed rather than asking the user anything.
struct TARN_EXPORT KeychainAuthenticationContext {
    bool interactionNotAllowed = false;
    friend bool operator==(const KeychainAuthenticationContext&, const KeychainAuthenticationContext&) = default;
};

/// One attribute set as passed to a keychain operation: each member is one attribute, absent when
/// the set does not carry it. `valueData` is secret; the printed form never shows it.
struct TARN_EXPORT KeychainAttributes {
    std::optional<KeychainItemClass> itemClass{};                          // kSecClass
    std::optional<std::string> service{};                                  // kSecAttrService
    std::optional<std::string> account{};                                  // kSecAttrAccount
    std::optional<bool> useDataProtectionKeychain{};                       // kSecUseDataProtectionKeychain
    std::optional<KeychainAuthenticationContext> useAuthenticationContext{};  // kSecUseAuthenticationContext
    std::optional<bool> returnData{};                                      // kSecReturnData
    std::optional<KeychainMatchLimit> matchLimit{};                        // kSecMatchLimit
    std::optional<std::string> valueData{};                                // kSecValueData
    std::optional<KeychainAccessibility> accessible{};                     // kSecAttrAccessible

    friend bool operator==(const KeychainAttributes&, const KeychainAttributes&) = default;

    /// True when the set addresses the data-protection keychain; otherwise the legacy one.
    bool addressesDataProtectionKeychain() const { return useDataProtectionKeychain.value_or(false); }
};

/// "{class: genericPassword, service: \"s\", account: \"a\", valueData: <redacted>, ...}"
TARN_EXPORT std::ostream& operator<<(std::ostream& os, const KeychainAttributes& attributes);

/// The answer of copyMatching: a status and, on success with returnData, the item's data.
struct TARN_EXPORT KeychainCopyResult {
    OSStatus status = errSecSuccess;
    std::optional<std::string> data;
    friend bool operator==(const KeychainCopyResult&, const KeychainCopyResult&) = default;
};

/// A store of generic-password items addressed by (service, account) in one of two keychains,
/// the data-protection one and the legacy one. Operations report their outcome as a status and
/// throw only for programming errors or exhausted memory. Implementations are thread-safe.
class TARN_EXPORT Keychain {
public:
    virtual ~Keychain() = default;

    /// Finds the item the query addresses. errSecItemNotFound when there is none.
    virtual KeychainCopyResult copyMatching(const KeychainAttributes& query) = 0;
    /// Creates the item; errSecDuplicateItem when it exists already (also when another process
    /// created it a moment earlier).
    virtual OSStatus add(const KeychainAttributes& attributes) = 0;
    /// Replaces the attributes present in `attributesToUpdate` (the data) of the item `query`
    /// addresses. errSecItemNotFound when there is none.
    virtual OSStatus update(const KeychainAttributes& query, const KeychainAttributes& attributesToUpdate) = 0;
    /// Removes the item `query` addresses. errSecItemNotFound when there is none.
    virtual OSStatus deleteItem(const KeychainAttributes& query) = 0;
};

/// The keychain an application on this machine should use: the Secret Service when the session
/// bus offers one (asked once, within `timeout`), otherwise a FileKeychain at `fileRoot`
/// (FileKeychain::defaultRoot() when empty). The choice is made here, once; later calls never
/// switch backends, so tokens do not silently move between stores.
TARN_EXPORT std::shared_ptr<Keychain> makePlatformKeychain(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                               std::filesystem::path fileRoot = {});

}  // namespace tarn
