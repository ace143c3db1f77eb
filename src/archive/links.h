// Which symbolic links an extractor may make. A link is made only when its
// target cannot lead out of the folder the run extracts into, whatever else
// the archive holds, so that nothing reached through it lies outside.
#pragma once

#include <cstdint>

namespace zq {

// True when `target` (its `length` bytes as stored, '/' separating its
// parts) may be the target of a link that sits `depth` folders below the run
// folder. It must be relative, 1 to 511 bytes, free of NUL, '\' and control
// bytes, and any ".." parts must all come first, no more of them than
// `depth`. Keeping ".." in front means the climb happens through real
// folders the run made; a ".." after a name could climb out of another link
// ("l/.." with l -> ".") where counting names alone would not see it.
bool link_target_is_safe(const uint8_t* target, uint32_t length, uint32_t depth);

}  // namespace zq
