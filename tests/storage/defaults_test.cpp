#include "tarn/storage/defaults.hpp"
#include "tarn/storage/device_identity.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

namespace tarn {
namespace {

namespace fs = std::filesystem;

using testing::readText;
using testing::writeText;

class JSONFileDefaultsTest : public ::testing::Test {
protected:
    testing::ScratchDirectory scratch;
    fs::path file = scratch / "config" / "defaults.json";
    JSONFileDefaults defaults{file};
};

TEST_F(JSONFileDefaultsTest, StoresReadsAndRemovesStrings) {
    EXPECT_EQ(defaults.stringForKey("k"), std::nullopt);
    defaults.setString("k", "value with \"quotes\", \\ and\nnewline");
    defaults.setString("other", "ü");
    EXPECT_EQ(defaults.stringForKey("k"), "value with \"quotes\", \\ and\nnewline");
    EXPECT_EQ(JSONFileDefaults(file).stringForKey("other"), "ü") << "a second store on the file sees it";
    defaults.removeObject("k");
    EXPECT_EQ(defaults.stringForKey("k"), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("other"), "ü");
    EXPECT_EQ(testing::modeOf(file), 0600u);
    EXPECT_EQ(testing::modeOf(file.parent_path()), 0700u);

    // An update sees the current value and may leave it.
    auto kept = defaults.updateString("other", [](const std::optional<std::string>& current) {
        EXPECT_EQ(current, "ü");
        return std::optional<std::string>();
    });
    EXPECT_EQ(kept, "ü");
    EXPECT_EQ(defaults.updateString("other", [](const auto&) { return std::optional<std::string>("second"); }), "second");
    EXPECT_EQ(defaults.stringForKey("other"), "second");
}

TEST_F(JSONFileDefaultsTest, MembersWrittenByOthersSurviveAsTheyWere) {
    fs::create_directories(file.parent_path());
    writeText(file, R"({"number": 1.50, "big": 123456789012345678901234567890, "nested": {"a": [1, true, null]},)"
                    R"( "text": "t", "k": "old", "k": "duplicate"})");
    defaults.setString("k", "new");
    defaults.setString("added", "x");
    EXPECT_EQ(defaults.stringForKey("k"), "new");
    EXPECT_EQ(defaults.stringForKey("number"), std::nullopt) << "not a string";
    const std::string text = readText(file);
    EXPECT_NE(text.find(R"("number": 1.50)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("big": 123456789012345678901234567890)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("nested": {"a": [1, true, null]})"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("text": "t")"), std::string::npos) << text;
}

std::vector<std::string> damagedCopies(const fs::path& file) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind(file.filename().string() + ".corrupt.", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Each damage that was seen in the field: what a reader still finds, and that the first write
// keeps the damaged file and carries the readable members (the device identifier above all) on.
TEST_F(JSONFileDefaultsTest, DamagedFilesKeepTheirReadableMembersAndAreKeptAside) {
    const std::string id = "dev.tarn.vpn.device.id.v1";
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::string> deviceID;  // what survives
        bool damaged;
    };
    const Case cases[] = {
        {"cut short", R"({"dev.tarn.vpn.device.id.v1": "id-1", "other": "o", "late": "cut)", "id-1", true},
        {"empty", "", std::nullopt, true},
        {"an array", "[]", std::nullopt, true},
        {"invalid UTF-8 before it", "{\"a\": \"\xff\", \"dev.tarn.vpn.device.id.v1\": \"id-1\"}", "id-1", true},
        {"a broken member before it", R"({"a": [1,], "dev.tarn.vpn.device.id.v1": "id-1"})", "id-1", true},
        {"text after the object", R"({"dev.tarn.vpn.device.id.v1": "id-1"} x)", "id-1", true},
        {"junk after a nested member", R"({"n": {"a": "1", "b": "2"} junk, "dev.tarn.vpn.device.id.v1": "id-1"})", "id-1", true},
        {"a lone surrogate is no damage", R"({"x": "\ud800", "dev.tarn.vpn.device.id.v1": "id-1"})", "id-1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        writeText(file, c.text);
        EXPECT_EQ(defaults.stringForKey(id), c.deviceID);
        EXPECT_EQ(defaults.stringForKey("b"), std::nullopt) << "a nested member never comes up to the top";
        const std::string got = DeviceIdentity(std::make_shared<JSONFileDefaults>(file), nullptr).deviceID();
        EXPECT_EQ(got, c.deviceID.value_or(got));
        EXPECT_EQ(got.size(), c.deviceID ? c.deviceID->size() : 36u) << "a new one only when there was none";
        defaults.setString("k", "v");
        EXPECT_EQ(defaults.stringForKey("k"), "v");
        EXPECT_EQ(defaults.stringForKey(id), got);
        if (c.damaged) {
            ASSERT_EQ(damagedCopies(file), std::vector<std::string>{"defaults.json.corrupt.1"});
            EXPECT_EQ(readText(file.parent_path() / "defaults.json.corrupt.1"), c.text);
        } else {
            EXPECT_TRUE(damagedCopies(file).empty());
            EXPECT_NE(readText(file).find(R"("x": "\ud800")"), std::string::npos) << "kept byte for byte";
        }
    }
}

TEST_F(JSONFileDefaultsTest, DamagedCopiesAreNeverOverwrittenKeepTheFirstAndStayBounded) {
    fs::create_directories(file.parent_path());
    fs::create_directory(file);  // a directory in the file's place is damage too
    fs::create_directory(file / "inside");
    EXPECT_EQ(defaults.stringForKey("k"), std::nullopt);
    defaults.setString("k", "first");
    EXPECT_TRUE(fs::is_directory(file.parent_path() / "defaults.json.corrupt.1" / "inside"));
    for (int i = 2; i <= 12; ++i) {
        writeText(file, "broken " + std::to_string(i));
        defaults.setString("k", "v");
    }
    const auto copies = damagedCopies(file);
    EXPECT_EQ(copies.size(), 8u);
    EXPECT_EQ(copies.front(), "defaults.json.corrupt.1") << "the first copy holds what was there before";
    EXPECT_EQ(readText(file.parent_path() / "defaults.json.corrupt.12"), "broken 12");
    EXPECT_EQ(readText(file.parent_path() / "defaults.json.corrupt.11"), "broken 11");
}

TEST_F(JSONFileDefaultsTest, PlacesOthersCouldControlAreRefusedForReadingAndWriting) {
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    const fs::path victim = scratch / "victim.json";
    const Case cases[] = {
        {"symbolic link as the file",
         [&] { writeText(victim, R"({"k": "planted"})"); fs::create_symlink(victim, file); }},
        {"world-writable directory",
         [&] { writeText(file, R"({"k": "planted"})"); fs::permissions(file.parent_path(), fs::perms::all); }},
        {"group-writable directory",
         [&] { writeText(file, R"({"k": "planted"})"); fs::permissions(file.parent_path(), fs::perms::owner_all | fs::perms::group_write); }},
        {"directory of another user",
         [&] { writeText(file, R"({"k": "planted"})"); if (::chown(file.parent_path().c_str(), 65534, 65534) != 0) throw std::runtime_error("chown"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "directory of another user" && ::geteuid() != 0) continue;  // needs root
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        fs::permissions(file.parent_path(), fs::perms::owner_all);
        c.plant();
        EXPECT_THROW(defaults.stringForKey("k"), fs::filesystem_error);
        EXPECT_THROW(defaults.setString("k", "mine"), fs::filesystem_error);
        EXPECT_EQ(readText(fs::exists(victim) ? victim : file), R"({"k": "planted"})");
        fs::remove(victim);
    }
}

TEST_F(JSONFileDefaultsTest, WritersOnSeparateStoresKeepEachOthersKeys) {
    constexpr int writers = 6, keysEach = 15;
    // Appended rather than joined with operator+, which trips GCC 12's -Wrestrict at -O3.
    auto key = [](int w, int k) {
        std::string s = "w";
        s += std::to_string(w);
        s += 'k';
        s += std::to_string(k);
        return s;
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            JSONFileDefaults own(file);  // its own lock, as another process would have
            for (int k = 0; k < keysEach; ++k) own.setString(key(w, k), "v");
        });
    }
    for (auto& t : threads) t.join();
    for (int w = 0; w < writers; ++w) {
        for (int k = 0; k < keysEach; ++k) {
            EXPECT_EQ(defaults.stringForKey(key(w, k)), "v");
        }
    }
}

#ifdef TARN_STORAGE_PROC
TEST_F(JSONFileDefaultsTest, AWriterWaitsForTheLockBoundedlyAndNamesItsHolder) {
    defaults.setString("k", "before");
    testing::ChildProcess holder({TARN_STORAGE_PROC, "hold-defaults-lock", file.string()});
    ASSERT_EQ(holder.readLine(), "locked");
    JSONFileDefaults impatient(file, std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    try {
        impatient.setString("k", "after");
        FAIL() << "the write must give up";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::resource_unavailable_try_again);
        EXPECT_NE(std::string(error.what()).find("process " + std::to_string(holder.pid())), std::string::npos)
            << error.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(impatient.stringForKey("k"), "before") << "readers never wait";
    holder.closeInput();
    EXPECT_EQ(holder.wait(), 0);
    impatient.setString("k", "after");
    EXPECT_EQ(defaults.stringForKey("k"), "after");
}

// A writer killed at arbitrary points leaves a whole file, and the next writer sweeps away the
// temporary file it left.
TEST_F(JSONFileDefaultsTest, AWriterKilledMidWriteLeavesAWholeFileAndNoTemporaryFiles) {
    fs::create_directories(file.parent_path());
    defaults.setString("keep", "kept");
    std::mt19937 random(54321);
    for (int round = 0; round < 12; ++round) {
        testing::ChildProcess writer({TARN_STORAGE_PROC, "defaults-loop", file.string()});
        ASSERT_EQ(writer.readLine(), "ready");
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        writer.kill(SIGKILL);
        writer.wait();
        auto value = defaults.stringForKey("k");
        ASSERT_TRUE(value) << "round " << round;
        EXPECT_TRUE(*value == std::string(256 * 1024, 'a') || *value == std::string(256 * 1024, 'b'));
        EXPECT_EQ(defaults.stringForKey("keep"), "kept");
    }
    testing::ageTemporaryFiles(file.parent_path());
    defaults.setString("k", "last");
    EXPECT_TRUE(testing::temporaryFilesIn(file.parent_path()).empty());
    EXPECT_TRUE(damagedCopies(file).empty());
}
#endif

}  // namespace
}  // namespace tarn
