// The console routines through pipes: exact bytes out, one answer per line,
// and what happens when the input runs dry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/console.h"
#include "std_redirect.h"

using namespace zq;
using zq::test::StdinFrom;
using zq::test::StdoutCapture;

// Linux conventions: a line ends with LF alone, the unechoed Enter of a
// password too; only the progress bar's repaint is a bare CR.
TEST(ConsoleWrite, TextThenTheLineEnding) {
    StdoutCapture out;
    console_write("", kEndLine);
    console_write("", kEndNone);
    console_write("ab", kEndLine);
    console_write("cd", kEndCr);
    console_write("ef", kEndAnswer);
    console_write("gh", 7);  // unknown modes append nothing
    EXPECT_EQ(out.text(), "\nab\ncd\ref\ngh");
}

TEST(ConsoleWrite, PathsShowSlashes) {
    StdoutCapture out;
    console_write_path("docs\\sub\\f.txt", kEndLine);
    // Longer than the translation buffer: shown whole, in pieces.
    const std::string deep = std::string(600, 'x') + "\\" + std::string(600, 'y');
    console_write_path(deep.c_str(), kEndNone);
    EXPECT_EQ(out.text(), "docs/sub/f.txt\n" + std::string(600, 'x') + "/" + std::string(600, 'y'));
}

TEST(ReadKey, FirstByteOfOneRead) {
    {
        StdinFrom in("yes\r\n");
        EXPECT_EQ(read_key(), 'y');
    }
    {
        StdinFrom in("\r\n");
        EXPECT_EQ(read_key(), '\r');
    }
    {
        // From a pipe one line is one answer: the next line is the next one's.
        StdinFrom in("no\nyes\n");
        EXPECT_EQ(read_key(), 'n');
        EXPECT_EQ(read_key(), 'y');
        EXPECT_EQ(read_key(), -1);
    }
    {
        StdinFrom in("\xE9t\xE9\n");
        EXPECT_EQ(read_key(), 0xE9);  // a byte, not a negative char
    }
    StdinFrom empty("");
    EXPECT_EQ(read_key(), -1);
    EXPECT_EQ(read_key(), -1);
}

namespace {
std::string password_from(const std::string& input, int* result) {
    StdinFrom in(input);
    char buffer[kPasswordBufferSize] = {};
    *result = read_password(buffer);
    return buffer;
}
}  // namespace

TEST(ReadPassword, LosesOnlyItsLineEnding) {
    int result = -2;
    EXPECT_EQ(password_from("Secret\r\n", &result), "Secret");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(password_from("Secret\n", &result), "Secret");
    EXPECT_EQ(password_from("Secret\r", &result), "Secret");
    EXPECT_EQ(password_from("Secret", &result), "Secret");
    EXPECT_EQ(password_from(" a b \n", &result), " a b ");
    EXPECT_EQ(password_from("x\n\n", &result), "x");
    EXPECT_EQ(password_from("\n", &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(password_from("", &result), "");
    EXPECT_EQ(result, -1);
}

TEST(ReadPassword, NeverWritesPastItsBuffer) {
    StdinFrom in(std::string(300, 'p') + "\n");
    char area[kPasswordBufferSize + 64];
    std::memset(area, '*', sizeof area);
    ASSERT_EQ(read_password(area), 0);
    EXPECT_EQ(std::strlen(area), kPasswordBufferSize - 1);
    for (size_t i = kPasswordBufferSize; i < sizeof area; ++i) ASSERT_EQ(area[i], '*') << i;
    // The rest of the line is passed over, not taken for a second attempt.
    char next[kPasswordBufferSize];
    EXPECT_EQ(read_password(next), -1);
}
