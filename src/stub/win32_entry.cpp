// Process entry point of the Windows self-extractor. There is no C runtime
// behind it: no static constructors run and nothing is set up; the command
// line is split here, as Windows programs split it. The run leaves only
// through terminate().
#include "driver/driver.h"
#include "driver/options.h"
#include "platform/platform.h"

namespace {
// A command line holds at most 32767 characters, so its words fit here.
constexpr uint32_t kMaxWords = 1024;
char word_storage[32768];
const char* words[kMaxWords];
}  // namespace

// The loader enters with only 4-byte stack alignment guaranteed.
extern "C" __attribute__((force_align_arg_pointer, used)) void zq_entry() {
    const uint32_t count =
        zq::split_command_line(zq::command_line(), true, word_storage, words, kMaxWords);
    zq::self_extract_main(count, words);
}
