#include "tarn/storage/defaults.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace tarn {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
void writeText(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

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

TEST_F(JSONFileDefaultsTest, AnUnreadableFileReadsAsEmptyAndIsMovedAsideOnWrite) {
    fs::create_directories(file.parent_path());
    for (const std::string broken : {"{not json", "[1, 2]", "\"text\"", R"({"a": 01})", R"({"a": "\ud800"})",
                                     "{\"a\": \"\xff\"}", R"({"a": 1} x)", R"({"a": [1,]})"}) {
        writeText(file, broken);
        EXPECT_EQ(defaults.stringForKey("k"), std::nullopt);
        defaults.setString("k", "v");
        EXPECT_EQ(defaults.stringForKey("k"), "v");
        EXPECT_EQ(readText(fs::path(file) += ".corrupt"), broken);
    }
}

TEST_F(JSONFileDefaultsTest, UpdateSeesTheCurrentValueAndMayLeaveIt) {
    defaults.setString("k", "first");
    auto kept = defaults.updateString("k", [](const std::optional<std::string>& current) {
        EXPECT_EQ(current, "first");
        return std::optional<std::string>();
    });
    EXPECT_EQ(kept, "first");
    auto replaced = defaults.updateString("k", [](const auto&) { return std::optional<std::string>("second"); });
    EXPECT_EQ(replaced, "second");
    EXPECT_EQ(defaults.stringForKey("k"), "second");
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

}  // namespace
}  // namespace tarn
