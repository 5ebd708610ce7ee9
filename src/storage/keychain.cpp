#include "tarn/storage/keychain.hpp"

#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"

namespace tarn {

namespace {

void writeQuoted(std::ostream& os, const std::string& s) {
    os << '"';
    for (char c : s) {
        if (c == '"' || c == '\\') os << '\\';
        os << c;
    }
    os << '"';
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const KeychainAttributes& a) {
    const char* separator = "";
    auto next = [&](const char* name) -> std::ostream& {
        os << separator << name << ": ";
        separator = ", ";
        return os;
    };
    os << '{';
    if (a.itemClass) next("class") << "genericPassword";
    if (a.service) writeQuoted(next("service"), *a.service);
    if (a.account) writeQuoted(next("account"), *a.account);
    if (a.useDataProtectionKeychain) next("useDataProtectionKeychain") << (*a.useDataProtectionKeychain ? "true" : "false");
    if (a.useAuthenticationContext) {
        next("useAuthenticationContext")
            << (a.useAuthenticationContext->interactionNotAllowed ? "{interactionNotAllowed}" : "{}");
    }
    if (a.returnData) next("returnData") << (*a.returnData ? "true" : "false");
    if (a.matchLimit) next("matchLimit") << "one";
    if (a.valueData) next("valueData") << "<redacted>";
    if (a.accessible) next("accessible") << "afterFirstUnlockThisDeviceOnly";
    return os << '}';
}

std::shared_ptr<Keychain> makePlatformKeychain(std::chrono::milliseconds timeout, std::filesystem::path fileRoot) {
    if (SecretServiceKeychain::isAvailable(timeout)) return std::make_shared<SecretServiceKeychain>(timeout);
    return std::make_shared<FileKeychain>(fileRoot.empty() ? FileKeychain::defaultRoot() : std::move(fileRoot));
}

}  // namespace tarn
