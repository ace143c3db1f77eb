// Process entry point of the Windows self-extractor. There is no C runtime
// behind it: no arguments are parsed, no static constructors run, nothing is
// set up. The run leaves only through terminate().
#include "driver/driver.h"

// The loader enters with only 4-byte stack alignment guaranteed.
extern "C" __attribute__((force_align_arg_pointer, used)) void zq_entry() {
  zq::self_extract_main();
}
