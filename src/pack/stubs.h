// The stubs zqpack create puts in front of an archive, found by name in the
// folders it was built or installed with.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zq::pack {

struct FoundStub {
    std::string name;  // what --stub takes: "linux", "windows", ...
    std::filesystem::path path;
};

// The stub `given` names: empty for the default (the Linux one), a path to a
// file that exists, else one of the names stub_names() lists or a stub's file
// name (zqsfx.exe), looked for beside zqpack and then in its installed
// lib/zqsfx/. For an `encrypted` archive the Windows stub by name is the one
// that decrypts (windows-encrypted). Throws naming what was tried when there
// is none.
std::filesystem::path find_stub(const std::string& given, bool encrypted);

// The stub that reads the wide form for the one `given` names, when that is
// the plain Windows stub by name (windows, zqsfx.exe): windows-wide, found as
// find_stub finds stubs. Empty for any other, or when there is none.
std::filesystem::path find_wide_stub(const std::string& given);

// Every stub those folders hold, each name once, in a fixed order.
std::vector<FoundStub> stub_names();

// For create --help: the stubs found, one a line, or a word that none is.
std::string stubs_found_text();

}  // namespace zq::pack
