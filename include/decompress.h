#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class ProgressSink;

// A most-significant-bit-first read cursor over packed bytes; `data` is not owned. Offered
// with init_bit_reader and read_bits, but not called by the program: its decoders read whole
// windows of bits, never one bit per turn of a loop.
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

// The most entries a code table holds: one per byte value.
inline constexpr size_t CODE_TABLE_MAX_ENTRIES = 256;

// Loads the entries of a code table file in file order into a block of
// CODE_TABLE_MAX_ENTRIES slots; *unique_chars tells how many are filled. Lines that do not
// begin with two "0x" numbers are skipped; entry lines past the 256th are ignored. Null after
// printing the reason when the file cannot be opened or its size line does not convert; null
// without a message when memory runs out.
std::unique_ptr<CodeEntry[]> load_code_table(const char* code_filename, size_t* unique_chars,
                                             size_t* original_size);

// Restores `filename` (a .hfm file) into its stem followed by "_recovered.txt" (a name cut
// to 255 bytes), after the stored sender and receiver lines match the given ones. Then it
// calls `ask_method` (never null) for the decoding method, 1 to 3; any other answer calls the
// decompression off (the asker says why). The steps show in `progress`, when given.
// 0 when the restored file is in place; -1 after printing the reason, and then no
// partial output is left and an earlier restored file stays as it was. Stopped by an
// interrupt (see interrupt.h) it returns -1 without a message, and interrupt_noted() tells.
int decompress_file(const char* filename, const char* sender_info, const char* receiver_info,
                    int (*ask_method)(), ProgressSink* progress = nullptr);

// ---- Decoding steps, exposed for tests, fuzzing and benchmarks -----------------------------
//
// Each reader accepts any file, well-formed or not, and each decoder any table and any bytes:
// nothing is indexed or allocated on a count read from a file without a check first.

// The original size from a code table and the decoding tree built from its entries; the
// tree's layout is private to the decompressor.
struct DecodingTable;

// Releases a table from build_decoding_table; null is accepted.
void free_decoding_table(DecodingTable* table);

struct DecodingTableDeleter {
    void operator()(DecodingTable* table) const noexcept { free_decoding_table(table); }
};
using DecodingTablePtr = std::unique_ptr<DecodingTable, DecodingTableDeleter>;

// Builds the decoding tree from a code table file, inserting entries in file order: a later
// entry with the same code replaces the earlier one, and a shorter code replaces everything
// below it. Lines with fewer than two fields, of length 0 or longer than 256 bits are skipped,
// and entries past the CODE_TABLE_MAX_ENTRIES-th are ignored.
// Null after printing the reason when the file cannot be opened or its size line does not
// convert; null without a message when memory runs out.
DecodingTablePtr build_decoding_table(const char* code_filename);

// The original size stated on the code table's first line.
size_t decoding_table_original_size(const DecodingTable* table);

// Reads the code table the way the hash decoder does: the entries in file order up to the
// first line that does not scan as an entry. Sets *unique_chars to the number of entries
// returned. Null after printing the reason when the file cannot be opened, its size line does
// not convert, a code byte is missing or memory runs out.
std::unique_ptr<CodeEntry[]> read_hash_code_table(const char* code_filename, size_t* unique_chars);

// The three header lines of a compressed file.
struct CompressedHeader {
    int enc_method = 0;         // the first line as atoi reads it
    std::string sender_info;    // without the line feed
    std::string receiver_info;  // without the line feed
    // False when a sender or receiver line is longer than the compressor ever writes; such
    // a line was read past whole, so the packed data still starts at the right place, but it
    // matches no typed line.
    bool lines_whole = true;
};

// Reads the header from the start of `file`, leaving the file at the first packed byte.
// 0 on success; -1 after printing the reason when a line is missing.
int read_compressed_header(std::FILE* file, CompressedHeader* header);

// The decoders. Each fills decoded_data from index 0 with at most original_size bytes (the
// caller's buffer must hold that many) and returns how many it wrote, which is fewer when
// the bits run out or do not fit the table; no bit past 8 * compressed_size is read. A
// `progress`, when given, shows the decoding as a step.

// Walks the tree one bit at a time, one byte per leaf; stops at a bit with no child.
size_t decode_with_tree(const unsigned char* compressed_data, size_t compressed_size,
                        unsigned char* decoded_data, size_t original_size,
                        const DecodingTable* table, ProgressSink* progress = nullptr);

// At each bit position the first entry in array order whose code matches the upcoming bits
// wins; where none matches, one bit is skipped. An entry of length 0 and code 0 matches
// anywhere without taking a bit, so from the first position it is reached its byte fills the
// rest; other entries of length 0, and those above 32 bits, never match. Only the first
// CODE_TABLE_MAX_ENTRIES entries are consulted.
size_t decode_with_code_table(const unsigned char* compressed_data, size_t compressed_size,
                              unsigned char* decoded_data, size_t original_size,
                              const CodeEntry* codes, size_t unique_chars,
                              ProgressSink* progress = nullptr);

// Looks up the upcoming 1, 2, ... 32 bits in a hash table of the entries, the first entry
// added winning among equal codes; in a full 32-bit window that matches nothing the oldest bit
// is dropped. Prints the table listing and the decoding statistics. Entries of length 0 or
// above 32 bits are never found.
size_t decode_with_hash(const unsigned char* compressed_data, size_t compressed_size,
                        unsigned char* decoded_data, size_t original_size, const CodeEntry* codes,
                        size_t unique_chars, ProgressSink* progress = nullptr);

// Where the output is large enough, each decoder runs a second cursor a stretch ahead of the
// first, which makes the common short codes decode faster; off, the first does all. The bytes,
// their count and every figure printed are the same either way (the second may read further
// into damaged data, never past its end): tests compare the two, and the benchmark shows
// what the second buys. On unless turned off.
void decode_with_lead_cursor(bool on);
