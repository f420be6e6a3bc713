#include "compress.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <map>
#include <new>
#include <random>
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
using Codes = std::vector<std::pair<int, std::string>>;

struct ResultDeleter {
    void operator()(CompressResult* r) const { free_compress_result(r); }
};
using ResultPtr = std::unique_ptr<CompressResult, ResultDeleter>;

ResultPtr compress(const Bytes& b) {
    return ResultPtr(compress_data(b.data(), b.size()));
}
Bytes bytes_of(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The entries as (byte, code bits), in entry order.
Codes codes_of(const CompressResult& r) {
    Codes out;
    for (size_t i = 0; i < r.unique_chars; ++i) {
        std::string bits;
        for (size_t k = 0; k < r.codes[i].code_len; ++k)
            bits += (r.codes[i].code[k / 8] >> (7 - k % 8)) & 1 ? '1' : '0';
        out.emplace_back(r.codes[i].byte, bits);
    }
    return out;
}

// Bit k of the stream is bit 7 - k % 8 of byte k / 8, one bit at a time.
Bytes reference_pack(const Bytes& input, const CompressResult& r) {
    std::map<unsigned char, std::string> code;
    for (const auto& [byte, bits] : codes_of(r))
        code[static_cast<unsigned char>(byte)] = bits;
    Bytes out;
    size_t bit = 0;
    for (unsigned char b : input) {
        for (char c : code.at(b)) {
            if (bit % 8 == 0)
                out.push_back(0);
            if (c == '1')
                out.back() |= static_cast<unsigned char>(0x80 >> (bit % 8));
            ++bit;
        }
    }
    return out;
}

}  // namespace

TEST(CompressData, AssignsCodesInWalkOrderWithFixedTieBreaks) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<unsigned char>(i);
    const std::vector<std::pair<Bytes, Codes>> cases = {
        // 0x43 (1) + 0x42 (2) first; their parent (3) precedes 0x41 (3) at equal weight.
        {{0x41, 0x41, 0x41, 0x42, 0x42, 0x43}, {{0x43, "00"}, {0x42, "01"}, {0x41, "1"}}},
        {bytes_of("abc"), {{0x63, "0"}, {0x61, "10"}, {0x62, "11"}}},
        {bytes_of("AAAABBBBCCDD"), {{0x42, "0"}, {0x43, "100"}, {0x44, "101"}, {0x41, "11"}}},
        {bytes_of("zzzq"), {{'q', "0"}, {'z', "1"}}},
        {bytes_of("yxyx"), {{'x', "0"}, {'y', "1"}}},
        // A lone value gets the 1-bit code 0: a code of no bits could not be decoded.
        {Bytes(5, 0xBB), {{0xBB, "0"}}},
        // 0x01 + 0x02 make a node of weight 2 in slot 1; 0x00 (2) in slot 0 is taken first.
        {{0, 0, 1, 2}, {{0x00, "0"}, {0x01, "10"}, {0x02, "11"}}},
    };
    for (const auto& [input, codes] : cases) {
        ResultPtr r = compress(input);
        ASSERT_TRUE(r);
        EXPECT_EQ(codes_of(*r), codes);
        EXPECT_EQ(r->original_size, input.size());
    }
    ResultPtr r = compress(all);
    ASSERT_TRUE(r);
    Codes codes = codes_of(*r);
    EXPECT_EQ(
        Codes(codes.begin(), codes.begin() + 4),
        (Codes{{0x00, "00000000"}, {0x01, "00000001"}, {0x80, "00000010"}, {0x81, "00000011"}}));
    EXPECT_TRUE(
        std::all_of(codes.begin(), codes.end(), [](auto& c) { return c.second.size() == 8; }));
    Bytes empty;
    EXPECT_EQ(compress_data(empty.data(), 0), nullptr);
}

TEST(CompressData, PackingMatchesTheBitByBitDefinition) {
    std::mt19937 rng(20261206);
    std::vector<Bytes> inputs = {Bytes(100001), Bytes(4097), {0x7F}};
    for (size_t i = 0; i < 2; ++i)
        std::generate(inputs[i].begin(), inputs[i].end(), [&] { return rng() % (i ? 5 : 256); });
    // Fibonacci counts make the tree a chain: 34 values give a longest code of 33 bits.
    std::vector<size_t> counts = {1, 1};
    while (counts.size() < 34)
        counts.push_back(counts[counts.size() - 1] + counts[counts.size() - 2]);
    Bytes chain;
    for (size_t v = 0; v < counts.size(); ++v)
        chain.insert(chain.end(), counts[v], static_cast<unsigned char>(v * 7));
    std::shuffle(chain.begin(), chain.end(), rng);
    inputs.push_back(chain);
    // Large inputs are packed in groups that the longest code sets (six bytes, or two or one
    // pairs of bytes, between stores): a filler byte beside chains of 3, 12 and 22 values
    // reaches each.
    for (size_t values : {3, 12, 22}) {
        Bytes input(size_t{1} << 20 | 1, 0xEE);
        for (size_t v = 0, at = 0; v < values; at += counts[v++])
            std::fill_n(input.begin() + static_cast<long>(at), counts[v], v);
        std::shuffle(input.begin(), input.end(), rng);
        inputs.push_back(input);
    }

    for (const Bytes& input : inputs) {
        ResultPtr r = compress(input);
        ASSERT_TRUE(r);
        Bytes expected = reference_pack(input, *r);
        ASSERT_EQ(r->size, expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r->data.get()));
    }
    size_t longest = 0;
    for (const auto& code : codes_of(*compress(chain)))
        longest = std::max(longest, code.second.size());
    EXPECT_EQ(longest, 33u);
}

TEST(CompressData, EveryFailedAllocationFailsCleanly) {
    const Bytes input = bytes_of("the quick brown fox jumps over the lazy dog");
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

class CompressFile : public TempDirTest {
  protected:
    std::string compress_file_quiet(const std::string& name, const std::string& sender,
                                    EncryptMethod method, int* status) {
        return capture_stdout(
            [&] { *status = compress_file(name.c_str(), sender.c_str(), "def", method); });
    }
};

TEST_F(CompressFile, WritesTheWorkedExampleForBothTransforms) {
    // Both inputs transform to 41 41 41 42 42 43.
    for (auto [method, input] : {std::pair{ENCRYPT_METHOD_OFFSET, "\xF6\xF6\xF6\xF7\xF7\xF8"},
                                 {ENCRYPT_METHOD_XOR, "\x0A\x0A\x0A\x09\x09\x08"}}) {
        write_file("in.bin", input);
        for (int twice = 0; twice < 2; ++twice) {
            int status = -1;
            EXPECT_EQ(compress_file_quiet("in.bin", "abc", method, &status),
                      "压缩文件已保存: in.bin.hfm\n编码表文件已保存: in.bin.hfm.code\n");
            EXPECT_EQ(status, 0);
            EXPECT_EQ(read_file("in.bin.hfm"),
                      std::to_string(method) + "\nabc\ndef\n" + std::string("\xEA\x00", 2));
            EXPECT_EQ(without_cr_lf(read_file("in.bin.hfm.code")),
                      "6\n0x43 0x02 0x00\n0x42 0x02 0x40\n0x41 0x01 0x80\n");
        }
    }
    write_file("one.txt", std::string(10, static_cast<char>(0xBB - KEY_BYTE)));
    int status = -1;
    compress_file_quiet("one.txt", "", ENCRYPT_METHOD_OFFSET, &status);
    EXPECT_EQ(without_cr_lf(read_file("one.txt.hfm.code")), "10\n0xBB 0x01 0x00\n");
    EXPECT_EQ(read_file("one.txt.hfm"), std::string("0\n\ndef\n\x00\x00", 9));
    EXPECT_EQ(files_here(),
              (std::vector<std::string>{"in.bin", "in.bin.hfm", "in.bin.hfm.code", "one.txt",
                                        "one.txt.hfm", "one.txt.hfm.code"}));
}

#ifndef _WIN32  // pipes named under /dev/fd and symbolic links
TEST_F(CompressFile, FailuresPrintTheirMessageAndLeaveNoFiles) {
    write_file("empty.txt", "");
    write_file("text.txt", "hello");
    std::filesystem::create_directory("folder");
    const std::string fits(246, 'k'), too_long_code(250, 'n'), too_long(253, 'm');
    for (const auto& name :
         {fits, too_long_code, too_long, std::string("blocked.txt"), std::string("linked.txt")})
        write_file(name, "some text");
    // Names that cannot be opened for writing: a folder, a link into a missing folder.
    std::filesystem::create_directory("blocked.txt.hfm");
    std::filesystem::create_symlink("nowhere/x", "linked.txt.hfm");
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);  // a pipe opens like a file but has no end position
    const std::string pipe_name = "/dev/fd/" + std::to_string(pipe_fds[0]);
    const std::string s248(248, 's');  // "0\n" + s248 + "\ndef\n" is the longest header: 255 bytes
    struct Case {
        std::string file, sender, message;
    };
    const std::vector<Case> cases = {
        {"nope.txt", "a", "无法打开文件: nope.txt\n"},
        {"folder", "a", "无法打开文件: folder\n"},
        {"empty.txt", "a", "压缩失败\n"},
        {pipe_name, "a", "无法获取文件大小: " + pipe_name + "\n"},
        {"text.txt", s248 + "s", "头信息生成失败\n"},
        {"blocked.txt", s248 + "s", "无法创建压缩文件: blocked.txt.hfm\n"},
        {"linked.txt", "a", "无法创建压缩文件: linked.txt.hfm\n"},
        {too_long, "a", "无法创建压缩文件: " + too_long + ".hfm\n"},
        {too_long_code, "a", "无法创建编码表文件: " + too_long_code + ".hfm.code\n"},
    };
    const std::vector<std::string> before = files_here();
    for (const auto& c : cases) {
        int status = 0;
        EXPECT_EQ(compress_file_quiet(c.file, c.sender, ENCRYPT_METHOD_OFFSET, &status), c.message);
        EXPECT_EQ(status, -1) << c.message;
    }
    EXPECT_EQ(files_here(), before);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    // The longest header and the longest name whose code table name fits are written whole.
    int status = -1;
    compress_file_quiet("text.txt", s248, ENCRYPT_METHOD_OFFSET, &status);
    EXPECT_EQ(read_file("text.txt.hfm").substr(0, 255), "0\n" + s248 + "\ndef\n");
    compress_file_quiet(fits, "a", ENCRYPT_METHOD_OFFSET, &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(file_exists(fits + ".hfm.code"));
    // A link is written through, as opening its name would, and stays a link.
    std::filesystem::remove("linked.txt.hfm");
    std::filesystem::create_symlink("target", "linked.txt.hfm");
    compress_file_quiet("linked.txt", "a", ENCRYPT_METHOD_OFFSET, &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink("linked.txt.hfm"));
    EXPECT_EQ(read_file("target").substr(0, 8), "0\na\ndef\n");
}
#endif
