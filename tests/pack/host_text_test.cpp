// The host's text conversions, which zqpack stores names for Windows with
// and reads them back by.
#include <gtest/gtest.h>

#include <vector>

#include "platform/host_text.h"

namespace zq {
namespace {

std::string converted(const TextConversion& conversion, const std::string& text) {
    std::string out = "unchanged";
    EXPECT_TRUE(conversion.convert(text, &out)) << text;
    return out;
}

TEST(HostText, CodePagesConvertBothWaysAndRefuseWhatTheyCannotHold) {
    const TextConversion to_western(code_page_charset(1252), "UTF-8");
    const TextConversion from_western("UTF-8", code_page_charset(1252));
    const TextConversion to_japanese(code_page_charset(932), "UTF-8");
    ASSERT_TRUE(to_western.ready() && from_western.ready() && to_japanese.ready());
    EXPECT_EQ(converted(to_western, "caf\xc3\xa9 \xe2\x82\xac"), "caf\xe9 \x80");
    EXPECT_EQ(converted(from_western, "caf\xe9 \x80"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(converted(to_japanese, "\xe3\x82\xbd.txt"), "\x83\x5c.txt");  // katakana so
    EXPECT_EQ(converted(to_western, ""), "");
    // A character the page lacks, and bytes that are not UTF-8, leave the
    // output alone.
    std::string out = "unchanged";
    EXPECT_FALSE(to_western.convert("\xe6\x97\xa5", &out));
    EXPECT_FALSE(to_western.convert("\xff", &out));
    EXPECT_EQ(out, "unchanged");
    const TextConversion unknown("no-such-character-set", "UTF-8");
    EXPECT_FALSE(unknown.ready());
    EXPECT_FALSE(unknown.convert("a", &out));
}

TEST(HostText, LeadBytesAreThoseOfTheTwoByteCodePages) {
    std::vector<uint8_t> japanese;
    for (uint32_t byte = 0x81; byte <= 0xFC; ++byte) {
        if (byte <= 0x9F || byte >= 0xE0) japanese.push_back(uint8_t(byte));
    }
    EXPECT_EQ(code_page_lead_bytes(932), japanese);
    EXPECT_TRUE(code_page_lead_bytes(1252).empty());
    EXPECT_TRUE(code_page_lead_bytes(99999).empty());  // no such page
}

TEST(HostText, NamesThatDifferOnlyInLetterCaseShareAKey) {
    EXPECT_EQ(upper_case_key("Readme.txt"), upper_case_key("README.TXT"));
    EXPECT_EQ(upper_case_key("\xc3\xa9t\xc3\xa9"), upper_case_key("\xc3\x89T\xc3\x89"));  // été
    EXPECT_EQ(upper_case_key("\xd0\xb4"), upper_case_key("\xd0\x94"));  // Cyrillic de
    EXPECT_NE(upper_case_key("a.txt"), upper_case_key("b.txt"));
    EXPECT_NE(upper_case_key("e"), upper_case_key("\xc3\xa9"));
    EXPECT_EQ(upper_case_key("\xe6\x97\xa5").size(), 1u);  // one code point, one character
}

}  // namespace
}  // namespace zq
