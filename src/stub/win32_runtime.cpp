// What the compiler expects from a runtime library, for the Windows stub,
// which links none: block moves and fills, string length (a counting loop
// may be compiled into a call of it), 64-bit division, the stack probe for
// large frames, and the start-up hook GCC calls from a main().
//
// Built with -ffreestanding -fno-builtin -fno-tree-loop-distribute-patterns
// (src/stub/Win32Stub.cmake), so these loops are never turned back into calls of
// themselves.
#include <cstddef>
#include <cstdint>

#include "stub/win32_divide.h"

extern "C" {

void* memcpy(void* destination, const void* source, size_t bytes) {
    void* d = destination;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(source), "+c"(bytes) : : "memory");
    return destination;
}

void* memmove(void* destination, const void* source, size_t bytes) {
    auto d = static_cast<unsigned char*>(destination);
    auto s = static_cast<const unsigned char*>(source);
    if (d <= s || d >= s + bytes) return memcpy(destination, source, bytes);
    // Overlap with the destination above the source: copy from the end down.
    d += bytes - 1;
    s += bytes - 1;
    __asm__ volatile("std\n\trep movsb\n\tcld" : "+D"(d), "+S"(s), "+c"(bytes) : : "memory");
    return destination;
}

void* memset(void* destination, int value, size_t bytes) {
    void* d = destination;
    __asm__ volatile("rep stosb" : "+D"(d), "+c"(bytes) : "a"(value) : "memory");
    return destination;
}

int memcmp(const void* a, const void* b, size_t bytes) {
    auto x = static_cast<const unsigned char*>(a);
    auto y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < bytes; ++i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

size_t strlen(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

uint64_t __udivdi3(uint64_t n, uint64_t d) {
    uint64_t remainder;
    return zq::divide_u64(n, d, &remainder);
}

uint64_t __umoddi3(uint64_t n, uint64_t d) {
    uint64_t remainder;
    zq::divide_u64(n, d, &remainder);
    return remainder;
}

uint64_t __udivmoddi4(uint64_t n, uint64_t d, uint64_t* remainder) {
    uint64_t r;
    uint64_t q = zq::divide_u64(n, d, &r);
    if (remainder) *remainder = r;
    return q;
}

int64_t __divdi3(int64_t n, int64_t d) { return zq::divide_s64(n, d); }

int64_t __moddi3(int64_t n, int64_t d) { return zq::remainder_s64(n, d); }

// GCC calls this from main() to run static constructors; the stub has none,
// and its entry point is not main() anyway.
void __main() {}

}  // extern "C"

// Frames of 4 KiB or more are probed page by page before use, so that the
// stack's guard page is met in order and the stack grows. EAX holds the frame
// size; every register is kept.
__asm__(
    ".text\n"
    ".globl ___chkstk_ms\n"
    "___chkstk_ms:\n"
    "  pushl %ecx\n"
    "  pushl %eax\n"
    "  leal 12(%esp), %ecx\n"
    "1:\n"
    "  cmpl $0x1000, %eax\n"
    "  jb 2f\n"
    "  subl $0x1000, %ecx\n"
    "  orl $0, (%ecx)\n"
    "  subl $0x1000, %eax\n"
    "  jmp 1b\n"
    "2:\n"
    "  subl %eax, %ecx\n"
    "  orl $0, (%ecx)\n"
    "  popl %eax\n"
    "  popl %ecx\n"
    "  ret\n");
