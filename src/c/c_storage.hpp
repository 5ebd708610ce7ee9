// The storage handle behind tarn_storage: the token store a client signs in with, the device
// identifier and the shared directory of the connection profile.
#pragma once

#include "tarn/storage/device_identity.hpp"
#include "tarn/storage/shared_container.hpp"
#include "tarn/storage/token_store.hpp"

#include <memory>

struct tarn_storage {
    std::shared_ptr<tarn::TokenStore> tokens;
    std::unique_ptr<tarn::DeviceIdentity> identity;
    tarn::SharedContainer container;
};
