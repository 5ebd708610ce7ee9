#include "tarn/storage/shared_container.hpp"

#include "storage_procs/shared_configs.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/file.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

namespace tarn {
namespace {

namespace fs = std::filesystem;

using testing::readText;

VLESSConfig sampleConfig() {
    return {"vless://uuid@host:443?security=reality", R"({"log":{"loglevel":"warning"},"outbounds":[]})", "srv-1",
            "user-1", SubscriptionStatus::active, VPNAccessStatus::enabled};
}

// Points the temporary directory at a scratch directory for the test's lifetime.
class SharedContainerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("TMPDIR")) savedTmp = old;
        ::setenv("TMPDIR", tmp.path().c_str(), 1);
        fs::create_directories(root / "group.dev.tarn");
    }
    void TearDown() override {
        if (savedTmp) {
            ::setenv("TMPDIR", savedTmp->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

    testing::ScratchDirectory tmp;
    testing::ScratchDirectory shared;
    fs::path root = shared.path();
    fs::path fallback = tmp.path() / ("tarn-" + std::to_string(::geteuid()));
    std::optional<std::string> savedTmp;
};

TEST_F(SharedContainerTest, WriteThenReadReturnsTheRecordAndTheXrayFileHoldsItsExactBytes) {
    SharedContainer container("group.dev.tarn", root);
    EXPECT_EQ(container.url(), root / "group.dev.tarn");
    EXPECT_EQ(container.vlessConfigURL(), root / "group.dev.tarn" / "vless-config.json");
    EXPECT_EQ(container.xrayConfigURL(), root / "group.dev.tarn" / "xray-config.json");

    container.write(sampleConfig());
    EXPECT_EQ(container.readConfig(), sampleConfig());
    EXPECT_EQ(readText(container.xrayConfigURL()), sampleConfig().xrayJSON);
    EXPECT_EQ(testing::modeOf(container.vlessConfigURL()), 0600u);
    EXPECT_EQ(testing::modeOf(container.xrayConfigURL()), 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(container.url()), fs::directory_iterator()), 2)
        << "no temporary file is left behind";

    auto empty = sampleConfig();
    empty.xrayJSON = "";
    container.write(empty);
    EXPECT_EQ(readText(container.xrayConfigURL()), "");
    EXPECT_EQ(container.readConfig(), empty);
}

TEST_F(SharedContainerTest, ReadFailsBeforeAnyWriteOnACorruptRecordAndAfterClear) {
    SharedContainer container("group.dev.tarn", root);
    EXPECT_THROW(container.readConfig(), fs::filesystem_error);
    container.write(sampleConfig());
    std::ofstream(container.vlessConfigURL()) << R"({"uri":"x"})";
    EXPECT_THROW(container.readConfig(), DecodingError);
    container.clearVPNConfig();
    EXPECT_FALSE(fs::exists(container.vlessConfigURL()));
    EXPECT_FALSE(fs::exists(container.xrayConfigURL()));
    EXPECT_THROW(container.readConfig(), fs::filesystem_error);
    container.clearVPNConfig();  // nothing there: still no failure

    container.write(sampleConfig());
    fs::remove(container.vlessConfigURL());
    container.clearVPNConfig();
    EXPECT_FALSE(fs::exists(container.xrayConfigURL())) << "the second removal is made without the first file";
}

TEST_F(SharedContainerTest, UnknownOrUnsafeGroupsFallBackToAPrivateTemporaryDirectory) {
    for (const std::string group : {"group.unknown", "../group.dev.tarn", "..", "", "a/b"}) {
        SharedContainer container(group, root);
        EXPECT_EQ(container.url(), fallback) << group;
    }
    SharedContainer container("group.unknown", root);
    container.write(sampleConfig());
    EXPECT_EQ(container.readConfig(), sampleConfig());
    EXPECT_EQ(testing::modeOf(fallback), 0700u);
    EXPECT_EQ(testing::modeOf(fallback / "vless-config.json"), 0600u);
    EXPECT_TRUE(fs::is_empty(root / "group.dev.tarn"));
}

TEST_F(SharedContainerTest, AFallbackPathOthersCouldControlIsNeverUsed) {
    SharedContainer container("group.unknown", root);
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    testing::ScratchDirectory elsewhere;
    const Case cases[] = {
        {"world-writable directory", [&] { fs::create_directory(fallback); fs::permissions(fallback, fs::perms::all); }},
        {"group-readable directory", [&] { fs::create_directory(fallback); fs::permissions(fallback, fs::perms::owner_all | fs::perms::group_read); }},
        {"symbolic link to a directory", [&] { fs::create_directory_symlink(elsewhere.path(), fallback); }},
        {"regular file", [&] { std::ofstream(fallback) << "x"; }},
    };
    for (const auto& c : cases) {
        c.plant();
        EXPECT_THROW(container.write(sampleConfig()), fs::filesystem_error) << c.name;
        EXPECT_THROW(container.readConfig(), fs::filesystem_error) << c.name;
        container.clearVPNConfig();
        EXPECT_TRUE(fs::is_empty(elsewhere.path())) << c.name;
        fs::remove_all(fallback);
    }
}

TEST_F(SharedContainerTest, ASymbolicLinkPlantedAsTheTargetIsReplacedNotFollowed) {
    SharedContainer container("group.dev.tarn", root);
    const fs::path victim = shared.path() / "victim";
    std::ofstream(victim) << "precious";
    fs::create_symlink(victim, container.xrayConfigURL());
    container.write(sampleConfig());
    EXPECT_EQ(readText(victim), "precious");
    EXPECT_FALSE(fs::is_symlink(container.xrayConfigURL()));
}

TEST_F(SharedContainerTest, TheReaderCanTellWhetherTheXrayFileBelongsToTheRecord) {
    SharedContainer container("group.dev.tarn", root);
    const VLESSConfig a = testing::alternatingConfig('A');
    const VLESSConfig b = testing::alternatingConfig('B');
    container.write(a);
    EXPECT_EQ(container.readMatchingConfig(), a);
    // What a writer killed between its two steps leaves: the new Xray file beside the old record.
    std::ofstream(container.xrayConfigURL(), std::ios::binary | std::ios::trunc) << b.xrayJSON;
    EXPECT_EQ(container.readMatchingConfig(), std::nullopt);
    EXPECT_EQ(container.readConfig(), a) << "the record alone still reads";
    fs::remove(container.xrayConfigURL());
    EXPECT_EQ(container.readMatchingConfig(), std::nullopt);
    container.write(b);
    EXPECT_EQ(container.readMatchingConfig(), b);
    container.clearVPNConfig();
    EXPECT_THROW(container.readMatchingConfig(), fs::filesystem_error);
}

TEST_F(SharedContainerTest, AGroupDirectoryOthersCouldWriteToIsRefused) {
    SharedContainer container("group.dev.tarn", root);
    const fs::path group = root / "group.dev.tarn";
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    const Case cases[] = {
        {"world-writable", [&] { fs::permissions(group, fs::perms::all); }},
        {"owned by another user", [&] { if (::chown(group.c_str(), 65534, 65534) != 0) throw std::runtime_error("chown"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "owned by another user" && ::geteuid() != 0) continue;  // needs root
        c.plant();
        EXPECT_THROW(container.write(sampleConfig()), fs::filesystem_error);
        EXPECT_THROW(container.readConfig(), fs::filesystem_error);
        EXPECT_TRUE(fs::is_empty(group));
        fs::remove_all(group);
        fs::create_directory(group);
    }
    fs::permissions(group, fs::perms::owner_all | fs::perms::group_all);  // a group shared with the tunnel
    container.write(sampleConfig());
    EXPECT_EQ(container.readConfig(), sampleConfig());
}

#ifdef TARN_STORAGE_PROC
// A writer killed at arbitrary points leaves each file whole: the old or the new profile, and the
// next writer sweeps away the temporary files of the dead ones, never one still being written.
TEST_F(SharedContainerTest, AWriterKilledMidWriteLeavesEachFileOldOrNewAndValid) {
    SharedContainer container("group.dev.tarn", root);
    const VLESSConfig a = testing::alternatingConfig('A');
    const VLESSConfig b = testing::alternatingConfig('B');
    std::mt19937 random(12345);
    for (int round = 0; round < 15; ++round) {
        testing::ChildProcess writer({TARN_STORAGE_PROC, "write-loop", root.string(), "group.dev.tarn"});
        ASSERT_EQ(writer.readLine(), "ready");
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        writer.kill(SIGKILL);
        writer.wait();

        const VLESSConfig record = container.readConfig();  // throws on a torn or invalid file
        EXPECT_TRUE(record == a || record == b) << "round " << round;
        const std::string xray = readText(container.xrayConfigURL());
        EXPECT_TRUE(xray == a.xrayJSON || xray == b.xrayJSON) << "round " << round << ", " << xray.size() << " bytes";
    }
    const fs::path live = container.url() / ".tmp-still-being-written";
    std::ofstream(live) << "partial";
    testing::ageTemporaryFiles(container.url());
    int fd = ::open(live.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    container.write(a);
    EXPECT_EQ(testing::temporaryFilesIn(container.url()), std::vector<std::string>{live.filename().string()});
    ::close(fd);
}
#endif

}  // namespace
}  // namespace tarn
