#include "tarn/storage/file_keychain.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <cstring>
#include <functional>
#include <sstream>

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::modeOf;

using testing::withData;

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
    OSStatus added = keychain.add(withData(testing::keychainItem("s", "a"), "v"));
    OSStatus legacyAdded = keychain.add(withData(testing::keychainItem("s", "a", false), "v"));
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

TEST_F(FileKeychainTest, ServiceAndAccountNeverNameAPathOutsideTheKeychainOrGetCut) {
    ASSERT_EQ(keychain.add(withData(testing::keychainItem("../../../escape", "/etc/passwd"), "v")), errSecSuccess);
    ASSERT_EQ(keychain.update(testing::keychainItem("../../../escape", "/etc/passwd"), KeychainAttributes{.valueData = "w"}), errSecSuccess);
    auto files = filesUnder(scratch.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].parent_path(), root / "data-protection");
    EXPECT_EQ(files[0].filename().string().find('/'), std::string::npos);
    EXPECT_EQ(files[0].filename().string().find(".."), std::string::npos);
    // Names that would not fit in one file name are refused rather than cut.
    EXPECT_EQ(keychain.add(withData(testing::keychainItem(std::string(100, 's'), std::string(21, 'a')), "v")), errSecParam);
    EXPECT_EQ(keychain.add(withData(testing::keychainItem(std::string(100, 's'), std::string(20, 'a')), "v")), errSecSuccess);
}

TEST_F(FileKeychainTest, AKeychainDirectoryOthersCanReachIsNotUsed) {
    ASSERT_EQ(keychain.add(withData(testing::keychainItem("s", "a"), "v")), errSecSuccess);
    fs::permissions(root / "data-protection", fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
    EXPECT_EQ(keychain.copyMatching(testing::keychainItem("s", "a")).status, errSecInvalidKeychain);
    EXPECT_EQ(keychain.add(withData(testing::keychainItem("t", "a"), "v")), errSecInvalidKeychain);
    EXPECT_EQ(keychain.update(testing::keychainItem("s", "a"), KeychainAttributes{.valueData = "w"}), errSecInvalidKeychain);
    EXPECT_EQ(keychain.deleteItem(testing::keychainItem("s", "a")), errSecInvalidKeychain);
    fs::permissions(root / "data-protection", fs::perms::owner_all);
    EXPECT_EQ(keychain.copyMatching(testing::keychainItem("s", "a")).status, errSecSuccess) << "nothing was deleted meanwhile";
}

TEST_F(FileKeychainTest, ASymbolicLinkInPlaceOfAKeychainDirectoryIsNotFollowed) {
    fs::create_directories(root);
    fs::permissions(root, fs::perms::owner_all);
    fs::create_directory(scratch / "elsewhere");
    fs::permissions(scratch / "elsewhere", fs::perms::owner_all);
    fs::create_directory_symlink(scratch / "elsewhere", root / "data-protection");
    EXPECT_EQ(keychain.add(withData(testing::keychainItem("s", "a"), "v")), errSecInvalidKeychain);
    EXPECT_TRUE(fs::is_empty(scratch / "elsewhere"));
}

TEST_F(FileKeychainTest, MissingKeychainReadsAsEmptyWithoutCreatingAnything) {
    EXPECT_EQ(keychain.copyMatching(testing::keychainItem("s", "a")).status, errSecItemNotFound);
    EXPECT_EQ(keychain.update(testing::keychainItem("s", "a"), KeychainAttributes{.valueData = "w"}), errSecItemNotFound);
    EXPECT_EQ(keychain.deleteItem(testing::keychainItem("s", "a")), errSecItemNotFound);
    EXPECT_FALSE(fs::exists(root));
}

// A status cannot tell a full disk from a refused directory; the failure kept beside it can, and
// the directory holding the root is held to the same trust as the defaults file's.
struct FailureCase {
    std::string name;
    // Prepares `root` (under a private scratch directory); false skips the row.
    std::function<bool(const fs::path& root)> prepare;
    bool add;  // add a new item; otherwise read the item "s"/"a"
    OSStatus status;
    int error;
    bool fullDisk = false;  // the state directory is a tiny file system, mounted in the child only
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FileKeychainFailure : public ::testing::TestWithParam<FailureCase> {};

fs::path itemPath(const fs::path& root) { return root / "data-protection" / "73-61"; }  // hex "s" - hex "a"

void makePrivate(const fs::path& dir) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all);
}

TEST_P(FileKeychainFailure, KeepsTheRealCauseAndPath) {
    const FailureCase& c = GetParam();
    testing::ScratchDirectory scratch;
    const fs::path root = scratch / "state" / "keychain";
    makePrivate(root.parent_path());
    if (!c.prepare(root)) GTEST_SKIP() << "not possible on this machine";
    // In a child: a row may have mounted a file system in its own mount namespace.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(pipeFds[0]);
        if (c.fullDisk && (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                           ::mount("tmpfs", root.parent_path().c_str(), "tmpfs", 0, "size=4k,mode=0700") != 0)) {
            [[maybe_unused]] auto written = ::write(pipeFds[1], "skip", 4);
            ::_exit(0);
        }
        FileKeychain keychain(root);
        OSStatus status = c.add ? keychain.add(withData(testing::keychainItem("t", "b"), std::string(64 * 1024, 'v')))
                                : keychain.copyMatching(testing::keychainItem("s", "a")).status;
        auto failure = keychain.lastFailure();
        std::string report = std::to_string(status) + " " + std::to_string(failure ? failure->code.value() : 0) + " " +
                             (failure ? failure->path.string() : "");
        [[maybe_unused]] auto written = ::write(pipeFds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    if (report == "skip") GTEST_SKIP() << "no private mount namespace here";
    std::istringstream in(report);
    OSStatus status = 0;
    int error = 0;
    std::string path;
    in >> status >> error >> path;
    EXPECT_EQ(status, c.status) << report;
    EXPECT_EQ(error, c.error) << report << " (" << std::strerror(error) << ")";
    EXPECT_EQ(path.rfind(scratch.path().string(), 0), 0u) << "names the path involved: " << report;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FileKeychainFailure,
    ::testing::Values(
        FailureCase{"DirectoryInPlaceOfTheItem",
                    [](const fs::path& root) {
                        makePrivate(itemPath(root).parent_path());
                        makePrivate(root);
                        fs::create_directory(itemPath(root));
                        return true;
                    },
                    false, errSecIO, EISDIR},
        FailureCase{"SymbolicLinkInPlaceOfTheItem",
                    [](const fs::path& root) {
                        makePrivate(root);
                        makePrivate(itemPath(root).parent_path());
                        fs::create_symlink(root.parent_path(), itemPath(root));
                        return true;
                    },
                    false, errSecIO, ELOOP},
        FailureCase{"StateDirectoryOthersCanWrite",
                    [](const fs::path& root) {
                        fs::permissions(root.parent_path(), fs::perms::all);
                        return true;
                    },
                    true, errSecInvalidKeychain, EPERM},
        FailureCase{"StateDirectoryOfAnotherUser",
                    [](const fs::path& root) {
                        return ::geteuid() == 0 && ::chown(root.parent_path().c_str(), 65534, 65534) == 0;
                    },
                    false, errSecInvalidKeychain, EPERM},
        FailureCase{"NoSpaceLeft", [](const fs::path&) { return ::geteuid() == 0; }, true, errSecIO, ENOSPC, true}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return p.param.name; });

}  // namespace
}  // namespace tarn
