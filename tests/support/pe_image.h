// The smallest PE32 console image a signing tool takes: one section of code,
// no imports. The tests put archives behind it and sign it.
#pragma once

#include <cstdint>

#include "writer/writer.h"

namespace zq::test {

// 1024 bytes: the headers, then one 512-byte section.
Bytes minimal_pe();
// Sets the security entry (data directory 4): the certificate table's file
// offset and size.
void set_security_entry(Bytes& image, uint32_t table_at, uint32_t table_size);

}  // namespace zq::test
