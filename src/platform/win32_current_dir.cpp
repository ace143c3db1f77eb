// The current directory on Windows, in a file of its own: the self-extractor
// never asks for it, and an import that the stub's code does not reach still
// costs room in its image when it sits in the same object. Without the
// layer's guard, since no run of the stub reaches it while a console event
// could end the run.
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace zq {

uint32_t dir_get_current(char* buffer, uint32_t size) { return GetCurrentDirectoryA(size, buffer); }

}  // namespace zq
