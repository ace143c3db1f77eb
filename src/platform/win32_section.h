// What the parts of the Windows layer share: the guard between the main
// thread and the console's control thread (win32.cpp says how it works).
// Only the layer's own files include it.
#pragma once

#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace zq {

// Opens and closes one call of this layer. After a control thread has
// claimed the end of the process, any other thread that enters stops there
// for good (ExitProcess ends it).
void section_enter();
void section_leave();

// One call of this layer.
class Section {
public:
    Section() { section_enter(); }
    ~Section() { section_leave(); }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
};

}  // namespace zq
