#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "compress.h"
#include "test_util.h"

// ---- A switch that makes the nth non-throwing allocation fail --------------------------------
// Every allocation of the program goes through these replacements; only the nothrow forms,
// which are what the code under test uses for buffers, can be made to fail.

namespace {
long g_nothrow_countdown = -1;  // -1: never fail; otherwise fail when it reaches 0
long g_nothrow_calls = 0;

void* counted_nothrow_alloc(size_t size) noexcept {
    ++g_nothrow_calls;
    if (g_nothrow_countdown == 0)
        return nullptr;
    if (g_nothrow_countdown > 0)
        --g_nothrow_countdown;
    return std::malloc(size == 0 ? 1 : size);
}

void* throwing_alloc(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(size_t size) { return throwing_alloc(size); }
void* operator new[](size_t size) { return throwing_alloc(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return counted_nothrow_alloc(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return counted_nothrow_alloc(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<unsigned char>;

struct ResultDeleter {
    void operator()(CompressResult* r) const { free_compress_result(r); }
};
using ResultPtr = std::unique_ptr<CompressResult, ResultDeleter>;

ResultPtr compress(const Bytes& bytes) { return ResultPtr(compress_data(bytes.data(), bytes.size())); }

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string code_string(const HuffmanCode& entry) {
    std::string bits;
    for (size_t i = 0; i < entry.code_len; ++i)
        bits += ((entry.code[i / 8] >> (7 - i % 8)) & 1) ? '1' : '0';
    return bits;
}

// The entries as (byte, code as a bit string), in entry order.
std::vector<std::pair<int, std::string>> codes_of(const CompressResult& r) {
    std::vector<std::pair<int, std::string>> out;
    for (size_t i = 0; i < r.unique_chars; ++i)
        out.emplace_back(r.codes[i].byte, code_string(r.codes[i]));
    return out;
}

// Packs bit by bit, straight from the definition: bit k of the stream is bit 7 - k % 8 of
// byte k / 8.
Bytes reference_pack(const Bytes& input, const CompressResult& r) {
    std::map<unsigned char, std::string> code;
    for (size_t i = 0; i < r.unique_chars; ++i)
        code[r.codes[i].byte] = code_string(r.codes[i]);
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

struct CodeCase {
    const char* name;
    Bytes input;
    std::vector<std::pair<int, std::string>> codes;
};

Bytes all_values_once() {
    Bytes b(256);
    for (int i = 0; i < 256; ++i)
        b[i] = static_cast<unsigned char>(i);
    return b;
}

}  // namespace

TEST(CompressData, AssignsCodesInWalkOrderWithFixedTieBreaks) {
    const std::vector<CodeCase> cases = {
        // 0x43 (1) and 0x42 (2) merge first; the parent (3) precedes 0x41 (3) at equal weight.
        {"three_two_one", {0x41, 0x41, 0x41, 0x42, 0x42, 0x43}, {{0x43, "00"}, {0x42, "01"}, {0x41, "1"}}},
        // 0x61 and 0x62 merge; 0x63 (1) is then lighter than their parent (2).
        {"abc", bytes_of("abc"), {{0x63, "0"}, {0x61, "10"}, {0x62, "11"}}},
        // The node of 0x43+0x44 (4) comes before 0x41 (4); 0x42 ends on the left of the root.
        {"aaaabbbbccdd", bytes_of("AAAABBBBCCDD"), {{0x42, "0"}, {0x43, "100"}, {0x44, "101"}, {0x41, "11"}}},
        {"two_values_smaller_count_first", bytes_of("zzzq"), {{'q', "0"}, {'z', "1"}}},
        {"two_values_equal_counts_smaller_byte_first", bytes_of("yxyx"), {{'x', "0"}, {'y', "1"}}},
        // A lone value gets the 1-bit code 0 so that it can be decoded.
        {"one_value", Bytes(5, 0xBB), {{0xBB, "0"}}},
        // Byte 0x00 compares equal to an internal node of the same weight: the earlier slot wins.
        // Leaves 0x00(2) 0x01(1) 0x02(1): 0x01+0x02 -> node(2) in slot 1; then 0x00 (slot 0) is min1.
        {"zero_byte_ties_with_internal_node", {0, 0, 1, 2}, {{0x00, "0"}, {0x01, "10"}, {0x02, "11"}}},
    };
    for (const auto& c : cases) {
        ResultPtr r = compress(c.input);
        ASSERT_TRUE(r) << c.name;
        EXPECT_EQ(codes_of(*r), c.codes) << c.name;
        EXPECT_EQ(r->unique_chars, c.codes.size()) << c.name;
        EXPECT_EQ(r->original_size, c.input.size()) << c.name;
    }
}

TEST(CompressData, AllByteValuesOnceGiveEightBitCodes) {
    ResultPtr r = compress(all_values_once());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->unique_chars, 256u);
    for (size_t i = 0; i < 256; ++i)
        EXPECT_EQ(r->codes[i].code_len, 8u);
    auto codes = codes_of(*r);
    EXPECT_EQ(codes[0], std::make_pair(0x00, std::string("00000000")));
    EXPECT_EQ(codes[1], std::make_pair(0x01, std::string("00000001")));
    EXPECT_EQ(codes[2], std::make_pair(0x80, std::string("00000010")));
    EXPECT_EQ(codes[3], std::make_pair(0x81, std::string("00000011")));
    EXPECT_EQ(r->size, 256u);
}

TEST(CompressData, PacksTheWorkedExample) {
    ResultPtr r = compress({0x41, 0x41, 0x41, 0x42, 0x42, 0x43});
    ASSERT_TRUE(r);
    // 1 1 1 01 01 00 -> 1110 1010 0(000 0000)
    ASSERT_EQ(r->size, 2u);
    EXPECT_EQ(r->data[0], 0xEA);
    EXPECT_EQ(r->data[1], 0x00);
}

TEST(CompressData, EmptyInputFails) {
    Bytes empty;
    EXPECT_EQ(compress_data(empty.data(), 0), nullptr);
}

TEST(CompressData, PackingMatchesBitByBitDefinition) {
    std::mt19937 rng(20261206);
    struct Shape {
        const char* name;
        size_t size;
        int alphabet;      // distinct values drawn from
        double skew;       // geometric parameter; 0 = uniform
    };
    const std::vector<Shape> shapes = {
        {"uniform_bytes", 100000, 256, 0.0},
        {"small_alphabet", 4097, 5, 0.0},
        {"skewed", 65536, 256, 0.3},
        {"very_skewed", 50000, 40, 0.7},
        {"one_byte", 1, 256, 0.0},
        {"odd_length", 12345, 17, 0.1},
    };
    for (const auto& s : shapes) {
        Bytes input(s.size);
        std::geometric_distribution<int> geo(s.skew > 0 ? s.skew : 0.5);
        std::uniform_int_distribution<int> uni(0, s.alphabet - 1);
        for (auto& b : input)
            b = static_cast<unsigned char>(s.skew > 0 ? std::min(geo(rng), s.alphabet - 1) : uni(rng));
        ResultPtr r = compress(input);
        ASSERT_TRUE(r) << s.name;
        Bytes expected = reference_pack(input, *r);
        ASSERT_EQ(r->size, expected.size()) << s.name;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r->data.get())) << s.name;
    }
}

TEST(CompressData, PacksCodesLongerThan32Bits) {
    // Fibonacci counts make the tree a chain: 34 values give a longest code of 33 bits.
    std::vector<size_t> counts = {1, 1};
    while (counts.size() < 34)
        counts.push_back(counts[counts.size() - 1] + counts[counts.size() - 2]);
    Bytes input;
    for (size_t v = 0; v < counts.size(); ++v)
        input.insert(input.end(), counts[v], static_cast<unsigned char>(v * 7));
    std::shuffle(input.begin(), input.end(), std::mt19937(7));
    ResultPtr r = compress(input);
    ASSERT_TRUE(r);
    size_t longest = 0;
    for (size_t i = 0; i < r->unique_chars; ++i)
        longest = std::max(longest, r->codes[i].code_len);
    EXPECT_EQ(longest, 33u);
    Bytes expected = reference_pack(input, *r);
    ASSERT_EQ(r->size, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r->data.get()));
}

TEST(CompressData, EveryFailedAllocationFailsCleanly) {
    const Bytes input = bytes_of("the quick brown fox jumps over the lazy dog");
    g_nothrow_calls = 0;
    ASSERT_TRUE(compress(input));
    const long needed = g_nothrow_calls;
    ASSERT_GT(needed, 3);  // record, entries, a code buffer per value, packed data
    for (long n = 0; n < needed; ++n) {
        g_nothrow_countdown = n;
        CompressResult* r = compress_data(input.data(), input.size());
        g_nothrow_countdown = -1;
        EXPECT_EQ(r, nullptr) << "allocation " << n;
        free_compress_result(r);
    }
}

TEST(Transform, ReverseUndoesForwardForEveryByte) {
    for (EncryptMethod method : {ENCRYPT_METHOD_OFFSET, ENCRYPT_METHOD_XOR}) {
        Bytes data = all_values_once();
        apply_transform(data.data(), data.size(), method);
        EXPECT_NE(data, all_values_once());
        reverse_transform(data.data(), data.size(), method);
        EXPECT_EQ(data, all_values_once());
    }
    Bytes data = {0x00, 0x41, 0xFF};
    apply_transform(data.data(), data.size(), ENCRYPT_METHOD_OFFSET);
    EXPECT_EQ(data, (Bytes{0x4B, 0x8C, 0x4A}));
    apply_transform(data.data(), data.size(), static_cast<EncryptMethod>(7));
    EXPECT_EQ(data, (Bytes{0x4B, 0x8C, 0x4A}));
}

// ---- compress_file ---------------------------------------------------------------------------

class CompressFile : public TempDirTest {
protected:
    std::string compress_quiet(const char* name, const char* sender, const char* receiver,
                               EncryptMethod method, int* status) {
        return capture_stdout([&] { *status = compress_file(name, sender, receiver, method); });
    }

    // Only the files named, nothing left behind under temporary names.
    std::vector<std::string> files_here() {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(CompressFile, WritesTheWorkedExampleForBothTransforms) {
    struct Case {
        EncryptMethod method;
        std::string input;  // transforms to 41 41 41 42 42 43
        std::string method_line;
    };
    const std::vector<Case> cases = {
        {ENCRYPT_METHOD_OFFSET, "\xF6\xF6\xF6\xF7\xF7\xF8", "0\n"},
        {ENCRYPT_METHOD_XOR, "\x0A\x0A\x0A\x09\x09\x08", "1\n"},
    };
    for (const auto& c : cases) {
        write_file("in.bin", c.input);
        int status = -1;
        std::string out = compress_quiet("in.bin", "abc", "def", c.method, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, "压缩文件已保存: in.bin.hfm\n编码表文件已保存: in.bin.hfm.code\n");
        EXPECT_EQ(read_file("in.bin.hfm"), c.method_line + "abc\ndef\n" + std::string("\xEA\x00", 2));
        EXPECT_EQ(read_file("in.bin.hfm.code"), "6\n0x43 0x02 0x00\n0x42 0x02 0x40\n0x41 0x01 0x80\n");
    }
    EXPECT_EQ(files_here(), (std::vector<std::string>{"in.bin", "in.bin.hfm", "in.bin.hfm.code"}));
}

TEST_F(CompressFile, LoneByteValueGetsAOneBitCode) {
    write_file("same.txt", std::string(10, static_cast<char>(0xBB - KEY_BYTE)));
    int status = -1;
    compress_quiet("same.txt", "", "", ENCRYPT_METHOD_OFFSET, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_file("same.txt.hfm.code"), "10\n0xBB 0x01 0x00\n");
    // Empty sender and receiver lines are lone line ends; ten 0 bits take two bytes.
    EXPECT_EQ(read_file("same.txt.hfm"), std::string("0\n\n\n\x00\x00", 6));
}

TEST_F(CompressFile, AllValuesGiveA257LineTableAndSameOutputTwice) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    write_file("all.bin", all + all + "xyz");
    int status = -1;
    compress_quiet("all.bin", "s", "r", ENCRYPT_METHOD_XOR, &status);
    ASSERT_EQ(status, 0);
    std::string table = read_file("all.bin.hfm.code");
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 257);
    EXPECT_EQ(table.substr(0, 4), "515\n");
    std::string first_hfm = read_file("all.bin.hfm");
    compress_quiet("all.bin", "s", "r", ENCRYPT_METHOD_XOR, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_file("all.bin.hfm"), first_hfm);
    EXPECT_EQ(read_file("all.bin.hfm.code"), table);
}

TEST_F(CompressFile, FailuresPrintTheirMessageAndLeaveNoFiles) {
    write_file("empty.txt", "");
    write_file("text.txt", "hello");
    std::filesystem::create_directory("folder");
    const std::string s126(126, 's');
    struct Case {
        const char* name;
        std::string file, sender, receiver, message;
    };
    const std::vector<Case> cases = {
        {"missing input", "nope.txt", "a", "b", "无法打开文件: nope.txt\n"},
        {"empty input", "empty.txt", "a", "b", "压缩失败\n"},
        {"folder as input", "folder", "a", "b", "无法打开文件: folder\n"},
        // "0\n" + 126 + "\n" + 126 + "\n" is 256 bytes: one more than the header may hold.
        {"header too long", "text.txt", s126, s126, "头信息生成失败\n"},
    };
    for (const auto& c : cases) {
        int status = 0;
        std::string out = compress_quiet(c.file.c_str(), c.sender.c_str(), c.receiver.c_str(),
                                         ENCRYPT_METHOD_OFFSET, &status);
        EXPECT_EQ(status, -1) << c.name;
        EXPECT_EQ(out, c.message) << c.name;
    }
    EXPECT_EQ(files_here(), (std::vector<std::string>{"empty.txt", "folder", "text.txt"}));
}

TEST_F(CompressFile, LongestHeaderThatFitsIsWritten) {
    write_file("text.txt", "hello");
    const std::string sender(126, 's'), receiver(125, 'r');  // 2 + 127 + 126 = 255 bytes
    int status = -1;
    compress_quiet("text.txt", sender.c_str(), receiver.c_str(), ENCRYPT_METHOD_OFFSET, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_file("text.txt.hfm").substr(0, 255), "0\n" + sender + "\n" + receiver + "\n");
}

TEST_F(CompressFile, NamesAreNeverCutAndARefusedNameFailsForThatFile) {
    // 250 bytes: N.hfm (254) fits a file name, N.hfm.code (259) does not.
    const std::string fits(250, 'n');
    write_file(fits, "some text");
    int status = 0;
    std::string out = compress_quiet(fits.c_str(), "a", "b", ENCRYPT_METHOD_OFFSET, &status);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "无法创建编码表文件: " + fits + ".hfm.code\n");

    const std::string too_long(253, 'm');  // N.hfm would be 257 bytes
    write_file(too_long, "some text");
    out = compress_quiet(too_long.c_str(), "a", "b", ENCRYPT_METHOD_OFFSET, &status);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "无法创建压缩文件: " + too_long + ".hfm\n");
    EXPECT_EQ(files_here(), (std::vector<std::string>{too_long, fits}));

    // A 246-byte name is the longest whose code table name fits: written whole.
    const std::string longest(246, 'k');
    write_file(longest, "some text");
    out = compress_quiet(longest.c_str(), "a", "b", ENCRYPT_METHOD_OFFSET, &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(file_exists(longest + ".hfm.code"));
}

TEST_F(CompressFile, FailedWritesKeepEarlierOutputs) {
    std::string text;
    std::mt19937 rng(3);
    for (int i = 0; i < 200000; ++i)
        text += static_cast<char>('a' + rng() % 26);
    write_file("big.txt", text);
    write_file("big.txt.hfm", "earlier compressed file");
    write_file("big.txt.hfm.code", "earlier code table");

    // The packed text needs ~118 KB and its code table a few hundred bytes; all 256 values
    // once need a 262-byte compressed file but a 3.8 KB code table.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    write_file("all.bin", all);
    write_file("all.bin.hfm", "earlier compressed file");
    write_file("all.bin.hfm.code", "earlier code table");
    struct Case {
        const char* input;
        rlim_t limit;
        std::string message;
    };
    const std::vector<Case> cases = {{"big.txt", 4096, "写入压缩数据失败\n"},
                                     {"all.bin", 1024, "写入编码表文件失败\n"}};
    const std::vector<std::string> before = files_here();
    for (const auto& c : cases) {
        std::fflush(stdout);
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{c.limit, c.limit};
            setrlimit(RLIMIT_FSIZE, &limit);
            std::freopen("child_out.txt", "w", stdout);  // created before any write fails
            int status = compress_file(c.input, "s", "r", ENCRYPT_METHOD_XOR);
            std::fflush(stdout);
            _exit(status == -1 ? 0 : 1);
        }
        int wait_status = 0;
        waitpid(child, &wait_status, 0);
        ASSERT_TRUE(WIFEXITED(wait_status));
        EXPECT_EQ(WEXITSTATUS(wait_status), 0) << "reported success despite a failed write";
        EXPECT_EQ(read_file("child_out.txt"), c.message);
        EXPECT_EQ(read_file(c.input + std::string(".hfm")), "earlier compressed file");
        EXPECT_EQ(read_file(c.input + std::string(".hfm.code")), "earlier code table");
        std::filesystem::remove("child_out.txt");
        EXPECT_EQ(files_here(), before);
    }
}

TEST_F(CompressFile, UnmeasurableInputFailsNamingIt) {
    // A pipe opens like a file but has no end position to take.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string name = "/dev/fd/" + std::to_string(fds[0]);
    int status = 0;
    std::string out = compress_quiet(name.c_str(), "s", "r", ENCRYPT_METHOD_OFFSET, &status);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "无法获取文件大小: " + name + "\n");
}
