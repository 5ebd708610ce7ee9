#include "tarn/storage/memory_keychain.hpp"

namespace tarn {

std::optional<InMemoryKeychain::Key> InMemoryKeychain::keyOf(const KeychainAttributes& attributes) {
    if (!attributes.service || !attributes.account) return std::nullopt;
    return Key{*attributes.service, *attributes.account, attributes.addressesDataProtectionKeychain()};
}

std::optional<OSStatus> InMemoryKeychain::forcedOutcome(Operation operation) {
    if (auto queued = queued_.find(operation); queued != queued_.end() && !queued->second.empty()) {
        OSStatus status = queued->second.front();
        queued->second.pop_front();
        return status;
    }
    if (auto outcome = outcomes_.find(operation); outcome != outcomes_.end()) return outcome->second;
    return std::nullopt;
}

KeychainCopyResult InMemoryKeychain::copyMatching(const KeychainAttributes& query) {
    std::lock_guard guard(mutex_);
    calls_.push_back({Operation::copyMatching, query, std::nullopt});
    if (auto forced = forcedOutcome(Operation::copyMatching)) return {*forced, std::nullopt};
    auto key = keyOf(query);
    if (!key) return {errSecParam, std::nullopt};
    auto found = items_.find(*key);
    if (found == items_.end()) return {errSecItemNotFound, std::nullopt};
    if (!query.returnData.value_or(false)) return {errSecSuccess, std::nullopt};
    return {errSecSuccess, found->second};
}

OSStatus InMemoryKeychain::add(const KeychainAttributes& attributes) {
    std::lock_guard guard(mutex_);
    calls_.push_back({Operation::add, attributes, std::nullopt});
    if (auto forced = forcedOutcome(Operation::add)) return *forced;
    auto key = keyOf(attributes);
    if (!key) return errSecParam;
    auto [it, inserted] = items_.try_emplace(*key, attributes.valueData.value_or(std::string()));
    return inserted ? errSecSuccess : errSecDuplicateItem;
}

OSStatus InMemoryKeychain::update(const KeychainAttributes& query, const KeychainAttributes& attributesToUpdate) {
    std::lock_guard guard(mutex_);
    calls_.push_back({Operation::update, query, attributesToUpdate});
    if (auto forced = forcedOutcome(Operation::update)) return *forced;
    auto key = keyOf(query);
    if (!key) return errSecParam;
    auto found = items_.find(*key);
    if (found == items_.end()) return errSecItemNotFound;
    if (attributesToUpdate.valueData) found->second = *attributesToUpdate.valueData;
    return errSecSuccess;
}

OSStatus InMemoryKeychain::deleteItem(const KeychainAttributes& query) {
    std::lock_guard guard(mutex_);
    calls_.push_back({Operation::deleteItem, query, std::nullopt});
    if (auto forced = forcedOutcome(Operation::deleteItem)) return *forced;
    auto key = keyOf(query);
    if (!key) return errSecParam;
    return items_.erase(*key) ? errSecSuccess : errSecItemNotFound;
}

void InMemoryKeychain::setOutcome(Operation operation, std::optional<OSStatus> status) {
    std::lock_guard guard(mutex_);
    if (status) {
        outcomes_[operation] = *status;
    } else {
        outcomes_.erase(operation);
    }
}

void InMemoryKeychain::queueOutcome(Operation operation, OSStatus status) {
    std::lock_guard guard(mutex_);
    queued_[operation].push_back(status);
}

void InMemoryKeychain::clearOutcomes() {
    std::lock_guard guard(mutex_);
    queued_.clear();
    outcomes_.clear();
}

std::optional<std::string> InMemoryKeychain::item(const std::string& service, const std::string& account,
                                                  bool dataProtection) const {
    std::lock_guard guard(mutex_);
    auto found = items_.find(Key{service, account, dataProtection});
    if (found == items_.end()) return std::nullopt;
    return found->second;
}

void InMemoryKeychain::setItem(const std::string& service, const std::string& account, bool dataProtection,
                               std::string data) {
    std::lock_guard guard(mutex_);
    items_[Key{service, account, dataProtection}] = std::move(data);
}

std::size_t InMemoryKeychain::itemCount() const {
    std::lock_guard guard(mutex_);
    return items_.size();
}

std::vector<InMemoryKeychain::Call> InMemoryKeychain::calls() const {
    std::lock_guard guard(mutex_);
    return calls_;
}

void InMemoryKeychain::clearCalls() {
    std::lock_guard guard(mutex_);
    calls_.clear();
}

}  // namespace tarn
