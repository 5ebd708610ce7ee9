// Child process for the storage tests that need several processes:
//   storage_proc device-id <defaults-file> <keychain-root>   print this installation's identifier
//   storage_proc keychain-add file|secret-service <keychain-root> <service> <data>
//                                                            add one item, print the status
//   storage_proc write-loop <container-root> <group>          write two profiles in turn forever
//   storage_proc platform-keychain                            print which keychain would be used
//   storage_proc token-race file|secret-service <keychain-root> <service> save|clear <rounds>
//                                                            save or clear a token pair in a loop,
//                                                            print the failures ("0" when none)
//   storage_proc defaults-loop <file>                         write two values in turn forever
//   storage_proc hold-defaults-lock <file>                    hold the defaults lock until stdin closes
// device-id, keychain-add and token-race first wait for their standard input to close, so a test
// can start many of them and release them together.
#include "tarn/storage/device_identity.hpp"
#include "tarn/storage/file_keychain.hpp"
#include "tarn/storage/secret_service_keychain.hpp"
#include "tarn/storage/shared_container.hpp"

#include "shared_configs.hpp"
#include "tsan_suppressions.hpp"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

void waitForStart() {
    char c;
    while (::read(0, &c, 1) > 0) {
    }
}

int usage() {
    std::cerr << "usage: storage_proc device-id|keychain-add|write-loop|platform-keychain|token-race|defaults-loop|"
                 "hold-defaults-lock ...\n";
    return 2;
}

std::shared_ptr<tarn::Keychain> keychainFor(const std::string& backend, const char* root) {
    if (backend == "file") return std::make_shared<tarn::FileKeychain>(root);
    return std::make_shared<tarn::SecretServiceKeychain>(std::chrono::seconds(20));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "device-id" && argc == 4) {
        auto defaults = std::make_shared<tarn::JSONFileDefaults>(argv[2]);
        auto keychain = std::make_shared<tarn::KeychainTokenStore>("tarn-test", "device",
                                                                   std::make_shared<tarn::FileKeychain>(argv[3]));
        tarn::DeviceIdentity identity(defaults, keychain);
        waitForStart();
        std::cout << identity.deviceID() << std::endl;
        return 0;
    }
    if (command == "keychain-add" && argc == 6) {
        auto keychain = keychainFor(argv[2], argv[3]);
        tarn::KeychainAttributes attributes{.itemClass = tarn::KeychainItemClass::genericPassword,
                                            .service = argv[4], .account = "acct", .useDataProtectionKeychain = true,
                                            .valueData = argv[5]};
        waitForStart();
        std::cout << keychain->add(attributes) << std::endl;
        return 0;
    }
    if (command == "write-loop" && argc == 4) {
        tarn::SharedContainer container(argv[3], argv[2]);
        const tarn::VLESSConfig configs[] = {tarn::testing::alternatingConfig('A'),
                                             tarn::testing::alternatingConfig('B')};
        container.write(configs[0]);
        std::cout << "ready" << std::endl;
        for (unsigned long i = 1;; ++i) container.write(configs[i % 2]);
    }
    if (command == "token-race" && argc == 7) {
        tarn::KeychainTokenStore store(argv[4], "acct", keychainFor(argv[2], argv[3]));
        const bool save = std::string(argv[5]) == "save";
        const int rounds = std::stoi(argv[6]);
        waitForStart();
        int failures = 0;
        std::string first;
        for (int i = 0; i < rounds; ++i) {
            try {
                if (save) {
                    store.save({"access-" + std::to_string(::getpid()), "refresh"});
                } else {
                    store.clear();
                }
            } catch (const std::exception& e) {
                if (failures++ == 0) first = e.what();
            }
        }
        std::cout << failures << (failures ? " " + first : std::string()) << std::endl;
        return 0;
    }
    if (command == "defaults-loop" && argc == 3) {
        tarn::JSONFileDefaults defaults(argv[2]);
        const std::string values[] = {std::string(256 * 1024, 'a'), std::string(256 * 1024, 'b')};
        defaults.setString("k", values[0]);
        std::cout << "ready" << std::endl;
        for (unsigned long i = 1;; ++i) defaults.setString("k", values[i % 2]);
    }
    if (command == "hold-defaults-lock" && argc == 3) {
        tarn::JSONFileDefaults(argv[2]).updateString("k", [](const std::optional<std::string>&) {
            std::cout << "locked" << std::endl;
            waitForStart();
            return std::optional<std::string>();
        });
        return 0;
    }
    if (command == "platform-keychain" && argc == 2) {
        auto keychain = tarn::makePlatformKeychain(std::chrono::seconds(5), "/nonexistent/tarn-keychain");
        bool secretService = dynamic_cast<tarn::SecretServiceKeychain*>(keychain.get()) != nullptr;
        std::cout << (secretService ? "secret-service" : "file") << std::endl;
        return 0;
    }
    return usage();
}
