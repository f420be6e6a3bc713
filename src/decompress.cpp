#include "decompress.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>

#include "bytes.h"
#include "common.h"
#include "compress.h"
#include "decode_engine.h"
#include "interrupt.h"
#include "progress.h"
#include "resources.h"

namespace {

// Methods 2 and 3 hold a code and their window in 32 bits.
constexpr unsigned WINDOW_BITS = 32;

// Line buffers of the code table readers; longer lines arrive in pieces.
constexpr int TABLE_LINE_SIZE = 1024;
constexpr int HASH_COUNT_LINE_SIZE = 256;

// ---- The bit window of methods 2 and 3 -------------------------------------------------------

// The 32 bits from bit `bit` on, the first in the most significant place; bits past the end of
// the data read as 0. The caller keeps `bit` below 8 * size.
uint32_t peek_32(const unsigned char* data, size_t size, size_t bit) {
    size_t byte = bit / 8;
    uint64_t word = 0;
    if (size - byte >= 8) {
        word = load_be64(data + byte);
    } else {
        for (size_t i = 0; byte + i < size; ++i)
            word |= static_cast<uint64_t>(data[byte + i]) << (56 - 8 * i);
    }
    return static_cast<uint32_t>((word << (bit % 8)) >> 32);
}

// Whether an entry can ever match: 1 to 32 bits, and a code that fits in its length.
bool is_window_code(const CodeEntry& entry) {
    if (entry.code_len == 0 || entry.code_len > WINDOW_BITS)
        return false;
    return entry.code_len == WINDOW_BITS || (entry.code >> entry.code_len) == 0;
}

// Whether the decoders run a lead cursor where it pays.
bool lead_cursor = true;

}  // namespace

void decode_with_lead_cursor(bool on) {
    lead_cursor = on;
}

// The decoders never use this reader: it takes one bit per turn of its loop, and they read
// whole windows instead.

void init_bit_reader(BitReader* reader, const unsigned char* data, size_t size) {
    reader->data = data;
    reader->total_bits = 8 * size;
    reader->current_bit = 0;
}

uint32_t read_bits(BitReader* reader, int num_bits) {
    uint32_t value = 0;
    for (int i = 0; i < num_bits; ++i) {
        size_t bit = reader->current_bit++;
        value = (value << 1) | ((reader->data[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return value;
}

// ---- Code table files: opened the same way by every reader ---------------------------------

namespace {

// What the tree and the matcher say of a code table that does not open; the hash reader says
// it without the name.
const char* const OPEN_FAILURE_NAMED = "无法打开编码表文件: %s\n";

// Reads the size on a code table's first line, and the white space after it. False after
// printing the reason.
bool read_size_line(std::FILE* file, size_t* original_size) {
    if (std::fscanf(file, "%zu\n", original_size) == 1)
        return true;
    std::printf("读取原始文件大小失败\n");
    return false;
}

// Opens a code table as text, positioned after its size line. Null after printing the reason:
// `cannot_open`, formatted with the name, or the size line's.
FilePtr open_code_table(const char* code_filename, const char* cannot_open, size_t* original_size) {
    FilePtr file(open_file(code_filename, "r"));
    if (!file) {
        std::printf(cannot_open, code_filename);
        return nullptr;
    }
    return read_size_line(file.get(), original_size) ? std::move(file) : nullptr;
}

}  // namespace

// ---- Method 1: the decoding tree and its reader ----------------------------------------------

namespace {

// Nodes live in one array and name their children by index. The root is node 0 and is never
// anyone's child, so index 0 doubles as "no child".
struct HuffmanNode {
    uint32_t left = 0;
    uint32_t right = 0;
    unsigned char byte = 0;
    unsigned char is_leaf = 0;
};

constexpr uint32_t NO_CHILD = 0;

}  // namespace

struct DecodingTable {
    size_t original_size = 0;
    std::unique_ptr<HuffmanNode[]> nodes;
    size_t node_count = 0;
    size_t node_capacity = 0;
};

namespace {

// The tree reader collects code bytes in a buffer of this many bytes: 256 code bits.
constexpr size_t TREE_CODE_BYTES = 32;
constexpr size_t TREE_MAX_CODE_LEN = 8 * TREE_CODE_BYTES;

// Appends a node; NO_CHILD when memory runs out or the indices are used up.
uint32_t create_node(DecodingTable* table, unsigned char byte, bool is_leaf) {
    if (table->node_count == table->node_capacity) {
        size_t capacity = table->node_capacity == 0 ? 512 : 2 * table->node_capacity;
        if (capacity > UINT32_MAX)
            capacity = UINT32_MAX;
        if (capacity == table->node_count)
            return NO_CHILD;
        auto grown = try_alloc_uninit<HuffmanNode>(capacity);
        if (!grown)
            return NO_CHILD;
        std::copy(table->nodes.get(), table->nodes.get() + table->node_count, grown.get());
        table->nodes = std::move(grown);
        table->node_capacity = capacity;
    }
    HuffmanNode node;
    node.byte = byte;
    node.is_leaf = is_leaf ? 1 : 0;
    table->nodes[table->node_count] = node;
    return static_cast<uint32_t>(table->node_count++);
}

// Inserts one code. A leaf is written over whatever held its place: the nodes below an
// earlier, longer code are then unreachable and simply stay unused in the array. False when
// memory runs out.
bool insert_code(DecodingTable* table, unsigned char byte, const unsigned char* code,
                 size_t length) {
    uint32_t current = 0;
    for (size_t i = 0; i < length; ++i) {
        bool bit = (code[i / 8] >> (7 - i % 8)) & 1;
        uint32_t child = bit ? table->nodes[current].right : table->nodes[current].left;
        if (i + 1 == length) {
            if (child != NO_CHILD) {
                HuffmanNode leaf;
                leaf.byte = byte;
                leaf.is_leaf = 1;
                table->nodes[child] = leaf;
                return true;
            }
            child = create_node(table, byte, true);
        } else if (child == NO_CHILD) {
            child = create_node(table, 0, false);
        } else {
            current = child;
            continue;
        }
        if (child == NO_CHILD)
            return false;
        // create_node may have moved the array, so the parent is looked up again.
        (bit ? table->nodes[current].right : table->nodes[current].left) = child;
        current = child;
    }
    return true;
}

constexpr const char* TREE_DELIMITERS = " \t\n";

// The next token of a line, or null when the line has no more.
const char* next_token(char** cursor) {
    char* start = *cursor + std::strspn(*cursor, TREE_DELIMITERS);
    if (*start == '\0') {
        *cursor = start;
        return nullptr;
    }
    char* end = start + std::strcspn(start, TREE_DELIMITERS);
    if (*end != '\0')
        *end++ = '\0';
    *cursor = end;
    return start;
}

unsigned long parse_hex(const char* token) {
    return std::strtoul(token, nullptr, 16);
}

}  // namespace

DecodingTablePtr build_decoding_table(const char* code_filename) {
    size_t original_size = 0;
    FilePtr file = open_code_table(code_filename, OPEN_FAILURE_NAMED, &original_size);
    if (!file)
        return nullptr;
    DecodingTablePtr table(new (std::nothrow) DecodingTable);
    if (!table)
        return nullptr;
    table->original_size = original_size;
    create_node(table.get(), 0, false);  // the root, node 0
    if (table->node_count != 1)
        return nullptr;
    char line[TABLE_LINE_SIZE];
    // Entries past the 256th are ignored, as the table reader ignores them: a table with one
    // entry per byte value never has more, and without a limit a hostile table of long codes
    // would cost about a hundred times its own size in nodes.
    size_t entries = 0;
    while (entries < CODE_TABLE_MAX_ENTRIES && std::fgets(line, sizeof line, file.get())) {
        char* cursor = line;
        const char* byte_token = next_token(&cursor);
        const char* length_token = byte_token ? next_token(&cursor) : nullptr;
        if (!length_token)
            continue;
        unsigned long length = parse_hex(length_token);
        if (length == 0 || length > TREE_MAX_CODE_LEN)
            continue;
        unsigned char code[TREE_CODE_BYTES] = {};
        for (size_t k = 0; k < (length + 7) / 8; ++k) {
            const char* token = next_token(&cursor);
            if (!token)
                break;
            code[k] = static_cast<unsigned char>(parse_hex(token));
        }
        if (!insert_code(table.get(), static_cast<unsigned char>(parse_hex(byte_token)), code,
                         length))
            return nullptr;
        ++entries;
    }
    return table;
}

void free_decoding_table(DecodingTable* table) {
    std::unique_ptr<DecodingTable> owned(table);
}

size_t decoding_table_original_size(const DecodingTable* table) {
    return table->original_size;
}

// ---- Method 1: the walk ----------------------------------------------------------------------

namespace {

// The table holds every leaf the walk reaches within FAST_BITS bits.
FastTable build_fast_table_from_tree(const HuffmanNode* nodes) {
    FastTable fast{};
    for (size_t prefix = 0; prefix < FAST_ENTRIES; ++prefix) {
        uint32_t current = 0;
        for (unsigned depth = 1; depth <= FAST_BITS; ++depth) {
            const HuffmanNode& node = nodes[current];
            current = ((prefix >> (FAST_BITS - depth)) & 1u) ? node.right : node.left;
            if (current == NO_CHILD)
                break;
            if (nodes[current].is_leaf) {
                fast[prefix] = FastEntry{static_cast<unsigned char>(depth), nodes[current].byte};
                break;
            }
        }
    }
    return fast;
}

DecodeRun tree_decode(const unsigned char* compressed_data, size_t compressed_size,
                      unsigned char* decoded_data, size_t original_size, const DecodingTable* table,
                      ProgressSink* progress, RestoreHash* restore) {
    if (!table || table->node_count == 0 || original_size == 0)
        return DecodeRun{};
    const HuffmanNode* nodes = table->nodes.get();
    const size_t total_bits = 8 * compressed_size;
    // One code walked from the root, one bit at a time.
    auto step = [&](size_t pos) {
        Step s;
        uint32_t current = 0;
        for (size_t bit = pos; bit < total_bits; ++bit) {
            const HuffmanNode& node = nodes[current];
            uint32_t next =
                ((compressed_data[bit / 8] >> (7 - bit % 8)) & 1u) ? node.right : node.left;
            // A bit with no child means the table does not fit the data; nothing after it
            // can be trusted, so the walk stops and the caller sees a short result.
            if (next == NO_CHILD)
                return s;
            if (nodes[next].is_leaf) {
                s.kind = Step::EMIT;
                s.byte = nodes[next].byte;
                s.bits = bit - pos + 1;
                return s;
            }
            current = next;
        }
        return s;  // the bits ran out inside a code
    };
    FastTable fast = build_fast_table_from_tree(nodes);
    return run_decoder(compressed_data, compressed_size, decoded_data, original_size, fast,
                       progress, lead_cursor, step, restore);
}

}  // namespace

size_t decode_with_tree(const unsigned char* compressed_data, size_t compressed_size,
                        unsigned char* decoded_data, size_t original_size,
                        const DecodingTable* table, ProgressSink* progress) {
    return tree_decode(compressed_data, compressed_size, decoded_data, original_size, table,
                       progress, nullptr)
        .bytes_written;
}

// ---- Method 2: the code table reader ---------------------------------------------------------

namespace {

// Moves past one space-separated token and the spaces after it; a tab is part of a token.
void skip_token(const char** cursor) {
    while (**cursor != '\0' && **cursor != ' ')
        ++*cursor;
    while (**cursor == ' ')
        ++*cursor;
}

}  // namespace

std::unique_ptr<CodeEntry[]> load_code_table(const char* code_filename, size_t* unique_chars,
                                             size_t* original_size) {
    *unique_chars = 0;
    FilePtr file = open_code_table(code_filename, OPEN_FAILURE_NAMED, original_size);
    if (!file)
        return nullptr;
    auto entries = try_alloc<CodeEntry>(CODE_TABLE_MAX_ENTRIES);
    if (!entries)
        return nullptr;
    char line[TABLE_LINE_SIZE];
    while (*unique_chars < CODE_TABLE_MAX_ENTRIES && std::fgets(line, sizeof line, file.get())) {
        unsigned byte_val = 0;
        unsigned length = 0;
        if (std::sscanf(line, "0x%x 0x%x", &byte_val, &length) != 2)
            continue;
        const char* cursor = line;
        skip_token(&cursor);
        skip_token(&cursor);
        uint32_t code = 0;
        unsigned bytes_read = 0;
        unsigned bytes_needed = (length + 7) / 8;
        while (*cursor != '\0' && bytes_read < bytes_needed) {
            unsigned value = 0;
            if (std::sscanf(cursor, "0x%x", &value) == 1) {
                code = (code << 8) | (value & 0xFFu);
                ++bytes_read;
            }
            skip_token(&cursor);
        }
        if (length < 8 * bytes_read)
            code >>= 8 * bytes_read - length;
        CodeEntry& entry = entries[*unique_chars];
        entry.byte = static_cast<unsigned char>(byte_val);
        entry.code_len = static_cast<unsigned char>(length);
        entry.code = code;
        ++*unique_chars;
    }
    return entries;
}

// ---- Method 2: matching ----------------------------------------------------------------------

namespace {

// Buckets by the window's first CODE_TABLE_PREFIX_BITS bits, each listing in array order the
// entries whose code agrees with those bits: only they can match there, so the first match
// found in a bucket is the first in the whole table.
constexpr unsigned CODE_TABLE_PREFIX_BITS = 10;
constexpr size_t CODE_TABLE_BUCKETS = size_t{1} << CODE_TABLE_PREFIX_BITS;

// Bucket p holds entries[start[p]] up to, not including, entries[start[p + 1]].
struct CodeTableBuckets {
    std::unique_ptr<size_t[]> start;
    std::unique_ptr<CodeEntry[]> entries;
};

// An entry of length 0 and code 0 matches wherever no entry before it does, taking no bit:
// from the first such position on it repeats its byte to the end, and the entries after it
// are never tried. Returns the first such entry, or null, and cuts *count to the entries
// before it.
const CodeEntry* find_code_table_catch_all(const CodeEntry* codes, size_t* count) {
    for (size_t i = 0; i < *count; ++i) {
        if (codes[i].code_len == 0 && codes[i].code == 0) {
            *count = i;
            return &codes[i];
        }
    }
    return nullptr;
}

// A code shorter than the prefix agrees with every prefix it begins, so its entry stands in a
// run of buckets; a longer one stands in exactly one.
void code_table_prefix_range(const CodeEntry& entry, size_t* first, size_t* last) {
    unsigned len = entry.code_len;
    if (len >= CODE_TABLE_PREFIX_BITS) {
        *first = *last = entry.code >> (len - CODE_TABLE_PREFIX_BITS);
    } else {
        *first = static_cast<size_t>(entry.code) << (CODE_TABLE_PREFIX_BITS - len);
        *last = *first + (size_t{1} << (CODE_TABLE_PREFIX_BITS - len)) - 1;
    }
}

// Visits every (bucket, entry) pair, the entries in array order. Counting and filling both
// walk the pairs through here, so the filling puts each entry where the counting made room.
template <typename Visit>
void for_each_code_table_placement(const CodeEntry* codes, size_t count, Visit&& visit) {
    for (size_t i = 0; i < count; ++i) {
        if (!is_window_code(codes[i]))
            continue;
        size_t first = 0;
        size_t last = 0;
        code_table_prefix_range(codes[i], &first, &last);
        for (size_t p = first; p <= last; ++p)
            visit(p, codes[i]);
    }
}

// Sorts the first `count` entries into buckets, counting them first so that each bucket is
// one run of a single array. False when memory runs out.
bool bucket_code_table_entries(const CodeEntry* codes, size_t count, CodeTableBuckets* buckets) {
    auto bucket_start = try_alloc<size_t>(CODE_TABLE_BUCKETS + 1);
    if (!bucket_start)
        return false;
    for_each_code_table_placement(codes, count,
                                  [&](size_t p, const CodeEntry&) { ++bucket_start[p + 1]; });
    for (size_t p = 0; p < CODE_TABLE_BUCKETS; ++p)
        bucket_start[p + 1] += bucket_start[p];
    auto bucketed = try_alloc_uninit<CodeEntry>(bucket_start[CODE_TABLE_BUCKETS]);
    auto fill = try_alloc<size_t>(CODE_TABLE_BUCKETS);
    if (!bucketed || !fill)
        return false;
    for_each_code_table_placement(codes, count, [&](size_t p, const CodeEntry& entry) {
        bucketed[bucket_start[p] + fill[p]++] = entry;
    });
    buckets->start = std::move(bucket_start);
    buckets->entries = std::move(bucketed);
    return true;
}

// The table holds a window's answer when the first entry agreeing with its FAST_BITS bits
// is short enough to be settled by them.
FastTable build_fast_table_from_code_table(const CodeTableBuckets& buckets) {
    const size_t* bucket_start = buckets.start.get();
    const CodeEntry* bucketed = buckets.entries.get();
    FastTable fast{};
    for (size_t prefix = 0; prefix < FAST_ENTRIES; ++prefix) {
        for (size_t j = bucket_start[prefix >> (FAST_BITS - CODE_TABLE_PREFIX_BITS)];
             j < bucket_start[(prefix >> (FAST_BITS - CODE_TABLE_PREFIX_BITS)) + 1]; ++j) {
            const CodeEntry& entry = bucketed[j];
            if (entry.code_len > FAST_BITS) {
                if ((entry.code >> (entry.code_len - FAST_BITS)) == prefix)
                    break;  // a longer code comes first: the step decides
            } else if ((prefix >> (FAST_BITS - entry.code_len)) == entry.code) {
                fast[prefix] = FastEntry{entry.code_len, entry.byte};
                break;
            }
        }
    }
    return fast;
}

DecodeRun code_table_decode(const unsigned char* compressed_data, size_t compressed_size,
                            unsigned char* decoded_data, size_t original_size,
                            const CodeEntry* codes, size_t unique_chars, ProgressSink* progress,
                            RestoreHash* restore) {
    size_t count = std::min(unique_chars, CODE_TABLE_MAX_ENTRIES);
    const CodeEntry* matches_anywhere = find_code_table_catch_all(codes, &count);
    CodeTableBuckets buckets;
    if (!bucket_code_table_entries(codes, count, &buckets))
        return DecodeRun{};
    const size_t* bucket_start = buckets.start.get();
    const CodeEntry* bucketed = buckets.entries.get();

    const size_t total_bits = 8 * compressed_size;
    // The first entry in array order that matches; where none does, one bit is skipped, or
    // decoding stops there for the entry that matches anywhere to fill the rest.
    auto step = [&](size_t pos) {
        Step s;
        if (pos >= total_bits)
            return s;
        uint32_t window = peek_32(compressed_data, compressed_size, pos);
        size_t remaining = total_bits - pos;
        size_t prefix = window >> (WINDOW_BITS - CODE_TABLE_PREFIX_BITS);
        for (size_t j = bucket_start[prefix]; j < bucket_start[prefix + 1]; ++j) {
            const CodeEntry& entry = bucketed[j];
            if (entry.code_len <= remaining &&
                (window >> (WINDOW_BITS - entry.code_len)) == entry.code) {
                s.kind = Step::EMIT;
                s.byte = entry.byte;
                s.bits = entry.code_len;
                return s;
            }
        }
        if (matches_anywhere)
            return s;
        s.kind = Step::SKIP;
        s.bits = 1;
        return s;
    };
    FastTable fast = build_fast_table_from_code_table(buckets);
    DecodeRun run = run_decoder(compressed_data, compressed_size, decoded_data, original_size, fast,
                                progress, lead_cursor, step, restore);
    // Short of the end, the step stops before the last bit only where nothing matched and an
    // entry matches anywhere.
    if (!matches_anywhere || run.bytes_written == original_size ||
        run.last_step_start >= total_bits)
        return run;
    std::fill(decoded_data + run.bytes_written, decoded_data + original_size,
              matches_anywhere->byte);
    run.bytes_written = original_size;
    return run;
}

}  // namespace

size_t decode_with_code_table(const unsigned char* compressed_data, size_t compressed_size,
                              unsigned char* decoded_data, size_t original_size,
                              const CodeEntry* codes, size_t unique_chars, ProgressSink* progress) {
    return code_table_decode(compressed_data, compressed_size, decoded_data, original_size, codes,
                             unique_chars, progress, nullptr)
        .bytes_written;
}

// ---- Method 3: the hash table and its reader -------------------------------------------------

namespace {

struct HashEntry {
    uint32_t code = 0;
    unsigned char code_len = 0;  // 0 marks an empty slot
    unsigned char byte = 0;
};

// Open addressing with linear probing over a power-of-two number of slots, at least four per
// entry, so probes stay short and the slot comes from a multiply and a shift, not a division.
struct HashTable {
    std::unique_ptr<HashEntry[]> entries;
    size_t size = 0;
    size_t capacity = 0;
    unsigned shift = 64;
};

bool init_hash_table(HashTable* table, size_t entry_count) {
    table->size = 0;
    table->capacity = 0;
    table->shift = 64;
    if (entry_count == 0)
        return true;
    if (entry_count > SIZE_MAX / 8)
        return false;
    size_t capacity = 4;
    unsigned log2 = 2;
    while (capacity < 4 * entry_count) {
        capacity *= 2;
        ++log2;
    }
    table->entries = try_alloc<HashEntry>(capacity);
    if (!table->entries)
        return false;
    table->capacity = capacity;
    table->shift = 64 - log2;
    return true;
}

size_t home_slot(const HashTable& table, uint32_t code, unsigned code_len) {
    uint64_t key = (static_cast<uint64_t>(code) << 6) | code_len;
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> table.shift);
}

// Finds the slot holding (code, code_len), or the empty slot that ends its probe chain;
// SIZE_MAX when the table has no slots.
size_t probe(const HashTable& table, uint32_t code, unsigned code_len) {
    if (table.capacity == 0)
        return SIZE_MAX;
    size_t mask = table.capacity - 1;
    size_t slot = home_slot(table, code, code_len);
    // The table is never more than a quarter full, so an empty slot ends every chain.
    while (table.entries[slot].code_len != 0 &&
           (table.entries[slot].code_len != code_len || table.entries[slot].code != code))
        slot = (slot + 1) & mask;
    return slot;
}

// Adds a pair unless it is already there, so the entry added first wins.
void hash_table_add(HashTable* table, uint32_t code, unsigned char code_len, unsigned char byte) {
    if (code_len == 0 || table->size >= table->capacity / 4)
        return;
    size_t slot = probe(*table, code, code_len);
    if (slot == SIZE_MAX || table->entries[slot].code_len != 0)
        return;
    table->entries[slot].code = code;
    table->entries[slot].code_len = code_len;
    table->entries[slot].byte = byte;
    ++table->size;
}

// The stored byte of (code, code_len), or -1 for a miss.
int hash_table_find(const HashTable& table, uint32_t code, unsigned code_len) {
    size_t slot = probe(table, code, code_len);
    if (slot == SIZE_MAX || table.entries[slot].code_len == 0)
        return -1;
    return table.entries[slot].byte;
}

}  // namespace

std::unique_ptr<CodeEntry[]> read_hash_code_table(const char* code_filename, size_t* unique_chars) {
    *unique_chars = 0;
    size_t orig_size = 0;
    FilePtr file = open_code_table(code_filename, "无法打开编码表文件\n", &orig_size);
    if (!file)
        return nullptr;
    // Every entry begins a line, so the line count bounds the entries read below.
    size_t line_count = 0;
    char piece[HASH_COUNT_LINE_SIZE];
    while (std::fgets(piece, sizeof piece, file.get())) {
        if (piece[0] != '\0')
            ++line_count;
    }
    std::rewind(file.get());
    if (!read_size_line(file.get(), &orig_size))
        return nullptr;
    auto entries = try_alloc<CodeEntry>(line_count);
    if (!entries) {
        std::printf("分配编码表内存失败\n");
        return nullptr;
    }
    size_t index = 0;
    unsigned byte_val = 0;
    unsigned code_len = 0;
    while (index < line_count && std::fscanf(file.get(), "0x%x 0x%x", &byte_val, &code_len) == 2) {
        // The code bytes follow the whole length field, whatever of it the entry keeps.
        uint32_t code = 0;
        for (unsigned k = 0; k < code_len / 8 + (code_len % 8 != 0); ++k) {
            unsigned code_byte = 0;
            if (std::fscanf(file.get(), " 0x%x", &code_byte) != 1) {
                std::printf("读取编码字节失败\n");
                return nullptr;
            }
            code = (code << 8) | code_byte;
        }
        if (code_len % 8 != 0)
            code >>= 8 - code_len % 8;
        entries[index].byte = static_cast<unsigned char>(byte_val);
        entries[index].code_len = static_cast<unsigned char>(code_len);
        entries[index].code = code;
        ++index;
        int c;
        do {
            c = std::fgetc(file.get());
        } while (c != '\n' && c != EOF);
    }
    *unique_chars = index;
    return entries;
}

// ---- Method 3: lookups -----------------------------------------------------------------------

namespace {

// The table caches the hash table's answer for the first FAST_BITS bits of a window: the
// shortest length that hits, when one of at most FAST_BITS bits does.
FastTable build_fast_table_from_hash_table(const HashTable& table, const unsigned* lengths,
                                           unsigned length_count) {
    FastTable fast{};
    for (size_t prefix = 0; prefix < FAST_ENTRIES; ++prefix) {
        for (unsigned k = 0; k < length_count && lengths[k] <= FAST_BITS; ++k) {
            unsigned len = lengths[k];
            int byte =
                hash_table_find(table, static_cast<uint32_t>(prefix >> (FAST_BITS - len)), len);
            if (byte >= 0) {
                fast[prefix] =
                    FastEntry{static_cast<unsigned char>(len), static_cast<unsigned char>(byte)};
                break;
            }
        }
    }
    return fast;
}

DecodeRun hash_decode(const unsigned char* compressed_data, size_t compressed_size,
                      unsigned char* decoded_data, size_t original_size, const CodeEntry* codes,
                      size_t unique_chars, ProgressSink* progress, RestoreHash* restore) {
    std::printf("压缩数据大小: %zu 字节\n", compressed_size);
    std::printf("原始数据大小: %zu 字节\n", original_size);
    std::printf("唯一字符数: %zu\n", unique_chars);
    HashTable table;
    if (!init_hash_table(&table, unique_chars)) {
        std::printf("哈希表初始化失败\n");
        return DecodeRun{};
    }
    std::printf("编码表内容:\n");
    bool has_length[WINDOW_BITS + 1] = {};
    for (size_t i = 0; i < unique_chars; ++i) {
        const CodeEntry& entry = codes[i];
        std::printf("字节: 0x%02X, 长度: %d, 编码: 0x%X\n", static_cast<unsigned>(entry.byte),
                    static_cast<int>(entry.code_len), static_cast<unsigned>(entry.code));
        if (!is_window_code(entry))
            continue;
        hash_table_add(&table, entry.code, entry.code_len, entry.byte);
        has_length[entry.code_len] = true;
    }
    // Lengths no entry has can never hit, so only the others are looked up, shortest first.
    unsigned lengths[WINDOW_BITS];
    unsigned length_count = 0;
    for (unsigned len = 1; len <= WINDOW_BITS; ++len) {
        if (has_length[len])
            lengths[length_count++] = len;
    }

    // The window holds the next min(32, bits left) bits; it is read afresh at each step from
    // the position of its oldest bit.
    const size_t total_bits = 8 * compressed_size;
    auto step = [&](size_t pos) {
        Step s;
        size_t bits_in_buffer = std::min<size_t>(WINDOW_BITS, total_bits - pos);
        if (bits_in_buffer == 0)
            return s;
        uint32_t window = peek_32(compressed_data, compressed_size, pos);
        for (unsigned k = 0; k < length_count && lengths[k] <= bits_in_buffer; ++k) {
            unsigned len = lengths[k];
            int byte = hash_table_find(table, window >> (WINDOW_BITS - len), len);
            if (byte >= 0) {
                s.kind = Step::EMIT;
                s.byte = static_cast<unsigned char>(byte);
                s.bits = len;
                return s;
            }
        }
        // A full window that matches nothing drops its oldest bit; a partial one means the
        // input is used up and what is left matches nothing.
        if (bits_in_buffer == WINDOW_BITS) {
            s.kind = Step::SKIP;
            s.bits = 1;
        }
        return s;
    };
    FastTable fast = build_fast_table_from_hash_table(table, lengths, length_count);
    DecodeRun run = run_decoder(compressed_data, compressed_size, decoded_data, original_size, fast,
                                progress, lead_cursor, step, restore);
    if (progress != nullptr)
        progress->clear();
    // A reader that refills one bit at a time up to a full window has taken, when decoding
    // ends, the bits of the last step's window: up to 32 past where that step began.
    size_t bits_taken =
        original_size == 0 ? 0 : std::min(run.last_step_start + WINDOW_BITS, total_bits);
    std::printf("解码统计:\n");
    std::printf("处理的位数: %zu\n", bits_taken);
    std::printf("写入的字节数: %zu\n", run.bytes_written);
    return run;
}

}  // namespace

size_t decode_with_hash(const unsigned char* compressed_data, size_t compressed_size,
                        unsigned char* decoded_data, size_t original_size, const CodeEntry* codes,
                        size_t unique_chars, ProgressSink* progress) {
    return hash_decode(compressed_data, compressed_size, decoded_data, original_size, codes,
                       unique_chars, progress, nullptr)
        .bytes_written;
}

// ---- Header ----------------------------------------------------------------------------------

namespace {

// The compressor writes a header of at most 255 bytes, so no line it writes is longer than
// this; reading lines this long whole lets every typed line it stored compare as written.
constexpr size_t HEADER_LINE_MAX_BYTES = 254;

// The method line is read with a line buffer of this size: a longer line leaves its rest to
// be read as the sender line.
constexpr int METHOD_LINE_SIZE = 16;

// Reads one header line whole, without its line feed, keeping at most HEADER_LINE_MAX_BYTES;
// *whole is false when the line was longer. False when the file has no further line.
bool read_header_line(std::FILE* file, std::string* line, bool* whole) {
    line->clear();
    *whole = true;
    int c = std::getc(file);
    if (c == EOF)
        return false;
    while (c != EOF && c != '\n') {
        if (line->size() < HEADER_LINE_MAX_BYTES)
            line->push_back(static_cast<char>(c));
        else
            *whole = false;
        c = std::getc(file);
    }
    return true;
}

// The value of a decimal line as atoi reads it, saturated instead of overflowing.
int parse_method_line(const char* line) {
    long value = std::strtol(line, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

}  // namespace

int read_compressed_header(std::FILE* file, CompressedHeader* header) {
    char method_line[METHOD_LINE_SIZE];
    if (!std::fgets(method_line, sizeof method_line, file)) {
        std::printf("读取加密方式失败\n");
        return -1;
    }
    header->enc_method = parse_method_line(method_line);
    bool sender_whole = true;
    bool receiver_whole = true;
    if (!read_header_line(file, &header->sender_info, &sender_whole) ||
        !read_header_line(file, &header->receiver_info, &receiver_whole)) {
        std::printf("读取头信息失败\n");
        return -1;
    }
    header->lines_whole = sender_whole && receiver_whole;
    return 0;
}

// ---- The decompress command ------------------------------------------------------------------

namespace {

// A longer output name is cut to this many bytes.
constexpr size_t OUTPUT_NAME_MAX_BYTES = 255;

// The two files that go with a compressed file.
struct CompanionNames {
    std::string code_filename;
    std::string output_filename;
};

// The code table's name is formed whole, as the compressor forms it, so that a pair is
// always found again; the output's name is held to the 255 bytes of a name buffer. The stem
// ends at the first ".hfm" of the file's own name: one in a folder's name would put the
// restored file in another folder.
CompanionNames name_companion_files(const char* filename) {
    std::string stem = filename;
    size_t suffix = stem.find(".hfm", file_name_start(stem));
    if (suffix != std::string::npos)
        stem.resize(suffix);
    CompanionNames names;
    names.code_filename = std::string(filename) + ".code";
    names.output_filename = stem + "_recovered.txt";
    if (names.output_filename.size() > OUTPUT_NAME_MAX_BYTES)
        names.output_filename.resize(OUTPUT_NAME_MAX_BYTES);
    return names;
}

// Compared as text: a stored line ends at a NUL byte, as a typed line does.
bool header_matches_sender_and_receiver(const CompressedHeader& header, const char* sender_info,
                                        const char* receiver_info) {
    return header.lines_whole && std::strcmp(header.sender_info.c_str(), sender_info) == 0 &&
           std::strcmp(header.receiver_info.c_str(), receiver_info) == 0;
}

// Reads the packed bits after the header. False after printing the reason.
bool read_packed_data(std::FILE* file, std::unique_ptr<unsigned char[]>* data, size_t* size,
                      ProgressSink* progress) {
    int64_t data_start = tell_file(file);
    int64_t file_end = data_start >= 0 ? end_position(file) : -1;
    if (data_start < 0 || file_end < data_start || !seek_file(file, data_start, SEEK_SET)) {
        std::printf("读取压缩数据失败\n");
        return false;
    }
    *size = static_cast<size_t>(file_end - data_start);
    *data = try_alloc_uninit<unsigned char>(*size);
    if (!*data) {
        std::printf("内存分配失败\n");
        return false;
    }
    progress->start("读取", *size);
    const bool read = run_in_blocks(*size, progress, [&](size_t offset, size_t length) {
        return read_fully(data->get() + offset, length, file) == length;
    });
    progress->clear();  // the method is asked next
    if (!read) {
        std::printf("读取压缩数据失败\n");
        return false;
    }
    return true;
}

// Reads the header and the packed bits; a sender or receiver that does not match is refused
// before any packed bit is read. The file is closed again before the method is asked for.
// False after printing the reason.
bool read_compressed_file(const char* filename, const char* sender_info, const char* receiver_info,
                          CompressedHeader* header, std::unique_ptr<unsigned char[]>* data,
                          size_t* size, ProgressSink* progress) {
    FilePtr in(open_file(filename, "rb"));
    if (!in) {
        std::printf("无法打开压缩文件: %s\n", filename);
        return false;
    }
    if (read_compressed_header(in.get(), header) != 0)
        return false;
    if (!header_matches_sender_and_receiver(*header, sender_info, receiver_info)) {
        std::printf("收发人信息不匹配，解压拒绝！\n");
        return false;
    }
    return read_packed_data(in.get(), data, size, progress);
}

// What every method decodes from and into.
struct DecodeJob {
    const unsigned char* compressed_data = nullptr;
    size_t compressed_size = 0;
    unsigned char* decoded_data = nullptr;
    size_t original_size = 0;  // the decoding tree's, which sized decoded_data
    const char* code_filename = nullptr;
    ProgressSink* progress = nullptr;
    RestoreHash* restore = nullptr;  // takes in the bytes as they are decoded
};

// Methods 2 and 3 cannot represent a longer code; refusing keeps them from writing a wrong file.
bool codes_fit_window(const CodeEntry* codes, size_t unique_chars) {
    for (size_t i = 0; i < unique_chars; ++i) {
        if (codes[i].code_len > WINDOW_BITS) {
            std::printf("编码表中有长于 %u 位的编码，此解码方式无法处理，请改用方式 1（解码树）\n",
                        WINDOW_BITS);
            return false;
        }
    }
    return true;
}

// Method 2 reads the code table file again with its own reader. False after printing the
// reason.
bool load_code_table_and_decode(const DecodeJob& job, DecodeRun* run) {
    std::printf("使用编码表直接匹配进行解码...\n");
    size_t unique_chars = 0;
    size_t orig_size = 0;
    auto codes = load_code_table(job.code_filename, &unique_chars, &orig_size);
    if (!codes) {
        std::printf("加载编码表失败\n");
        return false;
    }
    if (!codes_fit_window(codes.get(), unique_chars))
        return false;
    // The table is read again; the buffer was sized by the first reading.
    *run = code_table_decode(job.compressed_data, job.compressed_size, job.decoded_data,
                             std::min(orig_size, job.original_size), codes.get(), unique_chars,
                             job.progress, job.restore);
    return true;
}

// Method 3 reads the code table file again the hash table's way and reports as it goes.
// False after printing the reason.
bool read_hash_code_table_and_decode(const DecodeJob& job, DecodeRun* run) {
    std::printf("使用哈希表进行解码...\n");
    size_t unique_chars = 0;
    auto codes = read_hash_code_table(job.code_filename, &unique_chars);
    if (!codes)
        return false;
    if (!codes_fit_window(codes.get(), unique_chars))
        return false;
    std::printf("开始解码处理...\n");
    *run = hash_decode(job.compressed_data, job.compressed_size, job.decoded_data,
                       job.original_size, codes.get(), unique_chars, job.progress, job.restore);
    std::printf("解码完成，共处理 %zu 字节\n", run->bytes_written);
    return true;
}

// Method 1 needs no further reading: the decoding tree was built before the prompt. False
// after printing the reason when the chosen method's table cannot be read or used.
bool decode_with_chosen_method(int decode_method, const DecodeJob& job, const DecodingTable* tree,
                               DecodeRun* run) {
    if (decode_method == 1) {
        std::printf("使用解码树进行解码...\n");
        *run = tree_decode(job.compressed_data, job.compressed_size, job.decoded_data,
                           job.original_size, tree, job.progress, job.restore);
        return true;
    }
    if (decode_method == 2)
        return load_code_table_and_decode(job, run);
    return read_hash_code_table_and_decode(job, run);
}

// Reverses the transform and writes the restored bytes under a temporary name, then renames
// them into place. Each block is reversed just before it is written, so that the write finds
// it in the cache. Cut, the output name of a 255-byte name without ".hfm" is that name: the
// compressed file is never replaced by what it restores.
bool write_output(const char* compressed_filename, const std::string& output_filename,
                  unsigned char* data, size_t size, EncryptMethod method, ProgressSink* progress) {
    progress->clear();  // lines may follow before the writing brings the bar back
    if (output_filename == compressed_filename) {
        std::printf("无法创建输出文件: %s\n", output_filename.c_str());
        return false;
    }
    PendingFile out(output_filename);
    if (!out.open("wb")) {
        std::printf("无法创建输出文件: %s\n", output_filename.c_str());
        return false;
    }
    progress->start("写入", size);
    bool written = run_in_blocks(size, progress, [&](size_t offset, size_t length) {
        reverse_transform(data + offset, length, method);
        return out.write(data + offset, length);
    });
    progress->clear();
    if (!written || !out.close()) {
        std::printf("写入输出文件失败\n");
        return false;
    }
    if (!out.commit()) {
        std::printf("无法创建输出文件: %s\n", output_filename.c_str());
        return false;
    }
    return true;
}

// Takes in the bytes the decoder left to hash: those it wrote last, or filled in after it.
void finish_restored_hash(RestoreHash* restore, const unsigned char* data, size_t size,
                          ProgressSink* progress) {
    const size_t from = restore->hashed;
    progress->start("校验", size - from);
    run_in_blocks(size - from, progress, [&](size_t offset, size_t length) {
        hash_restored(restore, data, from + offset + length);
        return true;
    });
    progress->clear();
}

// The hash lets the user check the restored file against the one the compressor reported.
void print_restored_summary(const std::string& output_filename, size_t size, uint64_t hash) {
    std::printf("解压完成!\n");
    std::printf("输出文件: %s\n", output_filename.c_str());
    std::printf("解压后大小: %zu 字节\n", size);
    std::printf("文件哈希值: 0x%016llX\n", static_cast<unsigned long long>(hash));
}

struct PerformanceStats {
    clock_t start_time = 0;
    clock_t end_time = 0;
    size_t processed_bytes = 0;
    double compression_ratio = 0.0;
};

void print_performance_stats(PerformanceStats stats, double decode_time, size_t bytes_written) {
    // A span too short for the clock to see has no speed to speak of: 0, never inf or nan.
    double decode_speed =
        decode_time > 0.0 ? (static_cast<double>(bytes_written) / decode_time) / 1024.0 : 0.0;
    std::printf("\n=== 性能统计 ===\n");
    std::printf("压缩率: %.2f%%\n", stats.compression_ratio);
    std::printf("解码操作耗时: %.3f 秒\n", decode_time);
    std::printf("解码部分处理速度: %.2f KB/s\n", decode_speed);
    std::printf("===============\n");
}

int decompress_file_or_throw(const char* filename, const char* sender_info,
                             const char* receiver_info, int (*ask_method)(),
                             ProgressSink* progress) {
    progress->begin();
    PerformanceStats stats;
    stats.start_time = std::clock();
    const CompanionNames names = name_companion_files(filename);

    std::printf("正在构建解码信息...\n");
    DecodingTablePtr table = build_decoding_table(names.code_filename.c_str());
    if (!table) {
        std::printf("构建解码树失败\n");
        return -1;
    }
    const size_t original_size = table->original_size;

    std::unique_ptr<unsigned char[]> compressed_data;
    size_t compressed_size = 0;
    CompressedHeader header;
    if (!read_compressed_file(filename, sender_info, receiver_info, &header, &compressed_data,
                              &compressed_size, progress))
        return -1;
    const int decode_method = ask_method();
    if (decode_method < 1 || decode_method > 3)
        return -1;
    // Nothing waits for the user from here on: the long work begins.
    progress->begin();

    // Only the bytes a decoder writes are ever touched, so a size the data cannot fill costs
    // address space, not memory.
    auto decoded_data = try_alloc_uninit<unsigned char>(original_size);
    if (!decoded_data) {
        std::printf("内存分配失败\n");
        return -1;
    }
    const auto method = static_cast<EncryptMethod>(static_cast<uint32_t>(header.enc_method));
    RestoreHash restore{.method = method};
    const DecodeJob job{.compressed_data = compressed_data.get(),
                        .compressed_size = compressed_size,
                        .decoded_data = decoded_data.get(),
                        .original_size = original_size,
                        .code_filename = names.code_filename.c_str(),
                        .progress = progress,
                        .restore = &restore};
    DecodeRun run;
    double decode_start = seconds_now();
    if (!decode_with_chosen_method(decode_method, job, table.get(), &run))
        return -1;
    const size_t bytes_written = run.bytes_written;
    // A short result is never written: it would pass for the restored file.
    if (bytes_written != original_size) {
        progress->clear();
        std::printf("解码失败：解码后的数据大小不匹配\n");
        return -1;
    }
    // The compressor pads only the last byte, so a whole byte left unread means the packed
    // bits were not written with this code table: a table of a smaller file, say.
    if (8 * compressed_size - std::min(run.end, 8 * compressed_size) >= 8) {
        progress->clear();
        std::printf("解码失败：编码表与压缩文件不匹配\n");
        return -1;
    }
    double decode_end = seconds_now();
    double decode_time = decode_end - decode_start;

    finish_restored_hash(&restore, decoded_data.get(), bytes_written, progress);
    if (!write_output(filename, names.output_filename, decoded_data.get(), bytes_written, method,
                      progress))
        return -1;
    print_restored_summary(names.output_filename, bytes_written, restore.hash);

    stats.end_time = std::clock();
    stats.processed_bytes = bytes_written;
    stats.compression_ratio =
        static_cast<double>(compressed_size) / static_cast<double>(original_size) * 100.0;
    print_performance_stats(stats, decode_time, bytes_written);
    return 0;
}

}  // namespace

int decompress_file(const char* filename, const char* sender_info, const char* receiver_info,
                    int (*ask_method)(), ProgressSink* progress) {
    NoProgress unwatched;
    try {
        return decompress_file_or_throw(filename, sender_info, receiver_info, ask_method,
                                        progress != nullptr ? progress : &unwatched);
    } catch (const Interrupted&) {
        return -1;  // unwinding has removed the temporary
    }
}
