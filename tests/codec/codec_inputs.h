// Inputs of the shapes the codec meets in archives: runs, short repeats,
// text, structured records and noise.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace zq::test {

enum class Shape { Noise, Runs, Alternation, Text, Records, Skewed, Zeros };

inline const Shape kAllShapes[] = {Shape::Noise,   Shape::Runs,   Shape::Alternation, Shape::Text,
                                   Shape::Records, Shape::Skewed, Shape::Zeros};

inline const char* shape_name(Shape s) {
    switch (s) {
        case Shape::Noise: return "noise";
        case Shape::Runs: return "runs";
        case Shape::Alternation: return "alternation";
        case Shape::Text: return "text";
        case Shape::Records: return "records";
        case Shape::Skewed: return "skewed";
        case Shape::Zeros: return "zeros";
    }
    return "?";
}

inline std::vector<uint8_t> make_input(Shape shape, size_t n, uint32_t seed) {
    if (shape == Shape::Noise) return noise(n, seed);
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(n);
    static const char* const words[] = {"the ",   "codec ", "splay ", "tree ", "of ",       "and ",
                                        "block ", "a ",     "match ", "\r\n",  "archive, ", "is "};
    while (out.size() < n) {
        switch (shape) {
            case Shape::Noise:  // made whole above
                break;
            case Shape::Runs:
                out.insert(out.end(), 1 + rng() % 70, static_cast<uint8_t>(rng() % 4 * 60));
                break;
            case Shape::Alternation: {
                uint8_t a = static_cast<uint8_t>(rng()), b = static_cast<uint8_t>(rng());
                for (uint32_t i = rng() % 200; i > 0; --i) out.push_back(i & 1 ? a : b);
                break;
            }
            case Shape::Text: {
                const char* w = words[rng() % 12];
                out.insert(out.end(), w, w + std::char_traits<char>::length(w));
                break;
            }
            case Shape::Records: {
                // Fixed-size little-endian records with a slowly growing counter.
                uint32_t id = static_cast<uint32_t>(out.size() / 12);
                uint8_t rec[12] = {static_cast<uint8_t>(id),
                                   static_cast<uint8_t>(id >> 8),
                                   0,
                                   0,
                                   0x20,
                                   0,
                                   0,
                                   0,
                                   static_cast<uint8_t>(rng() % 3),
                                   0x81,
                                   0xFF,
                                   0};
                out.insert(out.end(), rec, rec + 12);
                break;
            }
            case Shape::Skewed: {
                uint32_t r = rng() % 100;
                out.push_back(static_cast<uint8_t>(r < 60 ? 'e' : r < 85 ? 0x80 + r % 5 : rng()));
                break;
            }
            case Shape::Zeros: out.push_back(0); break;
        }
    }
    out.resize(n);
    return out;
}

}  // namespace zq::test
