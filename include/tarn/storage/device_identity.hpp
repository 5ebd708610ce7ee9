// DeviceIdentity: the stable identifier of this installation that the backend's device records
// use. It remembers the first value it hands out; across restarts the Defaults store carries it.
#pragma once

#include "tarn/export.hpp"
#include "tarn/storage/defaults.hpp"
#include "tarn/storage/token_store.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tarn {

/// `deviceID` answers, in this order: the value this instance already handed out; the trimmed
/// string stored in the defaults under "<keyPrefix>.device.id.v1"; the trimmed access token of the
/// keychain store (then written to the defaults); a fresh lower-case version 4 UUID (written to
/// the defaults). Blank values count as missing. Defaults and keychain failures are treated as
/// missing values, so `deviceID` never fails and never returns an empty string.
///
/// The new value is written with Defaults::updateString: when another process stored a value
/// since this one looked, that value is adopted instead, so processes sharing a JSONFileDefaults
/// agree on one identifier.
///
/// A new identifier is a new device to the backend, so `origin` tells the caller where the value
/// came from and, when the defaults could not be read or written, why: a host can then say so
/// instead of silently taking up another device slot.
///
/// Thread safety: one non-recursive lock covers each whole call, so the threads of one instance
/// all receive one value and at most one is generated.
class TARN_EXPORT DeviceIdentity {
public:
    /// Where the value `deviceID` hands out came from.
    struct Origin {
        enum class Source { defaults, keychain, generated };
        Source source = Source::defaults;
        /// The defaults hold the value now (another process's value may have been adopted).
        bool saved = false;
        /// Why the defaults could not be read or written; empty when they could.
        std::string problem;
        friend bool operator==(const Origin&, const Origin&) = default;
    };

    /// Reads nothing. Null pointers are allowed and count as an empty store.
    DeviceIdentity(std::shared_ptr<Defaults> defaults, std::shared_ptr<TokenStore> keychain,
                   std::string keyPrefix = "dev.tarn.vpn");

    std::string deviceID();

    /// Where the value came from; nullopt before the first deviceID call.
    std::optional<Origin> origin();

    /// The defaults key: keyPrefix + ".device.id.v1".
    const std::string& defaultsKey() const noexcept { return key_; }

private:
    std::optional<std::string> storedValue();
    std::optional<std::string> keychainValue();
    std::string remember(std::string candidate);

    std::shared_ptr<Defaults> defaults_;
    std::shared_ptr<TokenStore> keychain_;
    std::string key_;
    std::mutex lock_;
    std::optional<std::string> cachedDeviceID_;
    std::optional<Origin> origin_;
};

}  // namespace tarn
