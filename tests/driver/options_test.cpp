// The self-extractor's command line: Windows splitting and the options.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/options.h"

namespace {

std::vector<std::string> split(const std::string& line, bool program_first = false) {
    std::vector<char> storage(line.size() + 1);
    const char* words[8];
    const uint32_t count =
        zq::split_command_line(line.c_str(), program_first, storage.data(), words, 8);
    return std::vector<std::string>(words, words + count);
}

using Words = std::vector<std::string>;

TEST(CommandLine, SplitsTheWindowsWay) {
    EXPECT_EQ(split("  a\tb  "), (Words{"a", "b"}));
    EXPECT_EQ(split("\"two words\" x\"y z\"w"), (Words{"two words", "xy zw"}));
    EXPECT_EQ(split(R"(a\\b \\"c d" \"e \\\"f)"), (Words{R"(a\\b)", R"(\c d)", "\"e", R"(\"f)"}));
    EXPECT_EQ(split(R"("" "say ""hi""" end)"), (Words{"", "say \"hi\"", "end"}));
    // The program's word keeps its backslashes and quotes nothing else.
    EXPECT_EQ(split(R"("C:\Program Files\setup.exe" -d "C:\out dir\\")", true),
              (Words{"", "-d", R"(C:\out dir\)"}));
    EXPECT_EQ(split(R"(C:\setup.exe)", true), (Words{""}));
    // No more words than room: the rest are dropped.
    EXPECT_EQ(split("1 2 3 4 5 6 7 8 9 10").size(), 8u);
}

// The options keep pointers into the words, so the line outlives each parse.
std::vector<const char*> line;

int parse(const std::vector<const char*>& words, zq::StubOptions* options) {
    *options = zq::StubOptions{};
    line = words;
    line.insert(line.begin(), "setup");
    return zq::parse_stub_options(uint32_t(line.size()), line.data(), options);
}

TEST(StubOptions, ReadsEachOptionAndTheWordsAfterTheMark) {
    zq::StubOptions options;
    ASSERT_EQ(parse({}, &options), 0);
    EXPECT_EQ(options.extract.mode, zq::kModeExtract);
    EXPECT_TRUE(options.extract.run_marked);
    EXPECT_EQ(options.extract.target, nullptr);

    ASSERT_EQ(parse({"--target", "out", "-n", "-q", "--noexec", "-t", "--", "-l", "x"}, &options),
              0);
    EXPECT_STREQ(options.extract.target, "out");
    EXPECT_TRUE(options.extract.never_overwrite && options.extract.quiet);
    EXPECT_FALSE(options.extract.run_marked);
    EXPECT_EQ(options.extract.mode, zq::kModeTest);
    ASSERT_EQ(options.extract.run_arg_count, 2u);
    EXPECT_STREQ(options.extract.run_args[0], "-l");

    ASSERT_EQ(parse({"-l", "-y", "--help", "--version"}, &options), 0);
    EXPECT_EQ(options.extract.mode, zq::kModeList);
    EXPECT_TRUE(options.extract.overwrite_all && options.help && options.version);

    // Each refused line names the word it stopped at (the last one given).
    for (std::vector<const char*> bad : {std::vector<const char*>{"-x"},
                                         {"-d"},
                                         {"-n", "-d", ""},
                                         {"-y", "-n"},
                                         {"-t", "--list"},
                                         {"-q", "file.txt"}}) {
        EXPECT_EQ(parse(bad, &options), zq::kExitUsage) << bad[0];
        EXPECT_STREQ(options.refused, bad.back()[0] ? bad.back() : "-d") << bad[0];
    }
}

// As getopt-style tools take them: letters grouped, a value glued to -d or
// after it, --target=DIR; each refusal says which of the three problems it is.
TEST(StubOptions, TakesGroupedLettersGluedValuesAndLongValues) {
    zq::StubOptions options;
    ASSERT_EQ(parse({"-qyt", "--nocheck"}, &options), 0);
    EXPECT_TRUE(options.extract.quiet && options.extract.overwrite_all &&
                options.extract.no_check_first);
    EXPECT_EQ(options.extract.mode, zq::kModeTest);
    for (std::vector<const char*> words :
         {std::vector<const char*>{"-dout"}, {"-qd", "out"}, {"--target=out"}, {"-nqdout", "-l"}}) {
        ASSERT_EQ(parse(words, &options), 0) << words[0];
        EXPECT_STREQ(options.extract.target, "out") << words[0];
    }
    EXPECT_TRUE(options.extract.never_overwrite && options.extract.mode == zq::kModeList);
    // The same mode twice is no conflict.
    EXPECT_EQ(parse({"-l", "--list"}, &options), 0);

    struct Refusal {
        std::vector<const char*> words;
        int problem;
        const char* refused;
    };
    for (const Refusal& bad :
         std::vector<Refusal>{{{"-qx"}, zq::kOptionUnknown, "-x"},
                              {{"--list=yes"}, zq::kOptionUnknown, "--list=yes"},
                              {{"--targets=a"}, zq::kOptionUnknown, "--targets=a"},
                              {{"-"}, zq::kOptionUnknown, "-"},
                              {{"/?"}, zq::kOptionUnknown, "/?"},  // help on Windows only
                              {{"-qd"}, zq::kOptionMissingValue, "-d"},
                              {{"--target="}, zq::kOptionMissingValue, "--target="},
                              {{"--target"}, zq::kOptionMissingValue, "--target"},
                              {{"-yn"}, zq::kOptionConflict, "-n"},
                              {{"-lt"}, zq::kOptionConflict, "-t"},
                              {{"-dA", "--target=B"}, zq::kOptionConflict, "--target=B"}}) {
        EXPECT_EQ(parse(bad.words, &options), zq::kExitUsage) << bad.words[0];
        EXPECT_EQ(options.problem, bad.problem) << bad.words[0];
        EXPECT_STREQ(options.refused, bad.refused) << bad.words[0];
    }
}

}  // namespace
