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
/// Thread safety: one non-recursive lock covers each whole call, so the threads of one instance
/// all receive one value and at most one is generated.
class TARN_EXPORT DeviceIdentity {
public:
    /// Reads nothing. Null pointers are allowed and count as an empty store.
    DeviceIdentity(std::shared_ptr<Defaults> defaults, std::shared_ptr<TokenStore> keychain,
                   std::string keyPrefix = "dev.tarn.vpn");

    std::string deviceID();

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
};

}  // namespace tarn
