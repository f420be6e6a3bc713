#pragma once

#include <cstddef>
#include <cstdint>

// Fuzz entry points. Each takes one arbitrary input, returns 0 and aborts when a property
// fails; libFuzzer drives them through a thin wrapper, and the test suite replays the kept
// inputs through the same functions.

// Decoders: the input up to its first NUL is the code table, the rest the packed bytes. Each
// reader and decoder is compared with its model.
int fuzz_tree_decoder(const uint8_t* data, size_t size);
int fuzz_table_decoder(const uint8_t* data, size_t size);
int fuzz_hash_decoder(const uint8_t* data, size_t size);

// The input is compressed, then restored by every decoder its codes fit.
int fuzz_round_trip(const uint8_t* data, size_t size);

struct FuzzTarget {
    const char* name;   // the executable is fuzz_<name>
    const char* seeds;  // folder under fuzz/seeds/, shared by targets that read the same format
    int (*run)(const uint8_t* data, size_t size);
};

inline constexpr FuzzTarget FUZZ_TARGETS[] = {
    {"tree_decoder", "table_and_data", fuzz_tree_decoder},
    {"table_decoder", "table_and_data", fuzz_table_decoder},
    {"hash_decoder", "table_and_data", fuzz_hash_decoder},
    {"round_trip", "bytes", fuzz_round_trip},
};
