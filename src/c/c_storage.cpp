#include "c_errors.hpp"
#include "c_storage.hpp"

#include "tarn/json/json.hpp"
#include "tarn/storage/defaults.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"

#include <string>

namespace {

using tarn::capi::guarded;
using tarn::capi::InvalidArgument;

std::string orDefault(const char* value, const char* fallback) { return value != nullptr ? value : fallback; }

// NULL checks up front, so that a NULL out-pointer is reported and never written through.
tarn_storage& require(tarn_storage* storage) {
    if (storage == nullptr) throw InvalidArgument("storage is NULL");
    return *storage;
}

template <class T>
T& requireOut(T* out, const char* name) {
    if (out == nullptr) throw InvalidArgument(std::string(name) + " is NULL");
    return *out;
}

// The token store and, where an older installation may have kept the device identifier in the
// keychain, the store of that item.
struct TokenStores {
    std::shared_ptr<tarn::TokenStore> tokens;
    std::shared_ptr<tarn::TokenStore> legacyIdentity;
};

TokenStores makeTokenStores(const tarn_storage_options& options, const std::string& service, const std::string& account) {
    std::shared_ptr<tarn::Keychain> keychain;
    auto files = [&options] {
        return std::make_shared<tarn::FileKeychain>(options.keychain_root != nullptr ? std::filesystem::path(options.keychain_root)
                                                                                     : tarn::FileKeychain::defaultRoot());
    };
    switch (options.keychain) {
        case TARN_KEYCHAIN_SECRET_SERVICE: keychain = std::make_shared<tarn::SecretServiceKeychain>(); break;
        case TARN_KEYCHAIN_FILE: keychain = files(); break;
        case TARN_KEYCHAIN_PLATFORM:
            // What tarnctl does: a desktop without a Secret Service (a server, a container) still
            // keeps its sign-in, in owner-only files.
            if (tarn::SecretServiceKeychain::isAvailable()) {
                keychain = std::make_shared<tarn::SecretServiceKeychain>();
            } else {
                keychain = files();
            }
            break;
        case TARN_KEYCHAIN_MEMORY:
            // The pair alone, replaced on every save. (The test keychain would log every call,
            // and so keep every pair ever saved for as long as the process runs.) A fresh
            // process's memory holds nothing an older installation left.
            return {std::make_shared<tarn::MemoryTokenStore>(), nullptr};
        case TARN_KEYCHAIN_KIND_MAX_ENUM: break;
    }
    if (!keychain) throw InvalidArgument("keychain is not a tarn_keychain_kind");
    return {std::make_shared<tarn::KeychainTokenStore>(service, account, keychain),
            std::make_shared<tarn::KeychainTokenStore>(service, account + ".device", keychain)};
}

}  // namespace

extern "C" {

void tarn_storage_options_init(tarn_storage_options* options) {
    if (options == nullptr) return;
    *options = tarn_storage_options{};
    options->struct_size = sizeof(tarn_storage_options);
    options->keychain = TARN_KEYCHAIN_SECRET_SERVICE;
}

tarn_error_kind tarn_storage_create(const tarn_storage_options* options, tarn_storage** out_storage) {
    return guarded([&] {
        tarn_storage*& out = requireOut(out_storage, "out_storage");
        out = nullptr;
        tarn_storage_options chosen;
        tarn_storage_options_init(&chosen);
        tarn::capi::copyOptions(options, chosen, "tarn_storage_options");
        const std::string service = orDefault(chosen.service, "dev.tarn.vpn");
        const std::string account = orDefault(chosen.account, "default");
        if (service.empty() || account.empty()) throw InvalidArgument("service and account must not be empty");
        // An identifier an older installation kept in the keychain is found and carried over.
        auto [tokens, legacyIdentity] = makeTokenStores(chosen, service, account);
        auto defaults = std::make_shared<tarn::JSONFileDefaults>(
            chosen.defaults_file != nullptr ? std::filesystem::path(chosen.defaults_file) : tarn::JSONFileDefaults::defaultPath());
        out = new tarn_storage{
            tokens,
            std::make_unique<tarn::DeviceIdentity>(defaults, legacyIdentity, orDefault(chosen.defaults_prefix, "dev.tarn.vpn")),
            tarn::SharedContainer(orDefault(chosen.app_group_id, "group.dev.tarn.vpn"),
                                  chosen.app_group_root != nullptr ? std::filesystem::path(chosen.app_group_root)
                                                                   : tarn::SharedContainer::defaultRoot())};
    });
}

void tarn_storage_destroy(tarn_storage* storage) { delete storage; }

tarn_error_kind tarn_storage_device_id(tarn_storage* storage, char** out_device_id, int* out_saved) {
    return guarded([&] {
        char*& out = requireOut(out_device_id, "out_device_id");
        out = nullptr;
        tarn_storage& s = require(storage);
        std::string id = s.identity->deviceID();
        auto origin = s.identity->origin();
        if (out_saved != nullptr) *out_saved = origin && origin->saved ? 1 : 0;
        out = tarn::capi::duplicate(id);
    });
}

tarn_error_kind tarn_storage_has_session(tarn_storage* storage, int* out_signed_in) {
    return guarded([&] {
        int& out = requireOut(out_signed_in, "out_signed_in");
        out = 0;
        out = require(storage).tokens->loadTokens().has_value() ? 1 : 0;
    });
}

tarn_error_kind tarn_storage_clear_session(tarn_storage* storage) {
    return guarded([&] { require(storage).tokens->clear(); });
}

tarn_error_kind tarn_storage_write_connection_profile(tarn_storage* storage, const char* profile_json) {
    return guarded([&] {
        tarn_storage& s = require(storage);
        auto profile = tarn::JSONDecoder::tarn().decode<tarn::VLESSConfig>(tarn::capi::required(profile_json, "profile_json"));
        s.container.write(profile);
    });
}

tarn_error_kind tarn_storage_read_connection_profile(tarn_storage* storage, char** out_profile_json) {
    return guarded([&] {
        char*& out = requireOut(out_profile_json, "out_profile_json");
        out = nullptr;
        out = tarn::capi::duplicate(tarn::JSONEncoder::tarn().encode(require(storage).container.readConfig()));
    });
}

tarn_error_kind tarn_storage_clear_connection_profile(tarn_storage* storage) {
    return guarded([&] { require(storage).container.clearVPNConfig(); });
}

tarn_error_kind tarn_storage_connection_profile_dir(tarn_storage* storage, char** out_path) {
    return guarded([&] {
        char*& out = requireOut(out_path, "out_path");
        out = nullptr;
        out = tarn::capi::duplicate(require(storage).container.url().string());
    });
}

}  // extern "C"
