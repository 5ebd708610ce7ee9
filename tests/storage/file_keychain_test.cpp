#include "tarn/storage/file_keychain.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::modeOf;

KeychainAttributes item(const std::string& service, const std::string& account, bool dataProtection = true) {
    KeychainAttributes q{.itemClass = KeychainItemClass::genericPassword, .service = service, .account = account};
    if (dataProtection) q.useDataProtectionKeychain = true;
    return q;
}
KeychainAttributes withData(KeychainAttributes q, std::string data) {
    q.valueData = std::move(data);
    return q;
}

std::vector<fs::path> filesUnder(const fs::path& root) {
    std::vector<fs::path> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) out.push_back(entry.path());
    }
    return out;
}

class FileKeychainTest : public ::testing::Test {
protected:
    testing::ScratchDirectory scratch;
    fs::path root = scratch / "nested" / "keychain";
    FileKeychain keychain{root};
};

TEST_F(FileKeychainTest, DirectoriesAreOwnerOnlyAndItemsAreOwnerReadWriteEvenUnderAPermissiveUmask) {
    mode_t old = ::umask(0);
    OSStatus added = keychain.add(withData(item("s", "a"), "v"));
    OSStatus legacyAdded = keychain.add(withData(item("s", "a", false), "v"));
    ::umask(old);
    ASSERT_EQ(added, errSecSuccess);
    ASSERT_EQ(legacyAdded, errSecSuccess);
    EXPECT_EQ(modeOf(scratch / "nested"), 0700u);
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(modeOf(root / "data-protection"), 0700u);
    EXPECT_EQ(modeOf(root / "legacy"), 0700u);
    auto files = filesUnder(root);
    ASSERT_EQ(files.size(), 2u) << "no temporary file may be left behind";
    for (const auto& f : files) EXPECT_EQ(modeOf(f), 0600u) << f;
}

TEST_F(FileKeychainTest, ServiceAndAccountNeverNameAPathOutsideTheKeychain) {
    ASSERT_EQ(keychain.add(withData(item("../../../escape", "/etc/passwd"), "v")), errSecSuccess);
    ASSERT_EQ(keychain.update(item("../../../escape", "/etc/passwd"), KeychainAttributes{.valueData = "w"}), errSecSuccess);
    auto files = filesUnder(scratch.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].parent_path(), root / "data-protection");
    EXPECT_EQ(files[0].filename().string().find('/'), std::string::npos);
    EXPECT_EQ(files[0].filename().string().find(".."), std::string::npos);
}

TEST_F(FileKeychainTest, OverlongNamesAreRefused) {
    EXPECT_EQ(keychain.add(withData(item(std::string(100, 's'), std::string(21, 'a')), "v")), errSecParam);
    EXPECT_EQ(keychain.add(withData(item(std::string(100, 's'), std::string(20, 'a')), "v")), errSecSuccess);
}

TEST_F(FileKeychainTest, AKeychainDirectoryOthersCanReachIsNotUsed) {
    ASSERT_EQ(keychain.add(withData(item("s", "a"), "v")), errSecSuccess);
    fs::permissions(root / "data-protection", fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
    EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, errSecInvalidKeychain);
    EXPECT_EQ(keychain.add(withData(item("t", "a"), "v")), errSecInvalidKeychain);
    EXPECT_EQ(keychain.update(item("s", "a"), KeychainAttributes{.valueData = "w"}), errSecInvalidKeychain);
    EXPECT_EQ(keychain.deleteItem(item("s", "a")), errSecInvalidKeychain);
    fs::permissions(root / "data-protection", fs::perms::owner_all);
    EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, errSecSuccess) << "nothing was deleted meanwhile";
}

TEST_F(FileKeychainTest, ASymbolicLinkInPlaceOfAKeychainDirectoryIsNotFollowed) {
    fs::create_directories(root);
    fs::permissions(root, fs::perms::owner_all);
    fs::create_directory(scratch / "elsewhere");
    fs::permissions(scratch / "elsewhere", fs::perms::owner_all);
    fs::create_directory_symlink(scratch / "elsewhere", root / "data-protection");
    EXPECT_EQ(keychain.add(withData(item("s", "a"), "v")), errSecInvalidKeychain);
    EXPECT_TRUE(fs::is_empty(scratch / "elsewhere"));
}

TEST_F(FileKeychainTest, MissingKeychainReadsAsEmptyWithoutCreatingAnything) {
    EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, errSecItemNotFound);
    EXPECT_EQ(keychain.update(item("s", "a"), KeychainAttributes{.valueData = "w"}), errSecItemNotFound);
    EXPECT_EQ(keychain.deleteItem(item("s", "a")), errSecItemNotFound);
    EXPECT_FALSE(fs::exists(root));
}

}  // namespace
}  // namespace tarn
