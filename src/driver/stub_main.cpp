// The self-extractor's start from its command line.
#include "driver/options.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

void self_extract_main(uint32_t count, const char* const* words) {
    StubOptions options{};
    const int status = parse_stub_options(count, words, &options);
    if (status != 0 || options.help) {
        if (options.refused != nullptr) {
            console_write("Unknown or misplaced option: ", kEndNone);
            console_write(options.refused, kEndLine);
        }
        // Line by line, so that each ends as this console ends lines.
        for (const char* line = kUsage; *line != '\0'; line += str_length(line) + 1) {
            console_write(line, kEndLine);
        }
        exit_process(status);
    }
    if (options.version) {
        console_write(kBannerLine, kEndLine);
        exit_process(kExitOk);
    }
    driver.options = options.extract;
    driver.overwrite_all = options.extract.overwrite_all;
    run_extraction(nullptr);
}

}  // namespace zq
