#include "writer/stored_names.h"

#include <algorithm>

#include "format/archive_format.h"
#include "platform/host_text.h"
#include "writer/tool_error.h"

namespace zq {

namespace {

// A byte that the page reads as the unfinished start of a character.
LeadBytes lead_bytes_of(uint32_t code_page) {
    LeadBytes set{};
    for (uint8_t byte : code_page_lead_bytes(code_page)) set.add(byte);
    return set;
}

std::string upper_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    }
    return text;
}

bool is_device_name(const std::string& name) {
    std::string base = upper_ascii(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string windows_name_problem(const std::string& name) {
    if (is_device_name(name)) return "its name is a device name there";
    for (char c : name) {
        if (uint8_t(c) < 0x20 || std::string("<>:\"|?*").find(c) != std::string::npos) {
            return "its name holds a character Windows refuses (< > : \" | ? * or a control "
                   "character)";
        }
    }
    if (!name.empty() && (name.back() == '.' || name.back() == ' '))
        return "its name ends in a dot or a space";
    return "";
}

bool is_storable_name(const std::string& name, bool directory, const LeadBytes& lead) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(name.data());
    if (name.size() > kMaxPath || !is_safe_name(bytes, uint32_t(name.size()), lead)) return false;
    if (!directory) return true;
    // A folder name must not end inside a two-byte character: its last lead
    // byte would take the separator behind it as its second byte.
    bool trail = false;
    for (uint8_t c : name) trail = !trail && lead.contains(c);
    return !trail;
}

NameForm::NameForm(uint32_t code_page) : code_page_(code_page) {
    if (code_page == 0) return;
    mark_ = mark_of_code_page(code_page);
    if (mark_ == 0)
        fail("code page " + std::to_string(code_page) +
             " is not a Windows ANSI code page zqpack knows");
    to_page_ = std::make_unique<TextConversion>(code_page_charset(code_page), "UTF-8");
    if (!to_page_->ready())
        fail("this system cannot convert names to code page " + std::to_string(code_page));
    lead_ = lead_bytes_of(code_page);
}

NameForm::~NameForm() = default;

std::string NameForm::stored(const std::string& name, const std::filesystem::path& path,
                             bool directory) const {
    std::string bytes = name;
    if (code_page_ != 0) {
        std::string problem = windows_name_problem(name);
        if (problem.empty() && !to_page_->convert(name, &bytes))
            problem = "code page " + std::to_string(code_page_) + " cannot represent its name";
        if (!problem.empty()) {
            problems_.push_back("cannot store " + path.string() + " for Windows: " + problem);
            return name;  // never written: refuse_problems throws before
        }
    }
    if (!is_storable_name(bytes, directory, lead_)) {
        fail("cannot store the name of " + path.string() +
             " (a stored name holds no '\\', ':' or control characters, is not '.' or '..', and a "
             "folder"
             " name does not end in half a two-byte character)");
    }
    return bytes;
}

std::string NameForm::in_page(const std::string& text, const std::string& what) const {
    std::string bytes = text;
    if (code_page_ != 0 && !to_page_->convert(text, &bytes)) {
        fail("code page " + std::to_string(code_page_) + " cannot represent " + what);
    }
    return bytes;
}

void NameForm::check_distinct(std::vector<std::string> names,
                              const std::filesystem::path& folder) const {
    if (code_page_ == 0) return;
    std::vector<std::pair<std::wstring, std::string>> keyed;
    for (std::string& name : names) keyed.emplace_back(upper_case_key(name), std::move(name));
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 1; i < keyed.size(); ++i) {
        if (keyed[i].first == keyed[i - 1].first) {
            problems_.push_back("cannot store " + keyed[i - 1].second + " and " + keyed[i].second +
                                " in " + folder.string() +
                                " for Windows: their names differ only in letter case");
        }
    }
}

void NameForm::refuse_problems() const {
    if (problems_.empty()) return;
    if (problems_.size() == 1) fail(problems_.front());
    std::string all = std::to_string(problems_.size()) + " names cannot be stored for Windows:";
    for (const std::string& problem : problems_) all += "\n  " + problem;
    fail(all);
}

void NameForm::check_flat(std::vector<std::pair<std::string, std::string>> name_and_path) const {
    std::vector<std::pair<std::wstring, std::string>> keyed;
    for (auto& [name, path] : name_and_path) {
        keyed.emplace_back(
            code_page_ != 0 ? upper_case_key(name) : std::wstring(name.begin(), name.end()),
            std::move(path));
    }
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 1; i < keyed.size(); ++i) {
        if (keyed[i].first != keyed[i - 1].first) continue;
        fail("cannot store both " + keyed[i - 1].second + " and " + keyed[i].second +
             " with --flat: they would land on one file" +
             (code_page_ != 0 ? " (Windows names ignore letter case)" : ""));
    }
}

}  // namespace zq
