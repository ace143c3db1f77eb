// A text that zqpack looks for in a stub's image to learn what the stub
// reads, copied into the program's own constants. The linker keeps the copy
// although nothing reads it.
#pragma once

#include <cstddef>

namespace zq {

template <size_t Size>
struct ReaderMark {
    char bytes[Size];
};

template <size_t Size>
constexpr ReaderMark<Size> copy_of_mark(const char (&text)[Size]) {
    ReaderMark<Size> mark{};
    for (size_t i = 0; i < Size; ++i) mark.bytes[i] = text[i];
    return mark;
}

}  // namespace zq

#ifdef __ELF__
#define ZQ_KEPT_MARK [[gnu::used, gnu::retain]]
#else
#define ZQ_KEPT_MARK [[gnu::used]]
#endif
