// A strict reader for the JSON that zqpack writes, and the check every
// archive builder of the tests runs on what it built.
#pragma once

#include <filesystem>
#include <string>

namespace zq::test {

// Empty when `text` is exactly one JSON value (with optional blanks around)
// in strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF,
// no stray continuation bytes; no control characters inside strings, no
// lone surrogate escapes, no leading zeros, no trailing commas, no repeated
// key in one object. Otherwise where and what the first fault is.
std::string json_problem(const std::string& text);

// Lists the archive at `path` as `zqpack list --json` does, in this process,
// and fails the current test when the listing is not strict JSON. An archive
// that cannot be opened (damaged, refused, or needing a password other than
// `password`) has no listing to check and passes.
void expect_json_listing(const std::filesystem::path& path, const std::string& password = "");

}  // namespace zq::test
