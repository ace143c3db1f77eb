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

TEST(FormatDoc, WorkedExampleIsWhatItsCommandWrites) {
    std::ifstream file(ZQ_FORMAT_DOC);
    ASSERT_TRUE(file) << "cannot open " << ZQ_FORMAT_DOC;
    std::stringstream whole;
    whole << file.rdbuf();
    const std::string example = section(whole.str(), "## A worked example");
    const std::string command = first_match(example, "`(zqpack create [^`]*)`");
    const std::string size = first_match(example, "gives these ([0-9]+) bytes");
    const std::string time = first_match(example, "Unix time ([0-9]+)");
    ASSERT_FALSE(command.empty() || size.empty() || time.empty()) << example;

    ScratchDir dir("format_doc");
    write_bytes(dir / "hello" / "a.txt", bytes_of("hi\n"));
    write_bytes(dir / "hello" / "b.txt", bytes_of("aaaaaa"));
    ASSERT_EQ(chmod((dir / "hello" / "b.txt").c_str(), 0444), 0);
    pin_times(dir / "hello", std::stoll(time), std::stoll(time));

    std::vector<std::string> argv;
    std::istringstream words(command);
    for (std::string word; words >> word;) argv.push_back(argv.empty() ? zqpack_path() : word);
    RunOptions options;
    options.cwd = dir.string();
    const Outcome made = run_program(argv, options);
    ASSERT_EQ(made.status, 0) << command << "\n" << made.out;

    const Bytes archive = read_bytes(dir / "hello.zq");
    EXPECT_EQ(archive.size(), std::stoul(size));
    EXPECT_EQ(archive, xxd_bytes(example));

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
