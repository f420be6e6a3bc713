#pragma once

#include <cstddef>
#include <cstdint>

// One byte value and how often it occurs.
struct FrequencyItem {
    unsigned char byte;
    size_t frequency;
};

inline constexpr uint64_t FNV_OFFSET = 14695981039346656037ULL;
inline constexpr uint64_t FNV_PRIME = 1099511628211ULL;

// One byte taken into an FNV-1a 64 hash.
constexpr uint64_t fnv1a_step(uint64_t hash, unsigned char byte) {
    return (hash ^ byte) * FNV_PRIME;
}

// FNV-1a 64 of `len` bytes; zero bytes give FNV_OFFSET.
uint64_t fnv1a_64(const void* data, size_t len);

// Carries an FNV-1a 64 hash on over `len` more bytes, so that data read in blocks hashes as
// one: fnv1a_64(a + b) is fnv1a_64_extend(fnv1a_64(a), b).
uint64_t fnv1a_64_extend(uint64_t hash, const void* data, size_t len);

// ---- Offered, but not called by the program -------------------------------------------------
//
// The compressor and the report read their files in blocks and sort with routines of their
// own; these complete the module for other callers, and the tests keep them right.

// Size of a file in bytes (64-bit). 0 when it cannot be opened or is empty;
// SIZE_MAX when it opens but its end position cannot be taken.
size_t get_file_size(const char* filename);

// Reads a whole non-empty file into a new buffer that the caller releases with std::free.
// 0 on success; -1 when the file is missing, empty, unreadable or too large to hold,
// and then the caller owns no buffer and *content is untouched.
int read_file_content(const char* filename, unsigned char** content, size_t* size);

// Sifts arr[i] down within the first n records of a max-heap ranked by frequency,
// the smaller byte ranking higher at equal frequency.
void heapify(FrequencyItem* arr, size_t n, size_t i);

// Sorts in place: ascending frequency, descending byte at equal frequency.
void heap_sort(FrequencyItem* arr, size_t n);
