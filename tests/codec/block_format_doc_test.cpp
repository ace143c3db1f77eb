// The worked example in docs/BLOCK_FORMAT.md is read out of the document
// itself, so the document cannot drift from the codec unnoticed.
#include <fstream>
#include <sstream>

#include "codec_test_support.h"

namespace zq::test {
namespace {

// The rest of the first line of `doc` that starts with `label`, or "".
std::string line_after(const std::string& doc, const std::string& label) {
    std::istringstream lines(doc);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(label, 0) == 0) return line.substr(label.size());
    }
    return {};
}

Bytes parse_hex(const std::string& text) {
    std::istringstream in(text);
    Bytes out;
    for (std::string word; in >> word;)
        out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

TEST(BlockFormatDoc, WorkedExampleDecodesAndEncodesAsWritten) {
    std::ifstream file(ZQ_BLOCK_FORMAT_DOC);
    ASSERT_TRUE(file) << "cannot open " << ZQ_BLOCK_FORMAT_DOC;
    std::stringstream doc;
    doc << file.rdbuf();
    const std::string plain_text = line_after(doc.str(), "plain: ");
    const Bytes frame = parse_hex(line_after(doc.str(), "frame: "));
    ASSERT_FALSE(plain_text.empty());
    ASSERT_GE(frame.size(), 3u);
    const Bytes plain(plain_text.begin(), plain_text.end());

    OwnedCodec codec;
    const Decoded decoded = decode_frame(codec.state(), frame);
    ASSERT_EQ(decoded.status, kCodecOk);
    EXPECT_EQ(decoded.plain, plain);
    EXPECT_EQ(encode_frame(codec.state(), plain), frame);
}

}  // namespace
}  // namespace zq::test
