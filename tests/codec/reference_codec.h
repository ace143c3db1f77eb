// A plain, deliberately unoptimised transcription of the block format, kept
// beside the tests so the real codec can be checked frame for frame against
// it on many inputs while the real one is tuned for speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq::reference {

// Encodes 1..32768 bytes into a whole frame (header included).
std::vector<uint8_t> encode(const std::vector<uint8_t>& input);

// Decodes one payload; false when the block cannot be decoded.
bool decode(const std::vector<uint8_t>& payload, bool substituted, std::vector<uint8_t>& plain);

}  // namespace zq::reference
