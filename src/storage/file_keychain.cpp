#include "tarn/storage/file_keychain.hpp"

#include "storage/file_util.hpp"
#include "tarn/platform/digest.hpp"

#include <cerrno>
#include <cstdlib>

namespace tarn {

namespace sd = storage_detail;

namespace {

constexpr std::size_t maxServiceAndAccountBytes = 120;  // keeps the hex file name under NAME_MAX

struct ItemLocation {
    const char* keychain;  // subdirectory of the root
    std::string name;      // file name of the item
};

std::optional<ItemLocation> locate(const KeychainAttributes& query) {
    if (!query.service || !query.account) return std::nullopt;
    if (query.service->size() + query.account->size() > maxServiceAndAccountBytes) return std::nullopt;
    return ItemLocation{query.addressesDataProtectionKeychain() ? "data-protection" : "legacy",
                        digest::hexBytes(*query.service) + "-" + digest::hexBytes(*query.account)};
}

// Opens the keychain directory an item lives in; nullopt when it (or the root) does not exist
// yet and `create` is false.
std::optional<sd::Directory> openKeychain(const std::filesystem::path& root, const char* keychain, bool create) {
    try {
        // The root's own checks mean little if others may rename it away and put theirs in place.
        const std::filesystem::path parent = root.parent_path();
        if (create && !parent.empty()) sd::createDirectories(parent);
        if (!parent.empty()) sd::openTrustedDirectory(parent);
        sd::openPrivateDirectory(root, create);
        return sd::openPrivateDirectory(root / keychain, create);
    } catch (const std::filesystem::filesystem_error& error) {
        if (!create && error.code() == std::errc::no_such_file_or_directory) return std::nullopt;
        throw;
    }
}

}  // namespace

FileKeychain::FileKeychain(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path FileKeychain::defaultRoot() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base = (dataHome && *dataHome == '/') ? std::filesystem::path(dataHome)
                                                                : sd::homeDirectory() / ".local" / "share";
    return base / "tarn" / "keychain";
}

KeychainCopyResult FileKeychain::copyMatching(const KeychainAttributes& query) {
    auto location = locate(query);
    if (!location) return {errSecParam, std::nullopt};
    try {
        auto dir = openKeychain(root_, location->keychain, false);
        if (!dir) return {errSecItemNotFound, std::nullopt};
        auto data = sd::readFileIfExists(*dir, location->name);
        if (!data) return {errSecItemNotFound, std::nullopt};
        if (!query.returnData.value_or(false)) return {errSecSuccess, std::nullopt};
        return {errSecSuccess, std::move(data)};
    } catch (const std::filesystem::filesystem_error& error) {
        return {failed(error), std::nullopt};
    }
}

OSStatus FileKeychain::add(const KeychainAttributes& attributes) {
    auto location = locate(attributes);
    if (!location) return errSecParam;
    try {
        auto dir = openKeychain(root_, location->keychain, true);
        bool created = sd::createFileExclusively(*dir, location->name, attributes.valueData.value_or(std::string()));
        return created ? errSecSuccess : errSecDuplicateItem;
    } catch (const std::filesystem::filesystem_error& error) {
        return failed(error);
    }
}

OSStatus FileKeychain::update(const KeychainAttributes& query, const KeychainAttributes& attributesToUpdate) {
    auto location = locate(query);
    if (!location) return errSecParam;
    try {
        auto dir = openKeychain(root_, location->keychain, false);
        if (!dir) return errSecItemNotFound;
        if (!attributesToUpdate.valueData) {
            return sd::readFileIfExists(*dir, location->name) ? errSecSuccess : errSecItemNotFound;
        }
        bool replaced = sd::replaceExistingFile(*dir, location->name, *attributesToUpdate.valueData);
        return replaced ? errSecSuccess : errSecItemNotFound;
    } catch (const std::filesystem::filesystem_error& error) {
        return failed(error);
    }
}

OSStatus FileKeychain::deleteItem(const KeychainAttributes& query) {
    auto location = locate(query);
    if (!location) return errSecParam;
    try {
        auto dir = openKeychain(root_, location->keychain, false);
        if (!dir) return errSecItemNotFound;
        return sd::removeFile(*dir, location->name) ? errSecSuccess : errSecItemNotFound;
    } catch (const std::filesystem::filesystem_error& error) {
        return failed(error);
    }
}

std::optional<FileKeychain::Failure> FileKeychain::lastFailure() const {
    std::lock_guard lock(failureLock_);
    return lastFailure_;
}

OSStatus FileKeychain::failed(const std::filesystem::filesystem_error& error) {
    {
        std::lock_guard lock(failureLock_);
        // what() repeats the path and the system's words; the step alone is what the host lacks.
        std::string step = error.what();
        if (auto colon = step.find(": "); colon != std::string::npos) step.erase(0, colon + 2);
        if (auto bracket = step.find(": " + error.code().message()); bracket != std::string::npos) step.resize(bracket);
        lastFailure_ = Failure{error.code(), error.path1(), std::move(step)};
    }
    // EPERM is our own refusal of a directory others can reach; EACCES an ordinary denial.
    return error.code() == std::errc::operation_not_permitted ? errSecInvalidKeychain : errSecIO;
}

}  // namespace tarn
