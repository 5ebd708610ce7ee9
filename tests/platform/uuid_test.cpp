#include "tarn/platform/uuid.hpp"

#include <gtest/gtest.h>

#include <set>

namespace tarn {
namespace {

constexpr UUID::Bytes sampleBytes{0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x5A,
                                  0x93, 0xFC, 0x0C, 0x24, 0x7A, 0x3E, 0x6E, 0x5F};

TEST(UUIDParse, AcceptsTheHyphenatedFormInEitherCase) {
    const char* cases[] = {
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
        "e621e1f8-c36c-495a-93fc-0c247a3e6e5f",
        "e621E1f8-C36c-495A-93fC-0c247A3e6E5f",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        const auto uuid = UUID::parse(text);
        ASSERT_TRUE(uuid.has_value());
        EXPECT_EQ(uuid->bytes(), sampleBytes);
        EXPECT_EQ(uuid->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
        EXPECT_EQ(uuid->lowercaseString(), "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    }
    EXPECT_EQ(UUID().uuidString(), "00000000-0000-0000-0000-000000000000");
}

TEST(UUIDParse, RejectsAnyOtherShape) {
    const char* cases[] = {
        "",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5",      // 35
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",    // 37
        "E621E1F8C36C495A93FC0C247A3E6E5F",         // no hyphens
        "E621E1F8-C36C-495A-93FC0-C247A3E6E5F",     // hyphen moved
        "E621E1F8-C36C-495A-93FC_0C247A3E6E5F",
        "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",     // not hex
        "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
        " E621E1F8-C36C-495A-93FC-0C247A3E6E5",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5 ",
        "+621E1F8-C36C-495A-93FC-0C247A3E6E5F",
        "E621E1F8-+36C-495A-93FC-0C247A3E6E5F",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(UUID::parse(text), std::nullopt);
    }
    EXPECT_EQ(UUID::parse(std::string_view("E621E1F8-C36C-495A-93FC-0C247A3E6E5\0", 36)), std::nullopt);
}

TEST(UUIDRandom, IsVersion4WithTheRFCVariantAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const UUID uuid = UUID::random();
        EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes()[8] >> 6, 0b10);
        const std::string text = uuid.uuidString();
        EXPECT_EQ(text[14], '4');
        EXPECT_EQ(UUID::parse(text), uuid);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
}  // namespace tarn
