#include "pe_image.h"

namespace zq::test {
namespace {

constexpr size_t kPe = 0x40;
constexpr size_t kOptional = kPe + 24;

void put16(Bytes& image, size_t at, uint32_t value) {
    image[at] = uint8_t(value);
    image[at + 1] = uint8_t(value >> 8);
}

void put32(Bytes& image, size_t at, uint32_t value) {
    put16(image, at, value & 0xFFFF);
    put16(image, at + 2, value >> 16);
}

}  // namespace

Bytes minimal_pe() {
    Bytes image(1024, 0);
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3C, kPe);
    put32(image, kPe, 0x00004550);  // "PE\0\0"
    put16(image, kPe + 4, 0x14C);   // i386
    put16(image, kPe + 6, 1);       // sections
    put16(image, kPe + 20, 224);    // optional header
    put16(image, kPe + 22, 0x0102);
    put16(image, kOptional, 0x10B);  // PE32
    put32(image, kOptional + 4, 0x200);
    put32(image, kOptional + 16, 0x1000);  // entry point
    put32(image, kOptional + 20, 0x1000);
    put32(image, kOptional + 28, 0x400000);
    put32(image, kOptional + 32, 0x1000);
    put32(image, kOptional + 36, 0x200);
    put16(image, kOptional + 40, 4);
    put16(image, kOptional + 48, 4);
    put32(image, kOptional + 56, 0x2000);
    put32(image, kOptional + 60, 0x200);
    put16(image, kOptional + 68, 3);  // console
    put32(image, kOptional + 72, 0x100000);
    put32(image, kOptional + 76, 0x1000);
    put32(image, kOptional + 80, 0x100000);
    put32(image, kOptional + 84, 0x1000);
    put32(image, kOptional + 92, 16);
    const size_t section = kOptional + 224;
    const char name[] = ".text";
    for (size_t i = 0; i < 5; ++i) image[section + i] = uint8_t(name[i]);
    put32(image, section + 8, 0x200);
    put32(image, section + 12, 0x1000);
    put32(image, section + 16, 0x200);
    put32(image, section + 20, 0x200);
    put32(image, section + 36, 0x60000020);  // code, readable, executable
    image[0x200] = 0xC3;                     // ret
    return image;
}

void set_security_entry(Bytes& image, uint32_t table_at, uint32_t table_size) {
    put32(image, kOptional + 96 + 4 * 8, table_at);
    put32(image, kOptional + 96 + 4 * 8 + 4, table_size);
}

}  // namespace zq::test
