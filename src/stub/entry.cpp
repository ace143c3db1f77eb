// The process entry point: the whole program is the extraction run.
#include "driver/driver.h"

int main() { zq::self_extract_main(); }
