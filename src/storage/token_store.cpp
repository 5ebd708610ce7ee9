#include "tarn/storage/token_store.hpp"

#include "tarn/json/json.hpp"

namespace tarn {

namespace {

std::string_view statusReason(OSStatus status) {
    switch (status) {
        case errSecInteractionNotAllowed: return "the keyring is locked and may not ask to be unlocked";
        case errSecNotAvailable: return "no keychain answers";
        case errSecNoDefaultKeychain: return "there is no default collection";
        case errSecInvalidKeychain: return "the key store is not private to this user";
        case errSecIO: return "the key store could not be read or written";
        case errSecParam: return "invalid item attributes";
        case errSecItemNotFound: return "no such item";
        case errSecDuplicateItem: return "the item exists already";
        default: return "unexpected status";
    }
}

}  // namespace

KeychainError::KeychainError(OSStatus status)
    : status_(status),
      what_("KeychainError.unhandled(" + std::to_string(status) + "): " + std::string(statusReason(status))) {}

std::optional<AuthTokens> MemoryTokenStore::loadTokens() {
    std::lock_guard lock(mutex_);
    return tokens_;
}

void MemoryTokenStore::save(const AuthTokens& tokens) {
    std::lock_guard lock(mutex_);
    tokens_ = tokens;
}

void MemoryTokenStore::clear() {
    std::lock_guard lock(mutex_);
    tokens_.reset();
}

KeychainTokenStore::KeychainTokenStore(std::string service, std::string account, std::shared_ptr<Keychain> keychain)
    : service_(std::move(service)), account_(std::move(account)), keychain_(std::move(keychain)) {}

KeychainAttributes KeychainTokenStore::legacyQuery() const {
    return {.itemClass = KeychainItemClass::genericPassword, .service = service_, .account = account_};
}

KeychainAttributes KeychainTokenStore::currentQuery() const {
    KeychainAttributes query = legacyQuery();
    query.useDataProtectionKeychain = true;
    return query;
}

KeychainAttributes KeychainTokenStore::nonInteractiveQuery(KeychainAttributes query) {
    // A fresh context per call: an allowance granted to one call never carries over to the next.
    query.useAuthenticationContext = KeychainAuthenticationContext{.interactionNotAllowed = true};
    return query;
}

std::optional<AuthTokens> KeychainTokenStore::loadTokens(const KeychainAttributes& baseQuery) {
    KeychainAttributes query = nonInteractiveQuery(baseQuery);
    query.returnData = true;
    query.matchLimit = KeychainMatchLimit::one;
    KeychainCopyResult result = keychain_->copyMatching(query);
    if (result.status == errSecItemNotFound) return std::nullopt;
    if (result.status == errSecSuccess && result.data) return JSONDecoder().decode<AuthTokens>(*result.data);
    throw KeychainError::unhandled(result.status);
}

std::optional<AuthTokens> KeychainTokenStore::loadTokens() {
    if (auto tokens = loadTokens(currentQuery())) return tokens;
    auto legacy = loadTokens(legacyQuery());
    if (!legacy) return std::nullopt;
    // Copy forward; when it fails the legacy item still serves, and the next load tries again.
    try {
        save(*legacy);
    } catch (...) {
    }
    return legacy;
}

void KeychainTokenStore::save(const AuthTokens& tokens) {
    const std::string data = JSONEncoder().encode(tokens);
    KeychainAttributes attributes = currentQuery();
    attributes.valueData = data;
    attributes.accessible = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    // Only a delete makes an item that add found vanish before the update: a clear racing us. The
    // add then succeeds on the next round; should clears keep winning, this save took effect just
    // before one of them, which leaves no item either way, so it is no failure.
    for (int round = 0; round < 3; ++round) {
        OSStatus status = keychain_->add(attributes);
        if (status == errSecSuccess) return;
        if (status != errSecDuplicateItem) throw KeychainError::unhandled(status);
        // Only the data changes; the item keeps the accessibility it was created with.
        status = keychain_->update(nonInteractiveQuery(currentQuery()), KeychainAttributes{.valueData = data});
        if (status == errSecSuccess) return;
        if (status != errSecItemNotFound) throw KeychainError::unhandled(status);
    }
}

void KeychainTokenStore::clear() {
    OSStatus status = keychain_->deleteItem(nonInteractiveQuery(currentQuery()));
    if (status != errSecSuccess && status != errSecItemNotFound) throw KeychainError::unhandled(status);
    status = keychain_->deleteItem(nonInteractiveQuery(legacyQuery()));
    if (status != errSecSuccess && status != errSecItemNotFound) throw KeychainError::unhandled(status);
}

}  // namespace tarn
