#include "models.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr unsigned WINDOW_BITS = 32;

// The tree reader's limits: a line arrives in pieces of at most this many characters, and a
// code has at most this many bits.
constexpr size_t LINE_PIECE = 1023;
constexpr size_t MAX_TREE_CODE_BITS = 256;

unsigned bit_at(const Bytes& packed, size_t bit) {
    return bit / 8 < packed.size() ? (packed[bit / 8] >> (7 - bit % 8)) & 1u : 0;
}

// The 32 bits from `bit` on, first bit most significant, bits past the end read as 0.
uint32_t window_at(const Bytes& packed, size_t bit) {
    uint32_t window = 0;
    for (size_t k = bit; k < bit + WINDOW_BITS; ++k)
        window = (window << 1) | bit_at(packed, k);
    return window;
}

// Whether `entry` matches at a position with `left` bits remaining; lengths of 0 and above
// 32 never match.
bool matches(const CodeEntry& entry, uint32_t window, size_t left) {
    unsigned len = entry.code_len;
    return len >= 1 && len <= WINDOW_BITS && len <= left &&
           (window >> (WINDOW_BITS - len)) == entry.code;
}

// Tokens of a line piece, split at spaces, tabs and line feeds.
std::vector<std::string> tokens(std::string_view piece) {
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = piece.find_first_not_of(" \t\n", at)) != std::string_view::npos) {
        size_t end = std::min(piece.find_first_of(" \t\n", at), piece.size());
        out.emplace_back(piece.substr(at, end - at));
        at = end;
    }
    return out;
}

unsigned long hex(const std::string& token) {
    return std::strtoul(token.c_str(), nullptr, 16);
}

}  // namespace

bool TreeModel::build(std::string_view table_text) {
    nodes_.assign(1, Node{});
    const std::string text(table_text);
    int used = 0;
    if (std::sscanf(text.c_str(), "%zu\n%n", &original_size_, &used) != 1)
        return false;
    size_t inserted = 0;
    for (size_t at = static_cast<size_t>(used);
         at < text.size() && inserted < CODE_TABLE_MAX_ENTRIES;) {
        size_t line_end = text.find('\n', at);
        size_t end = line_end == std::string::npos ? text.size() : line_end + 1;
        end = std::min(end, at + LINE_PIECE);
        std::string_view piece(text.data() + at, end - at);
        at = end;
        std::vector<std::string> fields = tokens(piece.substr(0, piece.find('\0')));
        if (fields.size() < 2)
            continue;
        unsigned long length = hex(fields[1]);
        if (length == 0 || length > MAX_TREE_CODE_BITS)
            continue;
        unsigned char code[MAX_TREE_CODE_BITS / 8] = {};
        for (size_t k = 0; k < (length + 7) / 8 && k + 2 < fields.size(); ++k)
            code[k] = static_cast<unsigned char>(hex(fields[k + 2]));
        insert(static_cast<unsigned char>(hex(fields[0])), code, length);
        ++inserted;
    }
    return true;
}

// A leaf replaces whatever its place held; a longer code runs on through an earlier leaf.
void TreeModel::insert(unsigned char byte, const unsigned char* code, size_t length) {
    size_t current = 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned bit = (code[i / 8] >> (7 - i % 8)) & 1u;
        if (i + 1 == length) {
            nodes_.push_back(Node{{0, 0}, true, byte});
            nodes_[current].child[bit] = nodes_.size() - 1;
            return;
        }
        if (nodes_[current].child[bit] == 0) {
            nodes_.push_back(Node{});
            nodes_[current].child[bit] = nodes_.size() - 1;
        }
        current = nodes_[current].child[bit];
    }
}

Bytes TreeModel::decode(const Bytes& packed, size_t limit) const {
    Bytes out;
    size_t current = 0;
    for (size_t bit = 0; bit < 8 * packed.size() && out.size() < limit; ++bit) {
        size_t next = nodes_[current].child[bit_at(packed, bit)];
        if (next == 0)
            break;
        if (nodes_[next].leaf) {
            out.push_back(nodes_[next].byte);
            current = 0;
        } else {
            current = next;
        }
    }
    return out;
}

Bytes match_model(const Bytes& packed, const CodeEntry* entries, size_t count, size_t limit) {
    count = std::min(count, CODE_TABLE_MAX_ENTRIES);
    Bytes out;
    const size_t total_bits = 8 * packed.size();
    size_t bit = 0;
    while (bit < total_bits && out.size() < limit) {
        uint32_t window = window_at(packed, bit);
        size_t consumed = 1;
        for (size_t i = 0; i < count; ++i) {
            const CodeEntry& entry = entries[i];
            // Zero bits read are 0: an empty code of 0 matches without taking a bit.
            if (entry.code_len == 0 ? entry.code == 0 : matches(entry, window, total_bits - bit)) {
                out.push_back(entry.byte);
                consumed = entry.code_len;
                break;
            }
        }
        bit += consumed;
    }
    return out;
}

Bytes hash_model(const Bytes& packed, const CodeEntry* entries, size_t count, size_t limit,
                 size_t* bits_taken) {
    Bytes out;
    const size_t total_bits = 8 * packed.size();
    size_t bit = 0;
    // The reader refills its window one bit at a time before each step, so it has taken the
    // bits up to a window past the last step's start.
    *bits_taken = 0;
    while (out.size() < limit) {
        *bits_taken = std::max(*bits_taken, std::min<size_t>(bit + WINDOW_BITS, total_bits));
        if (bit >= total_bits)
            break;
        uint32_t window = window_at(packed, bit);
        const CodeEntry* hit = nullptr;
        for (size_t i = 0; i < count; ++i) {
            if (matches(entries[i], window, total_bits - bit) &&
                (!hit || entries[i].code_len < hit->code_len))
                hit = &entries[i];
        }
        if (hit) {
            out.push_back(hit->byte);
            bit += hit->code_len;
        } else if (total_bits - bit < WINDOW_BITS) {
            break;
        } else {
            ++bit;
        }
    }
    return out;
}
