// The pieces of the record extension that both the stubs and the tools use.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "archive/links.h"
#include "writer/writer.h"

namespace {

const uint8_t* bytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(LinkTargets, OnlyThoseThatStayInsideTheRunFolder) {
    struct Case {
        const char* target;
        uint32_t depth;
        bool safe;
    };
    const Case cases[] = {
        {"file", 0, true},     {"sub/dir/", 0, true},     {"./x", 0, true},
        {"..", 1, true},       {"../../x", 2, true},      {"../x", 0, false},
        {"../../x", 1, false}, {"/etc/passwd", 5, false}, {"a/../b", 3, false},
        {"l/..", 3, false},    {"a\\b", 0, false},        {"", 0, false},
        {"a\nb", 0, false},    {"./../x", 1, true},
    };
    for (const Case& c : cases) {
        const std::string target = c.target;
        EXPECT_EQ(zq::link_target_is_safe(bytes(target), uint32_t(target.size()), c.depth), c.safe)
            << target << " at depth " << c.depth;
    }
    const std::string with_nul("a\0b", 3);
    EXPECT_FALSE(zq::link_target_is_safe(bytes(with_nul), 3, 0));
    EXPECT_FALSE(zq::link_target_is_safe(bytes(std::string(512, 'a')), 512, 0));
}

}  // namespace
