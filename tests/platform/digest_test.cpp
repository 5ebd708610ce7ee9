// The stable digest: its values name files and tag answers that outlive a process, so they are
// pinned to the published FNV-1a test vectors.
#include "tarn/platform/digest.hpp"

#include <gtest/gtest.h>

namespace tarn::digest {
namespace {

TEST(Digest, MatchesTheFNV1aVectorsAndChains) {
    const struct {
        std::string_view text;
        const char* hex;
    } cases[] = {{"", "cbf29ce484222325"}, {"a", "af63dc4c8601ec8c"}, {"foobar", "85944171f73967e8"}};
    for (const auto& c : cases) EXPECT_EQ(hexValue(fnv1a(c.text)), c.hex) << c.text;
    EXPECT_EQ(fnv1a("bar", fnv1a("foo")), fnv1a("foobar"));
    EXPECT_EQ(hexBytes(std::string_view("\x00\x7f\xff", 3)), "007fff");
}

}  // namespace
}  // namespace tarn::digest
