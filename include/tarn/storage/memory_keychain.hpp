// InMemoryKeychain: a Keychain held in memory, for tests of code built on the token store. It
// records every call with its attribute sets and can be told to answer any status on any
// operation, so failure paths can be driven without a real keychain.
#pragma once

#include "tarn/export.hpp"
#include "tarn/storage/keychain.hpp"

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace tarn {

class TARN_EXPORT InMemoryKeychain : public Keychain {
public:
    enum class Operation { copyMatching, add, update, deleteItem };

    /// One recorded call: the operation, its query (or, for add, its attributes) and, for update,
    /// the attributes to update.
    struct Call {
        Operation operation;
        KeychainAttributes attributes;
        std::optional<KeychainAttributes> attributesToUpdate;
        friend bool operator==(const Call&, const Call&) = default;
    };

    KeychainCopyResult copyMatching(const KeychainAttributes& query) override;
    OSStatus add(const KeychainAttributes& attributes) override;
    OSStatus update(const KeychainAttributes& query, const KeychainAttributes& attributesToUpdate) override;
    OSStatus deleteItem(const KeychainAttributes& query) override;

    /// Every later call of `operation` answers `status` and changes nothing (a copyMatching answers
    /// no data), until `clearOutcomes`. nullopt restores the normal behaviour of that operation.
    void setOutcome(Operation operation, std::optional<OSStatus> status);
    /// The next call of `operation` answers `status` and changes nothing; queued answers are used
    /// in order, before any outcome set with setOutcome.
    void queueOutcome(Operation operation, OSStatus status);
    void clearOutcomes();

    /// The stored data of an item, read or written directly (no call is recorded).
    std::optional<std::string> item(const std::string& service, const std::string& account,
                                    bool dataProtection) const;
    void setItem(const std::string& service, const std::string& account, bool dataProtection, std::string data);
    std::size_t itemCount() const;

    std::vector<Call> calls() const;
    void clearCalls();

private:
    using Key = std::tuple<std::string, std::string, bool>;
    static std::optional<Key> keyOf(const KeychainAttributes& attributes);
    std::optional<OSStatus> forcedOutcome(Operation operation);

    mutable std::mutex mutex_;
    std::map<Key, std::string> items_;
    std::vector<Call> calls_;
    std::map<Operation, std::deque<OSStatus>> queued_;
    std::map<Operation, OSStatus> outcomes_;
};

}  // namespace tarn
