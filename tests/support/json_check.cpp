#include "json_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

#include "pack/inspect.h"

namespace zq::test {

namespace {

// The length of the UTF-8 sequence at `at`, or 0 when it is not a valid
// one (the ranges of the second byte rule out overlongs, surrogates and
// code points past U+10FFFF).
size_t utf8_length(const std::string& s, size_t at) {
    auto byte = [&](size_t i) { return i < s.size() ? uint8_t(s[i]) : 0; };
    auto in = [](uint8_t b, uint8_t low, uint8_t high) { return b >= low && b <= high; };
    const uint8_t lead = byte(at);
    if (lead < 0x80) return 1;
    uint8_t low = 0x80, high = 0xBF;
    size_t length = 0;
    if (in(lead, 0xC2, 0xDF))
        length = 2;
    else if (lead == 0xE0)
        length = 3, low = 0xA0;
    else if (lead == 0xED)
        length = 3, high = 0x9F;
    else if (in(lead, 0xE1, 0xEF))
        length = 3;
    else if (lead == 0xF0)
        length = 4, low = 0x90;
    else if (lead == 0xF4)
        length = 4, high = 0x8F;
    else if (in(lead, 0xF1, 0xF3))
        length = 4;
    else
        return 0;
    if (!in(byte(at + 1), low, high)) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!in(byte(at + i), 0x80, 0xBF)) return 0;
    }
    return length;
}

class StrictReader {
public:
    explicit StrictReader(const std::string& text) : s_(text) {}

    std::string problem() {
        for (size_t at = 0; at < s_.size();) {
            const size_t length = utf8_length(s_, at);
            if (length == 0) return "at byte " + std::to_string(at) + ": not UTF-8";
            at += length;
        }
        blanks();
        if (value() && (blanks(), at_ != s_.size())) fault("text after the value");
        return error_;
    }

private:
    static constexpr int kMaxDepth = 256;

    bool fault(const std::string& what) {
        if (error_.empty()) error_ = "at byte " + std::to_string(at_) + ": " + what;
        return false;
    }
    bool more() const { return at_ < s_.size(); }
    char peek() const { return more() ? s_[at_] : '\0'; }
    bool take(char c) {
        if (peek() != c) return false;
        ++at_;
        return true;
    }
    void blanks() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++at_;
    }
    bool word(const char* w) {
        for (; *w != '\0'; ++w) {
            if (!take(*w)) return fault("not a JSON value");
        }
        return true;
    }

    bool value() {
        switch (peek()) {
            case '{': return nested(&StrictReader::object);
            case '[': return nested(&StrictReader::array);
            case '"': return string(nullptr);
            case 't': return word("true");
            case 'f': return word("false");
            case 'n': return word("null");
            default: return number();
        }
    }

    bool nested(bool (StrictReader::*body)()) {
        if (++depth_ > kMaxDepth) return fault("nested too deeply");
        const bool ok = (this->*body)();
        --depth_;
        return ok;
    }

    // The members between `open` and `close`, separated by commas; `member`
    // reads one.
    template <typename Member>
    bool members(char open, char close, Member member) {
        take(open);
        blanks();
        if (take(close)) return true;
        do {
            blanks();
            if (!member()) return false;
            blanks();
        } while (take(','));
        return take(close) || fault(std::string("',' or '") + close + "' expected");
    }

    bool object() {
        std::set<std::string> keys;
        return members('{', '}', [&] {
            std::string key;
            if (peek() != '"') return fault("an object key must be a string");
            if (!string(&key)) return false;
            if (!keys.insert(key).second) return fault("the key \"" + key + "\" appears twice");
            blanks();
            if (!take(':')) return fault("':' expected");
            blanks();
            return value();
        });
    }

    bool array() {
        return members('[', ']', [&] { return value(); });
    }

    bool digits() {
        if (!more() || peek() < '0' || peek() > '9') return fault("a digit expected");
        while (more() && peek() >= '0' && peek() <= '9') ++at_;
        return true;
    }

    bool number() {
        take('-');
        if (take('0')) {
            if (more() && peek() >= '0' && peek() <= '9')
                return fault("a number with a leading zero");
        } else if (!digits()) {
            return false;
        }
        if (take('.') && !digits()) return false;
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        return true;
    }

    bool hex4(unsigned* unit) {
        *unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = peek();
            const int v = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (v < 0) return fault("four hex digits expected after \\u");
            *unit = *unit * 16 + unsigned(v);
            ++at_;
        }
        return true;
    }

    // A \u escape, with its low half when it is a high surrogate.
    bool unicode_escape() {
        unsigned unit = 0;
        if (!hex4(&unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fault("a lone low surrogate escape");
        if (unit < 0xD800 || unit > 0xDBFF) return true;
        if (!take('\\') || !take('u')) return fault("a high surrogate escape without its low half");
        if (!hex4(&unit)) return false;
        if (unit < 0xDC00 || unit > 0xDFFF)
            return fault("a high surrogate escape without its low half");
        return true;
    }

    bool string(std::string* text) {
        take('"');
        const size_t start = at_;
        while (more() && peek() != '"') {
            const uint8_t c = uint8_t(peek());
            if (c < 0x20) return fault("a control character inside a string");
            ++at_;
            if (c != '\\') continue;
            const char escape = peek();
            ++at_;
            if (escape == 'u') {
                if (!unicode_escape()) return false;
            } else if (std::string("\"\\/bfnrt").find(escape) == std::string::npos ||
                       escape == '\0') {
                --at_;
                return fault("an unknown escape");
            }
        }
        if (!take('"')) return fault("a string without its closing quote");
        if (text != nullptr) *text = s_.substr(start, at_ - 1 - start);
        return true;
    }

    const std::string& s_;
    size_t at_ = 0;
    int depth_ = 0;
    std::string error_;
};

}  // namespace

std::string json_problem(const std::string& text) { return StrictReader(text).problem(); }

void expect_json_listing(const std::filesystem::path& path, const std::string& password) {
    std::unique_ptr<pack::OpenedArchive> archive;
    try {
        archive = std::make_unique<pack::OpenedArchive>(path.string(),
                                                        std::optional<std::string>(password));
    } catch (const std::runtime_error&) {
        return;  // nothing zqpack would list
    }
    const std::string listing = pack::json_listing(*archive);
    EXPECT_EQ(json_problem(listing), "") << "the JSON listing of " << path << ":\n" << listing;
}

}  // namespace zq::test
