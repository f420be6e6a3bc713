#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ProgressSink;

// The byte transform applied before coding and reversed after decoding.
// Any other value leaves the bytes unchanged.
enum EncryptMethod : uint32_t {
    ENCRYPT_METHOD_OFFSET = 0,  // add the key byte modulo 256
    ENCRYPT_METHOD_XOR = 1,     // XOR the key byte
};

// The key byte of both transforms; stored in neither output file.
inline constexpr unsigned char KEY_BYTE = 0x4B;

// The code of one byte value: code_len bits, the first in the most significant bit of
// code[0]; unused low bits of the last byte are 0.
struct HuffmanCode {
    unsigned char byte = 0;
    std::unique_ptr<unsigned char[]> code;
    size_t code_len = 0;
};

// The result of coding a buffer: (total_bits + 7) / 8 packed bytes and one code per
// distinct byte value, in ascending lexicographic order of the codes.
struct CompressResult {
    std::unique_ptr<unsigned char[]> data;
    size_t size = 0;
    size_t original_size = 0;
    std::unique_ptr<HuffmanCode[]> codes;
    size_t unique_chars = 0;
};

// The two files that compressing `filename` writes, named from the whole name: a name cut
// short could be another file's.
std::string compressed_file_name(const char* filename);  // filename.hfm
std::string code_table_file_name(const char* filename);  // filename.hfm.code

// Compresses `filename` into filename.hfm and filename.hfm.code. 0 when both are in place;
// -1 otherwise, after printing the reason. The outputs are written whole or not at all:
// on failure any earlier pair of files stays as it was. Stopped by an interrupt (see
// interrupt.h) it returns -1 without a message, and interrupt_noted() tells. The steps show
// in `progress`, when given.
int compress_file(const char* filename, const char* sender_info, const char* receiver_info,
                  EncryptMethod method, ProgressSink* progress = nullptr);

// Codes `size` bytes. Null on an empty buffer or a failed allocation; prints nothing but
// the steps of `progress`, when given. The caller releases the result with
// free_compress_result.
CompressResult* compress_data(const unsigned char* content, size_t size,
                              ProgressSink* progress = nullptr);

// Releases a result of compress_data; null is accepted.
void free_compress_result(CompressResult* result);

// The code table text of a result: the original size, then one line per entry.
std::string format_code_table(const CompressResult& result);

// Applies the forward (compression) or reverse (decompression) byte transform in place.
void apply_transform(unsigned char* data, size_t size, EncryptMethod method);
void reverse_transform(unsigned char* data, size_t size, EncryptMethod method);
