#include "decompress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common.h"
#include "compress.h"
#include "test_util.h"

namespace {

using Text = std::optional<std::string>;  // nullopt: no such file

// Original size 6; 0x08 = 00, 0x09 = 01, 0x0A = 1. EA 00 holds 1 1 1 01 01 00 and seven
// padding zeros: 0A 0A 0A 09 09 08, which the XOR transform turns into AAABBC.
const std::string WORKED_TABLE = "6\n0x08 0x02 0x00\n0x09 0x02 0x40\n0x0A 0x01 0x80\n";
const std::string WORKED_DATA("\xEA\0", 2);
// 0x0A = 1, 0x09 = 0^32 1, 0x08 = 0^33; the data holds what the XOR transform turns into ABAC.
const std::string LONG_TABLE =
    "4\n0x0A 0x01 0x80\n0x09 0x21 0x00 0x00 0x00 0x00 0x80\n0x08 0x21 0x00 0x00 0x00 0x00 0x00\n";
const std::string LONG_DATA("\x80\0\0\0\x60\0\0\0\0", 9);

const std::string PROMPT =
    "请选择解码方式：\n  1 - 基于解码树的逐位解码\n  2 - 基于编码表直接匹配\n"
    "  3 - 基于哈希的快速解码\n请输入解码方式选择(1或2或3): ";
const std::string ANNOUNCE[] = {"", "使用解码树进行解码...\n", "使用编码表直接匹配进行解码...\n",
                                "使用哈希表进行解码...\n"};

// What the hash method prints while decoding the worked example's table over `packed` bytes.
std::string worked_hash_run(const std::string& stated, const std::string& written,
                            const std::string& packed = "2", const std::string& bits = "16") {
    return "开始解码处理...\n压缩数据大小: " + packed + " 字节\n原始数据大小: " + stated +
           " 字节\n唯一字符数: 3\n编码表内容:\n字节: 0x08, 长度: 2, 编码: 0x0\n"
           "字节: 0x09, 长度: 2, 编码: 0x1\n字节: 0x0A, 长度: 1, 编码: 0x1\n解码统计:\n"
           "处理的位数: " +
           bits + "\n写入的字节数: " + written + "\n解码完成，共处理 " + written + " 字节\n";
}

// What each method's reader and decoder make of `table` and `data`, as "tree|matching|hash":
// the bytes written, at most as many as the table's first line states, or "refused: " and
// the reader's message.
std::string decode_all(const Text& table, const std::string& data) {
    const char* name = table ? "t.code" : "none.code";
    if (table)
        write_file(name, *table);
    const size_t target = table ? std::strtoul(table->c_str(), nullptr, 10) : 0;
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    std::string results;
    for (int method = 1; method <= 3; ++method) {
        std::vector<unsigned char> out(target + 1, 0xEE);  // a guard byte past the target
        std::optional<size_t> n;
        size_t count = 0, size = 0;
        const std::string printed = capture_stdout([&] {
            if (method == 1) {
                if (auto tree = build_decoding_table(name))
                    n = decode_with_tree(in, data.size(), out.data(), target, tree.get());
            } else if (method == 2) {
                if (auto codes = load_code_table(name, &count, &size))
                    n = decode_with_code_table(in, data.size(), out.data(), target, codes.get(),
                                               count);
            } else if (auto codes = read_hash_code_table(name, &count)) {
                n = decode_with_hash(in, data.size(), out.data(), target, codes.get(), count);
            }
        });
        EXPECT_EQ(out[target], 0xEE) << "method " << method << " wrote past the target";
        // A count past the target shows as the guard byte.
        const auto end = out.begin() + static_cast<long>(std::min(n.value_or(0), target + 1));
        results +=
            (method > 1 ? "|" : "") + (n ? std::string(out.begin(), end) : "refused: " + printed);
    }
    return results;
}

}  // namespace

TEST(BitReader, ReadsMostSignificantBitFirstKeepingTheLast32) {
    // 1011 0101 | 0000 1111 | then the bytes 12 34 56 78 9A.
    const unsigned char data[] = {0xB5, 0x0F, 0x12, 0x34, 0x56, 0x78, 0x9A};
    BitReader reader;
    init_bit_reader(&reader, data, sizeof data);
    EXPECT_EQ(reader.total_bits, 56u);
    std::vector<uint32_t> values;
    for (int bits : {1, 0, 3, 6, 6, 36, 4})
        values.push_back(read_bits(&reader, bits));
    EXPECT_EQ(values, (std::vector<uint32_t>{0x1, 0x0, 0x3, 0x14, 0x0F, 0x23456789, 0xA}));
    EXPECT_EQ(reader.current_bit, 56u);
}

class DecodeTables : public TempDirTest {};

// Duplicates and prefixes resolve differently by design: the later line for the tree, the first
// in file order for matching, the shortest then the first added for the hash, whose reader also
// stops at the first line that does not scan.
TEST_F(DecodeTables, EachMethodReadsAndResolvesTablesByItsOwnRules) {
    const std::string no_file = "refused: 无法打开编码表文件",
                      no_size = "refused: 读取原始文件大小失败\n";
    const std::string no_size_3 = no_size + "|" + no_size + "|" + no_size;
    // table, data, and what the tree, matching and hash methods make of them
    const std::vector<std::tuple<Text, std::string, std::string>> rows = {
        {"6\r\n0x43 0x02 0x00\r\n0x42 0x02 0x40\r\n0x41 0x01 0x80\r\n", WORKED_DATA,
         "AAABBC|AAABBC|AAABBC"},
        // Same code twice; bits 1 0 1.
        {"3\n0x41 0x01 0x80\n0x42 0x01 0x80\n0x43 0x01 0x00\n", "\xA0", "BCB|ACA|ACA"},
        // A shorter code after longer ones; bits 0 0 1 0.
        {"3\n0x41 0x02 0x00\n0x42 0x02 0x40\n0x43 0x01 0x00\n0x44 0x01 0x80\n", "\x20",
         "CCD|ADA|CCD"},
        // A longer code after a leaf; bits 1 1 0: the walk never gets past A = 1 to B = 11.
        {"3\n0x41 0x01 0x80\n0x42 0x02 0xC0\n0x43 0x01 0x00\n", "\xC0", "AAC|AAC|AAC"},
        // Length 0: no leaf, never found by the hash, but matched anywhere by the matcher once
        // no entry before it matches (bits 0 1 0 0 ...).
        {"2\n0x41 0x00\n0x42 0x01 0x00\n0x43 0x01 0x80\n", "\x40", "BC|AA|BC"},
        {"4\n0x41 0x01 0x00\n0x42 0x00\n0x43 0x01 0x80\n", "\x40", "ACAA|ABBB|ACAA"},
        // The hash reader stops at the blank line.
        {"2\n0x41 0x01 0x00\n\n0x99\n0x42 0x01 0x80\n", "\x40", "AB|AB|A"},
        // Only the tree reader takes tabs and bare hex; the hash reader stops at the first line
        // without "0x".
        {"6\n43\t2\t0\n0x42  0x02   0x40\n41 1 80\n", WORKED_DATA, "AAABBC|BB|"},
        // No code fits bits 0 1 1 0 ...: the walk stops; matching skips one bit.
        {"1\n0x41 0x02 0xC0\n", std::string("\x60\0\0\0\0", 5), "|A|A"},
        // A length field of 257: the tree skips it; the others keep its low 8 bits (A = 0)
        // and look for 33 code bytes, which the hash reader reads across lines and runs out of.
        {"1\n0x41 0x101\n0x42 0x01 0x80\n", std::string(33, '\0') + '\x80',
         "|A|refused: 读取编码字节失败\n"},
        {{}, "", no_file + ": none.code\n|" + no_file + ": none.code\n|" + no_file + "\n"},
        {"six\n0x41 0x01 0x80\n", "", no_size_3},
        {"", "", no_size_3},
        {"1\n0x41 0x09 0x80\n", "", "||refused: 读取编码字节失败\n"},
    };
    for (const auto& [table, data, results] : rows)
        EXPECT_EQ(decode_all(table, data), results) << table.value_or("no file");
}

#ifndef _WIN32  // fmemopen
TEST(DecodeHeader, ReadsLinesWholeAndLeavesTheFileAtThePackedData) {
    // The method, sender and receiver lines, whether both were whole, and what follows them.
    using Header = std::tuple<int, std::string, std::string, bool, std::string>;
    const std::string s127(127, 's'), r254(254, 'r');
    for (auto [file, expected] : std::vector<std::pair<std::string, Header>>{
             {" +7xyz\n\n\n\n", {7, "", "", true, "\n"}},
             {"abc\nS\r\nR", {0, "S\r", "R", true, ""}},
             // The method line's buffer takes 15 bytes; the rest of the line comes next.
             {std::string(20, '0') + "1\nS\nR\nD", {0, "000001", "S", true, "R\nD"}},
             {"1\n" + s127 + "\n" + r254 + "\nD", {1, s127, r254, true, "D"}},
             {"99999999999\nS\n" + r254 + "x\nD", {2147483647, "S", r254, false, "D"}}}) {
        std::FILE* in = fmemopen(file.data(), file.size(), "rb");
        CompressedHeader h;
        EXPECT_EQ(read_compressed_header(in, &h), 0);
        EXPECT_EQ(Header(h.enc_method, h.sender_info, h.receiver_info, h.lines_whole,
                         file.substr(std::ftell(in))),
                  expected);
        std::fclose(in);
    }
}
#endif

class DecompressFile : public TempDirTest {
  protected:
    void write_pair(const std::string& name, const std::string& table, const std::string& data) {
        write_file(name, "1\nS\nR\n" + data);  // the method line 1 names the XOR transform
        write_file(name + ".code", table);
    }

    // Sets status_, and unread_ to what is left of `input`; returns what was printed.
    std::string run(const std::string& name, const std::string& input,
                    const std::string& sender = "S") {
        return run_with_input(input, [&] {
            status_ = decompress_file(name.c_str(), sender.c_str(), "R");
            unread_ = rest_of_input();
        });
    }

    int status_ = 1;
    std::string unread_;
};

// The answer is read as a number up to the end of its line, asked again outside 1 to 3; the
// output is named after the text before the first ".hfm".
TEST_F(DecompressFile, RestoresTheWorkedExampleWithEveryMethod) {
    const std::string P = PROMPT;
    const std::vector<std::tuple<int, std::string, std::string, std::string, std::string>> cases = {
        {1, "w.hfm", "1\nnext", P, "w_recovered.txt"},
        {2, "x.hfm.hfm", "2abc\nnext", P, "x_recovered.txt"},
        {3, "X.HFM", "7\n0\n-1\n\n  3 x\nnext", P + P + P + P, "X.HFM_recovered.txt"}};
    for (const auto& [method, name, input, prompts, output] : cases) {
        write_pair(name, WORKED_TABLE, WORKED_DATA);
        const std::string out = run(name, input);
        EXPECT_EQ(status_, 0) << name;
        EXPECT_EQ(read_file(output), "AAABBC");
        EXPECT_EQ(unread_, "next");
        const std::string head =
            "正在构建解码信息...\n" + prompts + ANNOUNCE[method] +
            (method == 3 ? worked_hash_run("6", "6") : "") + "解压完成!\n输出文件: " + output +
            "\n解压后大小: 6 字节\n文件哈希值: 0x2866E4EEBADC7D9F\n\n=== 性能统计 ===\n"
            "压缩率: 33.33%\n解码操作耗时: ";
        EXPECT_EQ(out.substr(0, head.size()), head);
        EXPECT_NE(out.find(" 秒\n解码部分处理速度: ", head.size()), std::string::npos) << out;
        EXPECT_TRUE(out.ends_with(" KB/s\n===============\n")) << out;
    }
}

// Every refusal prints its reason, returns -1 and leaves the folder as it was: no output, no
// temporary, an earlier restored file untouched.
TEST_F(DecompressFile, RefusalsLeaveNoOutput) {
    const std::string ok = "2\nS\nR\n" + WORKED_DATA, S254(254, 'S'), P = PROMPT;
    const std::string mismatch = "收发人信息不匹配，解压拒绝！\n", no_choice = "读取选择失败\n";
    const std::string short_table = "10" + WORKED_TABLE.substr(1);  // nine codes in the data
    const std::string short_result = "解码失败：解码后的数据大小不匹配\n";
    const std::string over_32 =
        "编码表中有长于 32 位的编码，此解码方式无法处理，请改用方式 1（解码树）\n";
    // .hfm file, .code file, sender typed, input, all printed after the first line. Files are
    // only ever added, so the rows that lack one come first; any file more is a leftover.
    const std::vector<std::tuple<Text, Text, std::string, std::string, std::string>> cases = {
        {{}, {}, "S", "1\n", "无法打开编码表文件: w.hfm.code\n构建解码树失败\n"},
        {{}, WORKED_TABLE, "S", "1\n", "无法打开压缩文件: w.hfm\n"},
        {"", WORKED_TABLE, "S", "1\n", "读取加密方式失败\n"},
        {"2\n", WORKED_TABLE, "S", "1\n", "读取头信息失败\n"},
        {ok, WORKED_TABLE, "S ", "1\n", mismatch},
        {"2\nSS\nR\n\xEA", WORKED_TABLE, "S", "1\n", mismatch},
        {"2\nR\nS\n\xEA", WORKED_TABLE, "S", "1\n", mismatch},
        // A line longer than the compressor writes matches nothing, not even its first part.
        {"2\n" + S254 + "x\nR\n\xEA", WORKED_TABLE, S254, "1\n", mismatch},
        // More bytes than the data holds codes for, and more than memory holds.
        {ok, "17\n0x41 0x01 0x80\n", "S", "1\n", P + ANNOUNCE[1] + short_result},
        {ok, "18446744073709551615\n0x41 0x01 0x80\n", "S", "1\n", P + "内存分配失败\n"},
        {ok, WORKED_TABLE, "S", "x\n", P + no_choice},
        {ok, WORKED_TABLE, "S", "", P + no_choice},
        {ok, WORKED_TABLE, "S", "9\n", P + P + no_choice},
        {ok, short_table, "S", "1\n", P + ANNOUNCE[1] + short_result},
        {"2\nS\nR\n", WORKED_TABLE, "S", "1\n", P + ANNOUNCE[1] + short_result},
        {"2\nS\nR\n", WORKED_TABLE, "S", "3\n",
         P + ANNOUNCE[3] + worked_hash_run("6", "0", "0", "0") + short_result},
        {ok, short_table, "S", "2\n", P + ANNOUNCE[2] + short_result},
        {ok, short_table, "S", "3\n", P + ANNOUNCE[3] + worked_hash_run("10", "9") + short_result},
        {"2\nS\nR\n" + LONG_DATA, LONG_TABLE, "S", "2\n", P + ANNOUNCE[2] + over_32},
        {"2\nS\nR\n" + LONG_DATA, LONG_TABLE, "S", "3\n", P + ANNOUNCE[3] + over_32},
    };
    for (const auto& [hfm, table, sender, input, output] : cases) {
        if (hfm)
            write_file("w.hfm", *hfm);
        if (table)
            write_file("w.hfm.code", *table);
        write_file("w_recovered.txt", "earlier");
        EXPECT_EQ(run("w.hfm", input, sender), "正在构建解码信息...\n" + output);
        EXPECT_EQ(status_, -1) << output;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}),
                  1 + hfm.has_value() + table.has_value())
            << output;
        EXPECT_EQ(read_file("w_recovered.txt"), "earlier") << output;
    }
}

// Only the tree walks codes longer than 32 bits. The hash method counts the bits it looked at
// as a one-bit refill would: its third round starts at bit 2 and fills its window to bit 34.
TEST_F(DecompressFile, RestoresLongCodesAndCountsTheHashWindow) {
    write_pair("w.hfm", LONG_TABLE, LONG_DATA);
    run("w.hfm", "1\n");
    EXPECT_EQ(read_file("w_recovered.txt"), "ABAC");
    write_pair("w.hfm", "3\n0x0A 0x01 0x80\n", std::string(5, '\xFF'));
    EXPECT_NE(run("w.hfm", "3\n").find("处理的位数: 34\n"), std::string::npos);
    EXPECT_EQ(read_file("w_recovered.txt"), "AAA");
}

// An output name is cut to 255 bytes; one that cannot be written, or that is cut back to the
// compressed file's own name, is refused and leaves what is there.
TEST_F(DecompressFile, OutputNamesAreCutToFitAndNeverReplaceWhatIsThere) {
    const std::string stem(246, 'n');
    write_pair(stem + ".hfm", WORKED_TABLE, WORKED_DATA);
    EXPECT_NE(run(stem + ".hfm", "1\n").find("输出文件: " + stem + "_recovere\n"),
              std::string::npos);
    EXPECT_EQ(read_file(stem + "_recovere"), "AAABBC");

    write_pair("d.hfm", WORKED_TABLE, WORKED_DATA);
    std::filesystem::create_directory("d_recovered.txt");
    EXPECT_TRUE(run("d.hfm", "1\n").ends_with("无法创建输出文件: d_recovered.txt\n"));
    EXPECT_EQ(status_, -1);
    EXPECT_TRUE(std::filesystem::is_directory("d_recovered.txt"));

    const std::string own = "./" + std::string(252, '/') + "g";  // 255 bytes, no ".hfm"
    write_pair("g", WORKED_TABLE, WORKED_DATA);
    EXPECT_TRUE(run(own, "1\n").ends_with("无法创建输出文件: " + own + "\n"));
    EXPECT_EQ(status_, -1);
    EXPECT_EQ(read_file("g"), "1\nS\nR\n" + WORKED_DATA);
}

// Whatever the compressor writes, each method restores exactly, under either transform, and a
// typed line of 127 bytes (the most a prompt takes) comes back whole. Arbitrary inputs are the
// round-trip fuzzer's; a table with CR LF line ends is a HostileTable row.
class DecompressRoundTrip : public DecompressFile,
                            public ::testing::WithParamInterface<std::tuple<int, EncryptMethod>> {};

TEST_P(DecompressRoundTrip, RestoresWhatTheCompressorWrote) {
    const std::string sender(127, 'x'), choice = std::to_string(std::get<0>(GetParam())) + "\n";
    const EncryptMethod transform = std::get<1>(GetParam());
    std::mt19937 rng(20240611);
    std::string noise(30000, '\0');
    for (size_t i = 0; i < noise.size(); ++i)  // every value, then random ones
        noise[i] = static_cast<char>(i < 256 ? i : rng());
    for (const std::string& input : {std::string(1000, '\xBB'), std::string("\x4B"),
                                     std::string("abbbbbbbbbbbbbbbbbbbbba"), noise}) {
        write_file("in.bin", input);
        capture_stdout([&] { compress_file("in.bin", sender.c_str(), "R", transform); });
        std::filesystem::remove("in.bin_recovered.txt");
        char hash[40];
        std::snprintf(hash, sizeof hash, "文件哈希值: 0x%016llX\n",
                      static_cast<unsigned long long>(fnv1a_64(input.data(), input.size())));
        EXPECT_NE(run("in.bin.hfm", choice, sender).find(hash), std::string::npos);
        EXPECT_EQ(status_, 0) << input.size() << " bytes";
        EXPECT_TRUE(read_file("in.bin_recovered.txt") == input) << input.size() << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(MethodsAndTransforms, DecompressRoundTrip,
                         ::testing::Combine(::testing::Values(1, 2, 3),
                                            ::testing::Values(ENCRYPT_METHOD_OFFSET,
                                                              ENCRYPT_METHOD_XOR)));

TEST_F(DecompressFile, StoredLinesEndAtANulByteAsTypedLinesDo) {
    write_file("w.hfm", std::string("1\nS\0junk\nR\n", 11) + WORKED_DATA);
    write_file("w.hfm.code", WORKED_TABLE);
    run("w.hfm", "1\n");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(read_file("w_recovered.txt"), "AAABBC");
}

namespace {

// The hash decoder as first defined: a window refilled one bit at a time, home slot code mod
// capacity, linear probing. The bytes it writes and the bits its reader took.
std::pair<std::string, size_t> literal_hash_decode(const std::string& packed, size_t limit,
                                                   const std::vector<CodeEntry>& codes) {
    struct Slot {
        uint32_t code = 0;
        unsigned len = 0;
        unsigned char byte = 0;
    };
    const size_t capacity = 4 * codes.size();
    std::vector<Slot> slots(capacity);
    for (const CodeEntry& e : codes) {
        size_t s = e.code % capacity;
        while (slots[s].len != 0)
            s = (s + 1) % capacity;  // never full: at most a quarter is used
        slots[s] = Slot{e.code, e.code_len, e.byte};
    }
    auto find = [&](uint32_t code, unsigned len) -> int {
        for (size_t s = code % capacity, probes = 0; probes < capacity;
             s = (s + 1) % capacity, ++probes) {
            if (slots[s].len == len && slots[s].code == code)
                return slots[s].byte;
            if (slots[s].len == 0)
                return -1;
        }
        return -1;
    };
    const size_t total_bits = 8 * packed.size();
    size_t current_bit = 0;
    uint64_t buffer = 0;
    unsigned bits_in_buffer = 0;
    std::string out;
    while (out.size() < limit) {
        for (; bits_in_buffer < 32 && current_bit < total_bits; ++bits_in_buffer, ++current_bit)
            buffer = buffer << 1 | ((packed[current_bit / 8] >> (7 - current_bit % 8)) & 1);
        if (bits_in_buffer == 0)
            break;
        unsigned hit = 0;
        for (unsigned len = 1; len <= bits_in_buffer && hit == 0 && capacity != 0; ++len) {
            int byte = find(static_cast<uint32_t>(buffer >> (bits_in_buffer - len)), len);
            if (byte >= 0) {
                out.push_back(static_cast<char>(byte));
                hit = len;
            }
        }
        if (hit == 0 && bits_in_buffer < 32)
            break;
        bits_in_buffer -= hit == 0 ? 1 : hit;
        buffer &= (uint64_t{1} << bits_in_buffer) - 1;
    }
    return {out, current_bit};
}

}  // namespace

// The hash decoder's bytes and its printed bit count equal the literal algorithm's, on tables
// the compressor writes and on damaged or made-up ones, long enough to leave the short-cuts.
TEST(DecodeWithHash, MatchesTheLiteralAlgorithmAndItsBitCount) {
    std::mt19937 rng(6);
    for (int round = 0; round < 300; ++round) {
        std::vector<CodeEntry> codes;
        std::string packed;
        size_t original = 0;
        if (round % 2 == 0) {
            std::string text(1 + rng() % 3000, '\0');
            for (char& c : text)
                c = static_cast<char>('a' + rng() % (2 + round % 20) * (rng() % 4 == 0 ? 3 : 1));
            std::unique_ptr<CompressResult> r(
                compress_data(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
            ASSERT_TRUE(r);
            for (size_t i = 0; i < r->unique_chars; ++i) {
                CodeEntry e;
                e.byte = r->codes[i].byte;
                e.code_len = static_cast<unsigned char>(r->codes[i].code_len);
                for (size_t k = 0; k < r->codes[i].code_len; ++k)
                    e.code = e.code << 1 | ((r->codes[i].code[k / 8] >> (7 - k % 8)) & 1);
                codes.push_back(e);
            }
            packed.assign(reinterpret_cast<const char*>(r->data.get()), r->size);
            for (int flips = rng() % 3; flips > 0 && !packed.empty(); --flips)
                packed[rng() % packed.size()] ^= static_cast<char>(1 << rng() % 8);
            original = text.size() + rng() % 3;
        } else {
            for (size_t n = 1 + rng() % 40; n > 0; --n) {
                CodeEntry e;
                e.byte = static_cast<unsigned char>(rng());
                e.code_len = static_cast<unsigned char>(1 + rng() % 20);
                e.code = static_cast<uint32_t>(rng() % (uint32_t{1} << e.code_len));
                codes.push_back(e);
            }
            packed.resize(rng() % 400);
            for (char& c : packed)
                c = static_cast<char>(rng());
            original = rng() % (8 * packed.size() + 1);
        }
        std::string out(original, '\0');
        size_t written = 0;
        std::string printed = capture_stdout([&] {
            written = decode_with_hash(reinterpret_cast<const unsigned char*>(packed.data()),
                                       packed.size(), reinterpret_cast<unsigned char*>(out.data()),
                                       original, codes.data(), codes.size());
        });
        auto [expected, bits] = literal_hash_decode(packed, original, codes);
        ASSERT_EQ(out.substr(0, written), expected) << "round " << round;
        ASSERT_NE(printed.find("处理的位数: " + std::to_string(bits) + "\n"), std::string::npos)
            << "round " << round;
    }
}
