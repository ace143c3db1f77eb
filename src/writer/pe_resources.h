// The Windows stub's PE image as the packer adjusts it: the publisher's texts
// in the version resource, with the image checksum that covers them, and the
// length that signing leaves unpadded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "writer/writer.h"

namespace zq {

// The publisher's texts for the version resource, UTF-8; unset keeps what
// the stub holds. A version is one to four numbers 0-65535 joined by dots;
// it also goes to the resource's fixed file or product version.
struct VersionTexts {
    std::optional<std::string> company_name;
    std::optional<std::string> file_description;
    std::optional<std::string> file_version;
    std::optional<std::string> legal_copyright;
    std::optional<std::string> product_name;
    std::optional<std::string> product_version;
    bool any() const;
};

// Writes the given texts into the fixed-size fields of the stub's version
// resource, in place, and sets the image checksum anew (over the stub, as the
// linker did; a signing tool sets it over the whole file). Throws std::runtime_error when the stub
// has no such resource or field, when a version is malformed, or when a text does not fit its field
// (naming the field and its limit).
void fill_version_texts(Bytes& stub, const VersionTexts& texts);

// Zero bytes to put in front of a 4-byte trailer that would start at
// `position`, so that the file ends on a multiple of 8 bytes: a signing tool
// then starts the certificate table right behind the trailer.
size_t signing_padding(uint64_t position);

// The PE image checksum of `image`, its own checksum field counting as zero.
uint32_t pe_checksum(const Bytes& image);

}  // namespace zq
