#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// A most-significant-bit-first read cursor over packed bytes; `data` is not owned.
struct BitReader {
    const unsigned char* data = nullptr;
    size_t total_bits = 0;
    size_t current_bit = 0;
};

// One code table entry: the code as a number, first bit most significant, last bit in bit 0.
struct CodeEntry {
    unsigned char byte = 0;
    unsigned char code_len = 0;
    uint32_t code = 0;
};

// Points `reader` at `size` bytes, at bit 0.
void init_bit_reader(BitReader* reader, const unsigned char* data, size_t size);

// The next num_bits (0 to 255) bits as a number, first bit most significant; only the last
// 32 remain when more are read. The caller keeps current_bit + num_bits <= total_bits.
uint32_t read_bits(BitReader* reader, int num_bits);

// Loads the entries of a code table file in file order (at most 256). Null after printing
// the reason when the file cannot be opened or its size line does not convert.
std::unique_ptr<CodeEntry[]> load_code_table(const char* code_filename, size_t* unique_chars,
                                             size_t* original_size);

// Restores `filename` (a .hfm file) into its stem followed by "_recovered.txt", after the
// stored sender and receiver lines match the given ones and the user picks a method.
// 0 when the restored file is in place; -1 after printing the reason, and then no
// partial output is left and an earlier restored file stays as it was.
int decompress_file(const char* filename, const char* sender_info, const char* receiver_info);
