// The worked example of docs/FORMAT.md is made by the command the document
// names, on the tree it describes, and must come out byte for byte as its
// dump and its decoded file records show.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "archive_test_support.h"
#include "child.h"

namespace zq::test {
namespace {

// The text of the section that starts with `heading`, up to the next heading.
std::string section(const std::string& doc, const std::string& heading) {
    const size_t start = doc.find("\n" + heading + "\n");
    if (start == std::string::npos) return {};
    const size_t end = doc.find("\n#", start + heading.size() + 2);
    return doc.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string first_match(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : std::string();
}

Bytes hex_bytes(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The bytes of an `xxd` dump: each line's offset must follow on from the
// lines before it.
Bytes xxd_bytes(const std::string& text) {
    Bytes out;
    const std::regex line("^([0-9a-f]{8}): ((?:[0-9a-f]{2,4} ?)+?)  ");
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);) {
        std::smatch match;
        if (!std::regex_search(each, match, line)) continue;
        EXPECT_EQ(std::stoul(match[1].str(), nullptr, 16), out.size()) << each;
        const Bytes row = hex_bytes(match[2].str());
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

// The record shown as "name: " and 40 bytes in hex over two lines.
Bytes decoded_record(const std::string& text, const std::string& name) {
    std::smatch match;
    const std::regex record(name + ": ([0-9a-f ]+)\n +([0-9a-f ]+)\n");
    if (!std::regex_search(text, match, record)) return {};
    return hex_bytes(match[1].str() + match[2].str());
}

std::string format_doc() {
    std::ifstream file(ZQ_FORMAT_DOC);
    EXPECT_TRUE(file) << "cannot open " << ZQ_FORMAT_DOC;
    std::stringstream whole;
    whole << file.rdbuf();
    return whole.str();
}

// The example's tree in `dir`, packed by the command of `example`: the bytes.
Bytes example_archive(const ScratchDir& dir, const std::string& example) {
    const std::string command = first_match(example, "`(zqpack create [^`]*)`");
    const std::string time = first_match(format_doc(), "Unix time ([0-9]+)");
    EXPECT_FALSE(command.empty() || time.empty()) << example;
    write_bytes(dir / "hello" / "a.txt", bytes_of("hi\n"));
    write_bytes(dir / "hello" / "b.txt", bytes_of("aaaaaa"));
    EXPECT_EQ(chmod((dir / "hello" / "b.txt").c_str(), 0444), 0);
    pin_times(dir / "hello", std::stoll(time), std::stoll(time));
    std::vector<std::string> argv;
    std::istringstream words(command);
    for (std::string word; words >> word;) argv.push_back(argv.empty() ? zqpack_path() : word);
    RunOptions options;
    options.cwd = dir.string();
    const Outcome made = run_program(argv, options);
    EXPECT_EQ(made.status, 0) << command << "\n" << made.out;
    return read_bytes(dir / argv[argv.size() - 2]);
}

// A worked example (a section of the doc) is what its command writes: the
// dump and the size the text gives. The archive lies in `dir`.
void expect_example_written(const std::string& example, const ScratchDir& dir) {
    const std::string size = first_match(example, "gives these ([0-9]+) bytes");
    ASSERT_FALSE(size.empty()) << example;
    const Bytes archive = example_archive(dir, example);
    EXPECT_EQ(archive.size(), std::stoul(size));
    EXPECT_EQ(archive, xxd_bytes(example));
}

// The wide example: its dump is what the command writes, and its file
// records are the narrow example's followed by the zero high parts.
TEST(FormatDoc, WideWorkedExampleIsWhatItsCommandWrites) {
    const std::string doc = format_doc();
    ScratchDir dir("format_doc_wide");
    ASSERT_NO_FATAL_FAILURE(
        expect_example_written(section(doc, "### A worked example of the wide form"), dir));

    ReaderSession session(dir / "hello-wide.zq");
    ASSERT_TRUE(session.ok());
    ASSERT_EQ(session.follow_trailer(), 0);
    EXPECT_TRUE(session.spot().wide());
    uint32_t count = 0;
    ASSERT_EQ(session.read(&count), 0);
    ASSERT_EQ(count, 2u);
    const std::string narrow = section(doc, "## A worked example");
    for (uint32_t i = 0; i < count; ++i) {
        const FileRecord& record = *session.catalogue().file_table[i];
        Bytes expected = decoded_record(narrow, i == 0 ? "a.txt" : "b.txt");
        ASSERT_EQ(expected.size(), kFileRecordSize);
        expected.resize(kWideFileRecordSize, 0);
        EXPECT_EQ(Bytes(record.bytes, record.bytes + kWideFileRecordSize), expected) << i;
    }
}

TEST(FormatDoc, WorkedExampleIsWhatItsCommandWrites) {
    const std::string example = section(format_doc(), "## A worked example");
    ScratchDir dir("format_doc");
    ASSERT_NO_FATAL_FAILURE(expect_example_written(example, dir));

    ReaderSession session(dir / "hello.zq");
    ASSERT_TRUE(session.ok());
    uint32_t count = 0;
    ASSERT_EQ(session.read(&count), 0);
    ASSERT_EQ(count, 2);
    for (uint16_t i = 0; i < count; ++i) {
        const FileRecord& record = *session.catalogue().file_table[i];
        const Bytes expected = decoded_record(example, i == 0 ? "a.txt" : "b.txt");
        EXPECT_EQ(Bytes(record.bytes, record.bytes + kFileRecordSize), expected) << i;
    }
}

}  // namespace
}  // namespace zq::test
