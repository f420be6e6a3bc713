#pragma once

// Slow, plain models of the decoding rules as documented, for the fuzz targets to compare
// the real readers and decoders with: a faster decoder must not drift from them on any
// table, well-formed or not.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "decompress.h"
#include "fuzz_support.h"

// The decoding tree as the tree reader builds it from a code table text (entries past the
// 256th ignored), and its walk.
class TreeModel {
  public:
    // False when the size line does not convert; the text ends at its first NUL for the size
    // line, as it does for the C library's conversion.
    bool build(std::string_view table_text);
    size_t original_size() const { return original_size_; }
    // Walks `packed` from the root, one byte per leaf, until `limit` bytes, the end of the
    // bits or a bit with no child.
    Bytes decode(const Bytes& packed, size_t limit) const;

  private:
    struct Node {
        size_t child[2] = {0, 0};  // 0: none (the root, node 0, is nobody's child)
        bool leaf = false;
        unsigned char byte = 0;
    };
    void insert(unsigned char byte, const unsigned char* code, size_t length);

    std::vector<Node> nodes_;
    size_t original_size_ = 0;
};

// Method 2: at every bit position the first of the first 256 entries whose code matches (an
// empty code of 0 matches anywhere, taking no bit); one bit is skipped where none does.
Bytes match_model(const Bytes& packed, const CodeEntry* entries, size_t count, size_t limit);

// Method 3: the window holds the next min(32, bits left) bits; the shortest matching code
// wins, the first entry among equal ones. A full window that matches nothing drops a bit, a
// shorter one ends decoding. *bits_taken is the count of bits a reader refilling its window one
// bit at a time has taken when decoding ends.
Bytes hash_model(const Bytes& packed, const CodeEntry* entries, size_t count, size_t limit,
                 size_t* bits_taken);
