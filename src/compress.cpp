#include "compress.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "bytes.h"
#include "interrupt.h"
#include "progress.h"
#include "resources.h"

namespace {

constexpr size_t MAX_NODES = 2 * 256 - 1;
constexpr size_t PATH_SIZE = 256;  // one place per tree level below the root
constexpr size_t HEADER_SIZE = 256;
constexpr int NO_CHILD = -1;

struct FrequencyItem_ {
    unsigned char byte;
    size_t frequency;
};

using FrequencyTable = std::array<FrequencyItem_, 256>;

// The tree lives in one fixed pool (at most 511 nodes), so building it cannot fail and
// releasing it is implicit; children are pool indices.
struct HuffmanNode_ {
    unsigned char byte = 0;  // 0 in every internal node
    size_t frequency = 0;
    int left = NO_CHILD;   // reached by bit 0
    int right = NO_CHILD;  // reached by bit 1
};

struct HuffmanTree {
    std::array<HuffmanNode_, MAX_NODES> nodes;
    size_t node_count = 0;
    int root = NO_CHILD;

    int create_node(unsigned char byte, size_t frequency) {
        nodes[node_count] = HuffmanNode_{byte, frequency, NO_CHILD, NO_CHILD};
        return static_cast<int>(node_count++);
    }
    bool is_leaf(int node) const {
        return nodes[node].left == NO_CHILD && nodes[node].right == NO_CHILD;
    }
};

// The counts by byte value, and how many values occur.
FrequencyTable frequency_table(const ByteCounter& counter, size_t* unique_count) {
    FrequencyTable freq;
    *unique_count = 0;
    for (size_t b = 0; b < 256; ++b) {
        freq[b].byte = static_cast<unsigned char>(b);
        freq[b].frequency = counter.count(b);
        if (freq[b].frequency != 0)
            ++*unique_count;
    }
    return freq;
}

// Lighter first; at equal weight the smaller byte, internal nodes carrying byte 0.
int compare_nodes(const HuffmanNode_& a, const HuffmanNode_& b) {
    if (a.frequency != b.frequency)
        return a.frequency < b.frequency ? -1 : 1;
    if (a.byte != b.byte)
        return a.byte < b.byte ? -1 : 1;
    return 0;
}

// Repeatedly merges the two lightest nodes found by a linear scan of the slots. Which of
// several equal-comparing nodes a scan meets first depends on where earlier merges put
// their parents, so the slot moves below are part of the code's definition: a heap would
// pick differently and change the codes.
void build_huffman_tree(const FrequencyTable& freq, size_t unique_count, HuffmanTree* tree) {
    std::array<int, 256> slots{};
    size_t node_count = 0;
    for (size_t b = 0; b < 256 && node_count < unique_count; ++b) {
        if (freq[b].frequency != 0)
            slots[node_count++] = tree->create_node(freq[b].byte, freq[b].frequency);
    }
    const auto& nodes = tree->nodes;
    while (node_count > 1) {
        size_t min1 = 0;
        size_t min2 = 1;
        if (compare_nodes(nodes[slots[0]], nodes[slots[1]]) > 0) {
            size_t temp = min1;
            min1 = min2;
            min2 = temp;
        }
        for (size_t i = 2; i < node_count; ++i) {
            if (compare_nodes(nodes[slots[i]], nodes[slots[min1]]) < 0) {
                min2 = min1;
                min1 = i;
            } else if (compare_nodes(nodes[slots[i]], nodes[slots[min2]]) < 0) {
                min2 = i;
            }
        }
        int parent =
            tree->create_node(0, nodes[slots[min1]].frequency + nodes[slots[min2]].frequency);
        tree->nodes[parent].left = slots[min1];
        tree->nodes[parent].right = slots[min2];
        slots[min1] = parent;
        --node_count;
        slots[min2] = slots[node_count];
    }
    tree->root = slots[0];
}

// Gives `entry` the code spelled by the first `depth` places of `path`; false when its
// buffer cannot be allocated.
bool set_code(HuffmanCode* entry, unsigned char byte, const unsigned char* path, size_t depth) {
    entry->byte = byte;
    entry->code_len = depth;
    entry->code = try_alloc<unsigned char>((depth + 7) / 8);
    if (!entry->code)
        return false;
    for (size_t i = 0; i < depth; ++i) {
        if (path[i] != 0)
            entry->code[i / 8] |= static_cast<unsigned char>(0x80u >> (i % 8));
    }
    return true;
}

// Depth-first, node before children and the 0-branch first, so the entries come out in
// ascending lexicographic order of their codes. False when a code buffer cannot be had.
bool generate_huffman_codes(const HuffmanTree& tree, int node, unsigned char* path, size_t depth,
                            HuffmanCode* codes, size_t* code_count) {
    if (node == NO_CHILD)
        return true;
    const HuffmanNode_& n = tree.nodes[node];
    if (tree.is_leaf(node)) {
        if (!set_code(&codes[*code_count], n.byte, path, depth))
            return false;
        ++*code_count;
        return true;
    }
    if (depth >= PATH_SIZE)
        return true;  // unreachable for any input that fits in memory
    path[depth] = 0;
    if (!generate_huffman_codes(tree, n.left, path, depth + 1, codes, code_count))
        return false;
    path[depth] = 1;
    return generate_huffman_codes(tree, n.right, path, depth + 1, codes, code_count);
}

// The packers store 8 bytes at a time and step over only the whole ones.
constexpr size_t PACK_SLACK = 8;

// The packed bits go to the compressed file in pieces of this size.
constexpr size_t PACKED_CHUNK_BYTES = size_t{1} << 20;

// A code cut into pieces of at most 32 bits, so that any length goes through the packer.
struct PackCode {
    std::array<uint32_t, PATH_SIZE / 32 + 1> pieces{};
    unsigned piece_count = 0;
    unsigned last_len = 0;  // bits in the last piece
};

PackCode make_pack_code(const HuffmanCode& entry) {
    PackCode pack;
    for (size_t start = 0; start < entry.code_len; start += 32) {
        size_t len = entry.code_len - start < 32 ? entry.code_len - start : 32;
        uint32_t bits = 0;
        for (size_t k = start; k < start + len; ++k)
            bits = (bits << 1) | ((entry.code[k / 8] >> (7 - k % 8)) & 1u);
        pack.pieces[pack.piece_count++] = bits;
        pack.last_len = static_cast<unsigned>(len);
    }
    return pack;
}

// A big-endian bit stream with a right-aligned accumulator: codes are added, and a store
// writes the accumulator's whole bytes with one 8-byte write (so the output needs PACK_SLACK
// bytes beyond the packed size) and keeps the up to 7 bits left over.
class Accumulator {
  public:
    explicit Accumulator(unsigned char* out) : out_(out) {}

    // Appends the low `len` bits of `bits`; the caller stores before 64 bits are pending.
    void add(uint64_t bits, unsigned len) {
        acc_ = (acc_ << len) | bits;
        pending_ += len;
    }

    // Whether `len` more bits fit before the next store.
    bool fits(unsigned len) const { return pending_ + len <= 64; }

    // Needs at least one bit pending.
    void store() {
        store_be64(out_, acc_ << (64 - pending_));
        out_ += pending_ / 8;
        pending_ %= 8;
    }

    // Where the next whole byte goes.
    unsigned char* position() const { return out_; }

    // Goes on at `out`, the bits left over still pending.
    void move_to(unsigned char* out) { out_ = out; }

    // Writes the last, partly filled byte, if any (its unused low bits are 0); the bytes
    // written, 0 or 1.
    size_t finish() {
        if (pending_ == 0)
            return 0;
        *out_ = static_cast<unsigned char>(acc_ << (8 - pending_));
        return 1;
    }

  private:
    unsigned char* out_;
    uint64_t acc_ = 0;      // the pending bits in its low end, the newest lowest
    unsigned pending_ = 0;  // 0 to 7 between stores
};

// The accumulator bits free after a store, for the codes added before the next one.
constexpr size_t ROOM_BITS = 64 - 7;

// Codes of at most 32 bits by byte value.
struct ByteCodes {
    std::array<uint64_t, 256> bits{};
    std::array<unsigned char, 256> lens{};
};

// GROUP codes between two stores: as many as fit in ROOM_BITS.
template <unsigned GROUP>
void pack_bytes(const unsigned char* content, size_t size, const ByteCodes& codes,
                Accumulator* shared) {
    // A copy the stores cannot reach stays in registers; through the pointer, every store
    // would force the compiler to reload it.
    Accumulator acc = *shared;
    size_t i = 0;
    for (; size - i >= GROUP; i += GROUP) {
        for (unsigned g = 0; g < GROUP; ++g)
            acc.add(codes.bits[content[i + g]], codes.lens[content[i + g]]);
        acc.store();
    }
    for (; i < size; ++i) {
        acc.add(codes.bits[content[i]], codes.lens[content[i]]);
        acc.store();
    }
    *shared = acc;
}

// The codes of every pair of byte values joined, indexed by the first byte plus 256 times the
// second, so one lookup serves two input bytes. It is half a megabyte, worth building only
// for inputs many times larger.
struct PairCodes {
    static constexpr size_t MIN_INPUT = size_t{1} << 20;
    std::array<uint64_t, 256 * 256> bits;
    std::array<unsigned char, 256 * 256> lens;
};

// Null when memory runs out.
std::unique_ptr<PairCodes[]> make_pair_codes(const ByteCodes& codes) {
    auto block = try_alloc_uninit<PairCodes>(1);
    PairCodes* pairs = block.get();
    if (!pairs)
        return nullptr;
    for (size_t second = 0; second < 256; ++second) {
        for (size_t first = 0; first < 256; ++first) {
            pairs->bits[first + 256 * second] =
                (codes.bits[first] << codes.lens[second]) | codes.bits[second];
            pairs->lens[first + 256 * second] =
                static_cast<unsigned char>(codes.lens[first] + codes.lens[second]);
        }
    }
    return block;
}

// The pair table's index of the two bytes at `p`: one 16-bit load.
size_t pair_index(const unsigned char* p) {
    return load_le16(p);
}

template <unsigned GROUP>
void pack_pairs(const unsigned char* content, size_t size, const PairCodes* pairs,
                const ByteCodes& codes, Accumulator* shared) {
    Accumulator acc = *shared;  // in registers, as in pack_bytes
    size_t i = 0;
    for (; size - i >= 2 * GROUP; i += 2 * GROUP) {
        for (unsigned g = 0; g < GROUP; ++g) {
            const size_t index = pair_index(content + i + 2 * g);
            acc.add(pairs->bits[index], pairs->lens[index]);
        }
        acc.store();
    }
    *shared = acc;
    pack_bytes<1>(content + i, size - i, codes, shared);
}

// Two pairs between stores where two pairs of the longest codes might not fit: a store comes
// between them only when they do not, which with skewed codes almost never happens.
void pack_pairs_checked(const unsigned char* content, size_t size, const PairCodes* pairs,
                        const ByteCodes& codes, Accumulator* shared) {
    Accumulator acc = *shared;  // in registers, as in pack_bytes
    size_t i = 0;
    for (; size - i >= 4; i += 4) {
        const size_t first = pair_index(content + i);
        const size_t second = pair_index(content + i + 2);
        acc.add(pairs->bits[first], pairs->lens[first]);
        if (!acc.fits(pairs->lens[second]))
            acc.store();
        acc.add(pairs->bits[second], pairs->lens[second]);
        acc.store();
    }
    *shared = acc;
    pack_bytes<1>(content + i, size - i, codes, shared);
}

// Packs `content` in blocks of at most `block_bytes` into `out`. After each block the whole
// bytes packed since the last hand-over go to `emit(begin, size)`, which returns where the
// next bytes go (begin + size to go on in one buffer), or null to stop: then false. The last
// partly filled byte goes with the last hand-over.
template <typename Emit>
bool pack_data(const unsigned char* content, size_t size, const HuffmanCode* codes,
               size_t code_count, unsigned char* out, size_t block_bytes, ProgressSink* progress,
               Emit&& emit) {
    std::array<PackCode, 256> pack_codes;
    ByteCodes short_codes;
    size_t max_len = 0;
    for (size_t i = 0; i < code_count; ++i) {
        unsigned char b = codes[i].byte;
        pack_codes[b] = make_pack_code(codes[i]);
        short_codes.bits[b] = pack_codes[b].pieces[0];
        short_codes.lens[b] = static_cast<unsigned char>(pack_codes[b].last_len);
        max_len = std::max(max_len, codes[i].code_len);
    }
    // Where six codes fit between stores, a lookup per byte is as fast as one per pair, and
    // the pair table's memory is better spent elsewhere. Without memory for the table, the
    // bytes go one at a time.
    std::unique_ptr<PairCodes[]> pairs;
    if (size >= PairCodes::MIN_INPUT && max_len * 6 > ROOM_BITS && max_len * 2 <= ROOM_BITS)
        pairs = make_pair_codes(short_codes);
    Accumulator acc(out);
    // The accumulator carries the pending bits from one block to the next, so the blocks
    // pack exactly as the whole input would in one piece.
    for (size_t offset = 0; offset < size;) {
        const size_t length = std::min(size - offset, block_bytes);
        const unsigned char* block = content + offset;
        if (max_len * 6 <= ROOM_BITS)
            pack_bytes<6>(block, length, short_codes, &acc);
        else if (pairs && max_len * 4 <= ROOM_BITS)
            pack_pairs<2>(block, length, pairs.get(), short_codes, &acc);
        else if (pairs && max_len * 2 <= ROOM_BITS)
            pack_pairs_checked(block, length, pairs.get(), short_codes, &acc);
        else if (max_len * 4 <= ROOM_BITS)
            pack_bytes<4>(block, length, short_codes, &acc);
        else if (max_len * 2 <= ROOM_BITS)
            pack_bytes<2>(block, length, short_codes, &acc);
        else if (max_len <= 32)
            pack_bytes<1>(block, length, short_codes, &acc);
        else {
            // Some code is longer than 32 bits: those go in 32-bit pieces, a store after each.
            for (size_t i = 0; i < length; ++i) {
                const PackCode& pack = pack_codes[block[i]];
                for (unsigned p = 0; p + 1 < pack.piece_count; ++p) {
                    acc.add(pack.pieces[p], 32);
                    acc.store();
                }
                acc.add(pack.pieces[pack.piece_count - 1], pack.last_len);
                acc.store();
            }
        }
        offset += length;
        size_t whole = static_cast<size_t>(acc.position() - out);
        size_t last = offset == size ? acc.finish() : 0;
        out = emit(out, whole + last);
        if (out == nullptr)
            return false;
        acc.move_to(out);
        check_interrupt();
        if (progress != nullptr)
            progress->update(offset);
    }
    return true;
}

// The whole input with the transform applied, counted into `counter`; null after printing
// why it could not be read. Each piece is transformed and counted as soon as it is read,
// while it is still in the processor's cache.
std::unique_ptr<unsigned char[]> read_input(const char* filename, EncryptMethod method,
                                            size_t* file_size, ByteCounter* counter,
                                            ProgressSink* progress) {
    // Some systems open a folder like a file; it is no input all the same.
    FilePtr in(is_directory(filename) ? nullptr : open_file(filename, "rb"));
    if (!in) {
        std::printf("无法打开文件: %s\n", filename);
        return nullptr;
    }
    int64_t end = end_position(in.get());
    if (end < 0 || !seek_file(in.get(), 0, SEEK_SET)) {
        std::printf("无法获取文件大小: %s\n", filename);
        return nullptr;
    }
    *file_size = static_cast<size_t>(end);
    auto content = try_alloc_uninit<unsigned char>(*file_size);
    if (!content) {
        std::printf("内存分配失败\n");
        return nullptr;
    }
    constexpr size_t PIECE_BYTES = 256 * 1024;
    progress->start("读取", *file_size);
    if (!run_in_blocks(*file_size, progress, [&](size_t offset, size_t length) {
            for (size_t done = 0; done < length;) {
                unsigned char* piece = content.get() + offset + done;
                size_t piece_size = std::min(length - done, PIECE_BYTES);
                if (read_fully(piece, piece_size, in.get()) != piece_size)
                    return false;
                apply_transform(piece, piece_size, method);
                counter->add(piece, piece_size);
                done += piece_size;
            }
            return true;
        })) {
        progress->clear();
        std::printf("文件读取失败\n");
        return nullptr;
    }
    return content;
}

}  // namespace

void apply_transform(unsigned char* data, size_t size, EncryptMethod method) {
    if (method == ENCRYPT_METHOD_OFFSET) {
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<unsigned char>(data[i] + KEY_BYTE);
    } else if (method == ENCRYPT_METHOD_XOR) {
        for (size_t i = 0; i < size; ++i)
            data[i] ^= KEY_BYTE;
    }
}

void reverse_transform(unsigned char* data, size_t size, EncryptMethod method) {
    if (method == ENCRYPT_METHOD_OFFSET) {
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<unsigned char>(data[i] - KEY_BYTE);
    } else if (method == ENCRYPT_METHOD_XOR) {
        for (size_t i = 0; i < size; ++i)
            data[i] ^= KEY_BYTE;
    }
}

namespace {

// The codes of `size` bytes and the packed size they give, without the packed bits. Null on
// an empty buffer or a failed allocation.
std::unique_ptr<CompressResult> assign_codes(const unsigned char* content, size_t size,
                                             const ByteCounter& counter) {
    // The record itself is the one allocation not made through try_alloc: it is a single
    // object that free_compress_result adopts.
    std::unique_ptr<CompressResult> result(new (std::nothrow) CompressResult());
    if (!result)
        return nullptr;
    result->original_size = size;

    size_t unique_count = 0;
    FrequencyTable freq = frequency_table(counter, &unique_count);
    if (unique_count == 0)
        return nullptr;

    result->codes = try_alloc<HuffmanCode>(unique_count);
    if (!result->codes)
        return nullptr;
    result->unique_chars = unique_count;

    if (unique_count == 1) {
        // A lone byte value would sit at the root with a code of no bits, which no decoder
        // can restore; the 1-bit code 0 keeps every decoder working.
        const unsigned char zero_bit = 0;
        unsigned char byte = content[0];
        if (!set_code(&result->codes[0], byte, &zero_bit, 1))
            return nullptr;
    } else {
        HuffmanTree tree;
        build_huffman_tree(freq, unique_count, &tree);
        std::array<unsigned char, PATH_SIZE> path{};
        size_t code_count = 0;
        if (!generate_huffman_codes(tree, tree.root, path.data(), 0, result->codes.get(),
                                    &code_count) ||
            code_count != unique_count)
            return nullptr;
    }

    // Every byte value has exactly one entry, so the total follows from the counts.
    std::array<size_t, 256> code_len{};
    for (size_t i = 0; i < unique_count; ++i)
        code_len[result->codes[i].byte] = result->codes[i].code_len;
    size_t total_bits = 0;
    for (size_t b = 0; b < 256; ++b)
        total_bits += freq[b].frequency * code_len[b];
    result->size = total_bits / 8 + (total_bits % 8 != 0 ? 1 : 0);
    return result;
}

size_t longest_code(const CompressResult& result) {
    size_t longest = 0;
    for (size_t i = 0; i < result.unique_chars; ++i)
        longest = std::max(longest, result.codes[i].code_len);
    return longest;
}

}  // namespace

CompressResult* compress_data(const unsigned char* content, size_t size, ProgressSink* progress) {
    ByteCounter counter;
    if (progress != nullptr)
        progress->start("统计", size);
    run_in_blocks(size, progress, [&](size_t offset, size_t length) {
        counter.add(content + offset, length);
        return true;
    });
    std::unique_ptr<CompressResult> result = assign_codes(content, size, counter);
    if (!result)
        return nullptr;
    result->data = try_alloc_uninit<unsigned char>(result->size + PACK_SLACK);
    if (!result->data)
        return nullptr;
    if (progress != nullptr)
        progress->start("压缩", size);
    pack_data(content, size, result->codes.get(), result->unique_chars, result->data.get(),
              PROGRESS_BLOCK_BYTES, progress,
              [](unsigned char* begin, size_t bytes) { return begin + bytes; });
    return result.release();
}

std::string format_code_table(const CompressResult& result) {
    std::string text = std::to_string(result.original_size) + "\n";
    char field[8];
    for (size_t i = 0; i < result.unique_chars; ++i) {
        const HuffmanCode& entry = result.codes[i];
        std::snprintf(field, sizeof field, "0x%02X ", entry.byte);
        text += field;
        std::snprintf(field, sizeof field, "0x%02X", static_cast<unsigned>(entry.code_len & 0xFF));
        text += field;
        for (size_t k = 0; k < (entry.code_len + 7) / 8; ++k) {
            std::snprintf(field, sizeof field, " 0x%02X", entry.code[k]);
            text += field;
        }
        text += '\n';
    }
    return text;
}

std::string compressed_file_name(const char* filename) {
    return std::string(filename) + ".hfm";
}

std::string code_table_file_name(const char* filename) {
    return compressed_file_name(filename) + ".code";
}

void free_compress_result(CompressResult* result) {
    std::unique_ptr<CompressResult> owned(result);
}

namespace {

int compress_file_or_throw(const char* filename, const char* sender_info, const char* receiver_info,
                           EncryptMethod method, ProgressSink& progress) {
    progress.begin();
    size_t file_size = 0;
    ByteCounter counter;
    std::unique_ptr<unsigned char[]> content =
        read_input(filename, method, &file_size, &counter, &progress);
    if (!content)
        return -1;

    // The packed bits go to the file a chunk at a time as they are made, never held whole.
    std::unique_ptr<CompressResult> result = assign_codes(content.get(), file_size, counter);
    auto chunk = try_alloc_uninit<unsigned char>(PACKED_CHUNK_BYTES + PACK_SLACK);
    // Lines may follow before the data is written; the packing brings the bar back.
    progress.clear();
    if (!result || !chunk) {
        std::printf("压缩失败\n");
        return -1;
    }

    const std::string compressed_filename = compressed_file_name(filename);
    const std::string code_filename = code_table_file_name(filename);

    PendingFile compressed(compressed_filename);
    if (!compressed.open("wb")) {
        std::printf("无法创建压缩文件: %s\n", compressed_filename.c_str());
        return -1;
    }
    // A header that does not fit fails before anything reaches the final names.
    char header[HEADER_SIZE];
    int header_len = std::snprintf(header, sizeof header, "%d\n%s\n%s\n", static_cast<int>(method),
                                   sender_info, receiver_info);
    if (header_len < 0 || static_cast<size_t>(header_len) >= sizeof header) {
        std::printf("头信息生成失败\n");
        return -1;
    }
    if (!compressed.write(header, static_cast<size_t>(header_len))) {
        std::printf("写入头信息失败\n");
        return -1;
    }
    // Input blocks short enough that even the longest code fills no more than a chunk.
    const size_t block_bytes = (PACKED_CHUNK_BYTES - 8) * 8 / longest_code(*result);
    progress.start("压缩", file_size);
    bool written =
        pack_data(content.get(), file_size, result->codes.get(), result->unique_chars, chunk.get(),
                  block_bytes, &progress, [&](unsigned char* begin, size_t bytes) {
                      return compressed.write(begin, bytes) ? begin : nullptr;
                  });
    progress.clear();
    content.reset();
    if (!written || !compressed.close()) {
        std::printf("写入压缩数据失败\n");
        return -1;
    }

    PendingFile code_table(code_filename);
    if (!code_table.open("w")) {
        std::printf("无法创建编码表文件: %s\n", code_filename.c_str());
        return -1;
    }
    const std::string table_text = format_code_table(*result);
    if (!code_table.write(table_text.data(), table_text.size()) || !code_table.close()) {
        std::printf("写入编码表文件失败\n");
        return -1;
    }

    // Both files are complete: only now do they replace any earlier pair.
    if (!compressed.commit()) {
        std::printf("无法创建压缩文件: %s\n", compressed_filename.c_str());
        return -1;
    }
    std::printf("压缩文件已保存: %s\n", compressed_filename.c_str());
    if (!code_table.commit()) {
        std::printf("无法创建编码表文件: %s\n", code_filename.c_str());
        return -1;
    }
    std::printf("编码表文件已保存: %s\n", code_filename.c_str());
    return 0;
}

}  // namespace

int compress_file(const char* filename, const char* sender_info, const char* receiver_info,
                  EncryptMethod method, ProgressSink* progress) {
    NoProgress unwatched;
    try {
        return compress_file_or_throw(filename, sender_info, receiver_info, method,
                                      progress != nullptr ? *progress : unwatched);
    } catch (const Interrupted&) {
        return -1;  // unwinding has removed the temporaries
    }
}
