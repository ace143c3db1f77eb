// How the tools fail: a std::runtime_error carrying one line, which zqpack
// prints as its error message before it ends with a failure status.
#pragma once

#include <stdexcept>
#include <string>

namespace zq {

[[noreturn]] inline void fail(const std::string& message) { throw std::runtime_error(message); }

}  // namespace zq
