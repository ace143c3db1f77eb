// Process entry point of the Windows self-extractor. There is no C runtime
// behind it: no static constructors run and nothing is set up; the command
// line is split here, as Windows programs split it. The run leaves only
// through terminate().
#include "driver/driver.h"
#include "driver/options.h"
#include "platform/platform.h"

// The loader enters with only 4-byte stack alignment guaranteed.
extern "C" __attribute__((force_align_arg_pointer, used)) void zq_entry() {
    // Room for every word, however long the line: in a double-byte code page
    // its ANSI form may be twice its 32767 characters. After the program's
    // own, each word takes a byte and a blank before the next, and a word
    // never grows.
    const char* line = zq::command_line();
    const uint32_t length = zq::str_length(line);
    const uint32_t max_words = length / 2 + 2;
    char* storage = static_cast<char*>(zq::mem_alloc(length + 1));
    const char** words = static_cast<const char**>(zq::mem_alloc(max_words * sizeof(char*)));
    if (storage == nullptr || words == nullptr) zq::exit_process(zq::kExitNoMemory);
    const uint32_t count = zq::split_command_line(line, true, storage, words, max_words);
    zq::self_extract_main(count, words);
}
