// The self-extractor's start from its command line.
#include "driver/options.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

namespace {

// The program's own name, as the usage line shows it: the last part of the
// word it was started by, or of its own path where that word is not kept
// (the Windows command line's first word).
const char* program_name(uint32_t count, const char* const* words, char* buffer) {
    const char* path = count > 0 ? words[0] : "";
    if (*path == '\0' && own_executable_path(buffer, kOwnPathBufferSize) != 0) path = buffer;
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        } else if (is_lead_byte(uint8_t(*p)) && p[1] != '\0') {
            ++p;
        }
    }
    return name;
}

// The line that says what is wrong, if anything is, then the usage line and
// one line per option, each ended as this console ends lines.
void write_usage(const StubOptions& options, const char* name) {
    const char* text = kUsage;
    for (int i = 1; i <= 3; ++i) {
        if (i == options.problem) {
            console_write(text, kEndNone);
            console_write(options.refused, kEndLine);
        }
        text += str_length(text) + 1;
    }
    console_write(text, kEndNone);
    console_write(name, kEndNone);
    for (text += str_length(text) + 1; *text != '\0'; text += str_length(text) + 1) {
        console_write(text, kEndLine);
    }
}

}  // namespace

void self_extract_main(uint32_t count, const char* const* words) {
    StubOptions options{};
    const int status = parse_stub_options(count, words, &options);
    if (status != 0 || options.help) {
        char own_path[kOwnPathBufferSize];
        write_usage(options, program_name(count, words, own_path));
        exit_process(status);
    }
    if (options.version) {
        console_write(kBannerLine, kEndLine);
        exit_process(kExitOk);
    }
    driver().options = options.extract;
    driver().overwrite_all = options.extract.overwrite_all;
    run_extraction(nullptr);
}

}  // namespace zq
