#pragma once

#include <cstddef>
#include <cstdint>

// Loads and stores of several bytes in a fixed order, whatever the processor's. Each is
// written out in full so that compilers see one load or store, byte-swapped where needed.

inline uint64_t load_be64(const unsigned char* p) {
    return static_cast<uint64_t>(p[0]) << 56 | static_cast<uint64_t>(p[1]) << 48 |
           static_cast<uint64_t>(p[2]) << 40 | static_cast<uint64_t>(p[3]) << 32 |
           static_cast<uint64_t>(p[4]) << 24 | static_cast<uint64_t>(p[5]) << 16 |
           static_cast<uint64_t>(p[6]) << 8 | static_cast<uint64_t>(p[7]);
}

inline uint64_t load_le64(const unsigned char* p) {
    return static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
           static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24 |
           static_cast<uint64_t>(p[4]) << 32 | static_cast<uint64_t>(p[5]) << 40 |
           static_cast<uint64_t>(p[6]) << 48 | static_cast<uint64_t>(p[7]) << 56;
}

inline size_t load_le16(const unsigned char* p) {
    return static_cast<size_t>(p[0] | p[1] << 8);
}

inline void store_be64(unsigned char* out, uint64_t word) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(word >> (56 - 8 * i));
}
