// The process entry point: the whole program is the extraction run.
#include "driver/driver.h"

int main(int argc, char** argv) { zq::self_extract_main(uint32_t(argc), argv); }
