// The strict JSON reader the archive builders check listings with, and the
// listing of names that are not UTF-8.
#include <gtest/gtest.h>

#include "json_check.h"
#include "pack/inspect.h"
#include "support.h"

namespace zq::test {
namespace {

TEST(StrictJson, TakesWhatTheGrammarAllows) {
    for (const char* text :
         {"{}", " [ ] ", "0", "-0.5e+10", "1E3", "\"\"", "true", "null",
          "{\"a\": [1, {\"b\": false}], \"c\": \"\\u00e9\\ud83d\\ude00\\\\\\/\\n\"}",
          "\"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf\"", "\"\x7f\""}) {
        EXPECT_EQ(json_problem(text), "") << text;
    }
}

TEST(StrictJson, RefusesWhatALenientReaderLetsThrough) {
    const std::string deep(300, '[');
    for (const std::string& text :
         std::vector<std::string>{"",
                                  "{} {}",
                                  "[1,]",
                                  "{\"a\": 1,}",
                                  "{\"a\": 1, \"a\": 2}",
                                  "{a: 1}",
                                  "01",
                                  "1.",
                                  ".5",
                                  "-",
                                  "+1",
                                  "1e",
                                  "NaN",
                                  "tru",
                                  "'x'",
                                  "\"tab\there\"",
                                  "\"\\x41\"",
                                  "\"\\ud800\"",
                                  "\"\\udc00\"",
                                  "\"\\ud800\\u0041\"",
                                  "\"\\u12G4\"",
                                  "\"open",
                                  std::string("\"\0\"", 3),
                                  deep,
                                  "\"\xe9\"",              // a code-page-1252 byte
                                  "\"\xc0\xaf\"",          // overlong '/'
                                  "\"\xe0\x80\xaf\"",      // overlong, three bytes
                                  "\"\xed\xa0\x80\"",      // a surrogate encoded
                                  "\"\xf4\x90\x80\x80\"",  // past U+10FFFF
                                  "\"\x80\"",
                                  "\"\xe6\x97\"",       // a stray continuation, a cut sequence
                                  "\xef\xbb\xbf{}"}) {  // a byte-order mark
        EXPECT_NE(json_problem(text), "") << text;
    }
}

// Names stored as bytes that are not UTF-8, with no code page recorded: a
// code-page-1252 name and bytes that are nothing at all. The listing shows
// them with replacements and gives their bytes; write_sfx checks it too.
TEST(ListingJson, NamesThatAreNotUtf8StayValidJson) {
    ScratchDir dir;
    OwnedCodec codec;
    ArchiveImage image;
    image.pools = {bytes_of(std::string("caf\xe9.txt\0\x81\xff\"x\0", 14))};
    FileEntry entry;
    entry.name = make_name_ref(0, 0);
    add_file_data(image, codec.state(), entry, bytes_of("coffee"), true);
    entry.name = make_name_ref(0, 9);
    add_file_data(image, codec.state(), entry, bytes_of("odd"), false);
    write_sfx(dir / "sfx", archive_bytes(codec.state(), image));

    pack::OpenedArchive archive((dir / "sfx").string(), std::string());
    const std::string listing = pack::json_listing(archive);
    EXPECT_EQ(json_problem(listing), "") << listing;
    EXPECT_NE(listing.find("\"name_bytes\": \"636166e92e747874\""), std::string::npos) << listing;
    EXPECT_NE(listing.find("\"name_bytes\": \"81ff2278\""), std::string::npos) << listing;
}

}  // namespace
}  // namespace zq::test
