#include "compress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "test_util.h"

// The nothrow allocations, which the code under test uses for its buffers, can be made to
// fail one by one; they still come from the usual allocator, so every release matches.
namespace {
long g_fail_countdown = -1;  // -1: never; otherwise the allocation at which it reaches 0 fails
long g_nothrow_calls = 0;
template <typename Alloc>
void* may_fail(Alloc alloc) noexcept {
    ++g_nothrow_calls;
    if (g_fail_countdown >= 0 && g_fail_countdown-- == 0)
        return nullptr;
    try {
        return alloc();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return may_fail([n] { return ::operator new(n); });
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return may_fail([n] { return ::operator new[](n); });
}

namespace {

using Bytes = std::vector<unsigned char>;

struct ResultDeleter {
    void operator()(CompressResult* r) const { free_compress_result(r); }
};
using ResultPtr = std::unique_ptr<CompressResult, ResultDeleter>;

ResultPtr compress(const Bytes& b) {
    return ResultPtr(compress_data(b.data(), b.size()));
}

// Bit k of the stream is bit 7 - k % 8 of byte k / 8; each byte's code, one bit at a time.
Bytes pack_bit_by_bit(const Bytes& input, const CompressResult& r) {
    std::vector<const HuffmanCode*> code_of(256);
    for (size_t i = 0; i < r.unique_chars; ++i)
        code_of[r.codes[i].byte] = &r.codes[i];
    Bytes out;
    size_t bit = 0;
    for (unsigned char b : input) {
        const HuffmanCode& code = *code_of[b];
        for (size_t k = 0; k < code.code_len; ++k, ++bit) {
            if (bit % 8 == 0)
                out.push_back(0);
            if ((code.code[k / 8] >> (7 - k % 8)) & 1)
                out.back() |= static_cast<unsigned char>(0x80 >> (bit % 8));
        }
    }
    return out;
}

// Fibonacci counts make the tree a chain: `values` values give a longest code of values - 1
// bits (one more under a filler value that outweighs them all), held by the two rarest, which
// come `scale` times each. They come first, after `lead` bytes of the most common value and
// `extra` of the next, so that across the leads a run of the longest codes meets the packer
// at every bit offset and every place in its group.
Bytes chain_input(size_t values, size_t scale, size_t filler, size_t lead, size_t extra) {
    std::vector<size_t> counts = {1, 1};
    while (counts.size() < values)
        counts.push_back(counts[counts.size() - 1] + counts[counts.size() - 2]);
    std::vector<size_t> left(256);
    for (size_t v = 0; v < values; ++v)
        left[7 * v] = scale * counts[v];
    left[0xEE] += filler;
    const size_t first = filler ? 0xEE : 7 * (values - 1);
    const size_t second = filler ? 7 * (values - 1) : 7 * (values - 2);
    Bytes input;
    for (auto [value, count] :
         {std::pair{second, extra}, {first, lead}, {0, left[0]}, {7, left[7]}})
        input.insert(input.end(), count, static_cast<unsigned char>(value));
    left[second] -= extra;
    left[first] -= lead;
    left[0] = left[7] = 0;
    for (size_t v = 0; v < 256; ++v)
        input.insert(input.end(), left[v], static_cast<unsigned char>(v));
    return input;
}

}  // namespace

class Packing : public TempDirTest {};

// The packer stores between groups of codes that the longest code sets, and takes two input
// bytes per lookup for inputs of a megabyte or more: each case sits at a group boundary. The
// compressed file gets the same bits, packed a chunk at a time straight into the file.
TEST_F(Packing, EveryGroupSizeAsTheBitByBitDefinition) {
    const size_t MIB = size_t{1} << 20;
    struct Case {
        size_t longest, values, scale, filler;
    };
    const std::vector<Case> cases = {
        {9, 10, 6, 0},      {10, 11, 6, 0},   {14, 15, 4, 0},   {15, 16, 4, 0},   {28, 29, 2, 0},
        {29, 30, 1, 0},     {32, 33, 1, 0},   {33, 34, 1, 0},   {9, 9, 6, MIB},   {10, 10, 6, MIB},
        {14, 14, 4, MIB},   {15, 15, 4, MIB}, {19, 19, 4, MIB}, {28, 28, 2, MIB}, {29, 29, 1, MIB},
        {1, 2, 5 * MIB, 0},  // 1-bit codes fill each chunk of the compressed file to its end
    };
    for (const Case& c : cases) {
        for (size_t lead = 0; lead < 16; ++lead) {
            const Bytes input = chain_input(c.values, c.scale, c.filler, lead / 2, lead % 2);
            if (input.size() > 3 * MIB && lead > 0)
                break;  // one code per store there: no offset can overflow it
            ResultPtr r = compress(input);
            ASSERT_TRUE(r);
            size_t longest = 0;
            for (size_t i = 0; i < r->unique_chars; ++i)
                longest = std::max(longest, r->codes[i].code_len);
            ASSERT_EQ(longest, c.longest) << c.values << " values";
            const Bytes expected = pack_bit_by_bit(input, *r);
            ASSERT_EQ(r->size, expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r->data.get()))
                << "longest code " << c.longest << ", " << input.size() << " bytes, lead " << lead;
            if (lead != 0)
                continue;
            // Stored so that the transform turns it into `input` again.
            Bytes stored = input;
            reverse_transform(stored.data(), stored.size(), ENCRYPT_METHOD_OFFSET);
            write_file("in", std::string_view(reinterpret_cast<const char*>(stored.data()),
                                              stored.size()));
            run_with_input("", [] { compress_file("in", "S", "R", ENCRYPT_METHOD_OFFSET); });
            const std::string written = read_file("in.hfm");
            EXPECT_TRUE(written.size() >= 6 &&
                        Bytes(written.begin() + 6, written.end()) == expected)
                << "compressed file, longest code " << c.longest;
        }
    }
    EXPECT_EQ(compress_data(nullptr, 0), nullptr);
    const Bytes one = {0x7F};  // a lone value gets the 1-bit code 0
    EXPECT_EQ(pack_bit_by_bit(one, *compress(one)), Bytes{0});
}

TEST(CompressData, EveryFailedAllocationFailsCleanly) {
    const std::string text = "the quick brown fox jumps over the lazy dog";
    const Bytes input(text.begin(), text.end());
    g_nothrow_calls = 0;
    ASSERT_TRUE(compress(input));
    const long needed = g_nothrow_calls;  // the record, the entries, one code per value, data
    ASSERT_GT(needed, 28);
    for (long n = 0; n < needed; ++n) {
        g_fail_countdown = n;
        ResultPtr r = compress(input);
        g_fail_countdown = -1;
        EXPECT_FALSE(r) << "allocation " << n;
    }
}
