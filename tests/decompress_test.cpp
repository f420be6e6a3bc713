#include "decompress.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common.h"
#include "compress.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Original size 6; codes 0x43 = 00, 0x42 = 01, 0x41 = 1. The data 0xEA 0x00 holds the bits
// 1 1 1 01 01 00 and seven padding zeros: 41 41 41 42 42 43.
const std::string WORKED_TABLE = "6\n0x43 0x02 0x00\n0x42 0x02 0x40\n0x41 0x01 0x80\n";
const Bytes WORKED_DATA = {0xEA, 0x00};

const std::string METHOD_PROMPT =
    "请选择解码方式：\n  1 - 基于解码树的逐位解码\n  2 - 基于编码表直接匹配\n"
    "  3 - 基于哈希的快速解码\n请输入解码方式选择(1或2或3): ";

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string as_text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string hex_hash(const std::string& bytes) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llX",
                  static_cast<unsigned long long>(fnv1a_64(bytes.data(), bytes.size())));
    return text;
}

std::vector<std::string> files_here() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Reads `table` with the reader of `method` and decodes `data` with its decoder, writing at most
// `target` bytes. The hash decoder's listing is captured in *listing when asked for.
std::string decode_by(int method, const std::string& table, const Bytes& data, size_t target,
                      std::string* listing = nullptr) {
    write_file("t.code", table);
    Bytes out(target + 1, 0xEE);  // one guard byte past the target
    size_t written = 0;
    if (method == 1) {
        DecodingTablePtr tree = build_decoding_table("t.code");
        if (!tree) {
            ADD_FAILURE() << "tree reader refused the table";
            return "";
        }
        written = decode_with_tree(data.data(), data.size(), out.data(), target, tree.get());
    } else if (method == 2) {
        size_t count = 0;
        size_t size = 0;
        auto codes = load_code_table("t.code", &count, &size);
        if (!codes) {
            ADD_FAILURE() << "table reader refused the table";
            return "";
        }
        written = decode_with_code_table(data.data(), data.size(), out.data(), target, codes.get(),
                                         count);
    } else {
        std::string printed = capture_stdout([&] {
            size_t count = 0;
            auto codes = read_hash_code_table("t.code", &count);
            if (codes)
                written = decode_with_hash(data.data(), data.size(), out.data(), target,
                                           codes.get(), count);
        });
        if (listing)
            *listing = printed;
    }
    EXPECT_LE(written, target);
    EXPECT_EQ(out[target], 0xEE) << "wrote past the target";
    return std::string(out.begin(), out.begin() + static_cast<long>(std::min(written, target)));
}

}  // namespace

TEST(BitReader, ReadsMostSignificantBitFirstKeepingTheLast32) {
    const Bytes data = {0xB5, 0x0F, 0x12, 0x34, 0x56, 0x78, 0x9A};
    struct Step {
        int bits;
        uint32_t value;
        size_t position_after;
    };
    // 1011 0101 | 0000 1111 | then the bytes 12 34 56 78 9A.
    const std::vector<Step> steps = {{1, 0x1, 1},   {0, 0x0, 1},   {3, 0x3, 4},
                                     {6, 0x14, 10}, {6, 0x0F, 16}, {36, 0x23456789, 52},
                                     {4, 0xA, 56}};
    BitReader reader;
    init_bit_reader(&reader, data.data(), data.size());
    EXPECT_EQ(reader.total_bits, 56u);
    for (const auto& step : steps) {
        EXPECT_EQ(read_bits(&reader, step.bits), step.value) << step.bits << " bits";
        EXPECT_EQ(reader.current_bit, step.position_after);
    }
}

class DecodeTables : public TempDirTest {};

// Each reader and decoder pair on well-formed and malformed tables: duplicates and prefixes
// resolve differently by design (later line for the tree, first in file order for matching,
// shortest length then first added for the hash), and the hash reader stops at the first line
// that does not scan.
TEST_F(DecodeTables, EachMethodResolvesTablesAsDefined) {
    std::string long_ones = "0x41 0x100";
    std::string long_zeros = "0x42 0x100";
    for (int i = 0; i < 32; ++i) {
        long_ones += " 0xFF";
        long_zeros += " 0x00";
    }
    Bytes data_256(32, 0xFF);
    data_256.resize(64, 0x00);
    Bytes data_257(33, 0x00);
    data_257.push_back(0x80);
    std::string over_256 = "1\n";
    for (int i = 0; i < 256; ++i)
        over_256 += "0x5A 0x08 0x00\n";
    over_256 += "0x41 0x01 0x80\n";
    struct Case {
        const char* name;
        std::string table;
        Bytes data;
        size_t target;
        std::string tree, table_match, hash;
    };
    const std::vector<Case> cases = {
        {"worked example", WORKED_TABLE, WORKED_DATA, 6, "AAABBC", "AAABBC", "AAABBC"},
        {"CR LF line ends", "6\r\n0x43 0x02 0x00\r\n0x42 0x02 0x40\r\n0x41 0x01 0x80\r\n",
         WORKED_DATA, 6, "AAABBC", "AAABBC", "AAABBC"},
        {"target below the codes present", WORKED_TABLE, WORKED_DATA, 4, "AAAB", "AAAB", "AAAB"},
        // The padding completes three more 00 codes; the last zero bit completes nothing.
        {"bits run out first", WORKED_TABLE, WORKED_DATA, 10, "AAABBCCCC", "AAABBCCCC",
         "AAABBCCCC"},
        // Bits 1 0 1 with A and B both coded 1.
        {"same code twice",
         "3\n0x41 0x01 0x80\n0x42 0x01 0x80\n0x43 0x01 0x00\n",
         {0xA0},
         3,
         "BCB",
         "ACA",
         "ACA"},
        // Bits 0 0 1 0; C = 0 is a prefix of the earlier A = 00 and B = 01.
        {"shorter code after longer ones",
         "3\n0x41 0x02 0x00\n0x42 0x02 0x40\n0x43 0x01 0x00\n0x44 0x01 0x80\n",
         {0x20},
         3,
         "CCD",
         "ADA",
         "CCD"},
        // Bits 1 1 0; B = 11 goes through the earlier leaf A = 1 and is never reached by the walk.
        {"longer code after a leaf",
         "3\n0x41 0x01 0x80\n0x42 0x02 0xC0\n0x43 0x01 0x00\n",
         {0xC0},
         3,
         "AAC",
         "AAC",
         "AAC"},
        {"longer code listed first",
         "3\n0x42 0x02 0xC0\n0x41 0x01 0x80\n0x43 0x01 0x00\n",
         {0xC0},
         3,
         "AAC",
         "BCC",
         "AAC"},
        // Bits 0 1; a code of no bits would match everywhere.
        {"zero-length entry",
         "2\n0x41 0x00\n0x42 0x01 0x00\n0x43 0x01 0x80\n",
         {0x40},
         2,
         "BC",
         "BC",
         "BC"},
        {"blank and one-field lines",
         "2\n0x41 0x01 0x00\n\n0x99\n0x42 0x01 0x80\n",
         {0x40},
         2,
         "AB",
         "AB",
         "A"},
        // Only the tree reader takes bare hex and tabs; the table reader finds no code bytes on
        // a tab-separated line and the hash reader stops at the first line without "0x".
        {"tabs, space runs, bare hex", "6\n43\t2\t0\n0x42  0x02   0x40\n41 1 80\n", WORKED_DATA, 6,
         "AAABBC", "BB", ""},
        // A is 00 for the tree and table readers; the hash reader takes its code byte from the
        // next line (0x42: A = 01) and then finds no further entry.
        {"missing code fields", "2\n0x41 0x02\n0x42 0x01 0x80\n", {0x20}, 2, "AB", "AB", ""},
        // Bits 0 1 1 0 ...: the walk stops at the missing left child; matching skips one bit.
        {"no code fits the first bits", "1\n0x41 0x02 0xC0\n", {0x60, 0, 0, 0, 0}, 1, "", "A", "A"},
        // A would be 257 zero bits; skipped, no code begins with 0 for the walk, and the table
        // reader does not take it for the 1-bit code its low 8 bits would give.
        {"length above 256", "1\n0x41 0x101\n0x42 0x01 0x80\n", data_257, 1, "", "B", ""},
        // 256 ones for A and 256 zeros for B: the tree holds 513 nodes.
        {"length of exactly 256", "2\n" + long_ones + "\n" + long_zeros + "\n", data_256, 2, "AB",
         "", ""},
        {"entry lines past the 256th", over_256, {0x80}, 1, "A", "", "A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_by(1, c.table, c.data, c.target), c.tree) << c.name;
        EXPECT_EQ(decode_by(2, c.table, c.data, c.target), c.table_match) << c.name;
        EXPECT_EQ(decode_by(3, c.table, c.data, c.target), c.hash) << c.name;
    }
}

TEST_F(DecodeTables, HashDecoderListsTheTableAndCountsBitsAsAOneBitRefillWould) {
    std::string listing;
    EXPECT_EQ(decode_by(3, WORKED_TABLE, WORKED_DATA, 6, &listing), "AAABBC");
    EXPECT_EQ(listing,
              "压缩数据大小: 2 字节\n原始数据大小: 6 字节\n唯一字符数: 3\n编码表内容:\n"
              "字节: 0x43, 长度: 2, 编码: 0x0\n字节: 0x42, 长度: 2, 编码: 0x1\n"
              "字节: 0x41, 长度: 1, 编码: 0x1\n解码统计:\n处理的位数: 16\n写入的字节数: 6\n");

    struct Case {
        const char* name;
        std::string table;
        Bytes data;
        size_t target;
        const char* bits_line;
    };
    const std::vector<Case> cases = {
        // The third round starts at bit 2 and fills its window to bit 34.
        {"stops at the target", "5\n0x41 0x01 0x80\n", Bytes(5, 0xFF), 3, "处理的位数: 34\n"},
        {"nothing to restore", "0\n0x41 0x01 0x80\n", Bytes(5, 0xFF), 0, "处理的位数: 0\n"},
        {"drops bits, then runs out",
         "2\n0x41 0x02 0xC0\n",
         {0x60, 0, 0, 0, 0},
         2,
         "处理的位数: 40\n"},
        // A code byte above 0xFF is taken whole: 0x1A0 >> 5 is 0xD.
        {"wide code byte", "0\n0x41 0x03 0x1A0\n", {}, 0, "字节: 0x41, 长度: 3, 编码: 0xD\n"},
    };
    for (const auto& c : cases) {
        decode_by(3, c.table, c.data, c.target, &listing);
        EXPECT_NE(listing.find(c.bits_line), std::string::npos) << c.name << "\n" << listing;
    }
}

TEST_F(DecodeTables, ReadersPrintTheirFailures) {
    auto tree = [] { return build_decoding_table("t.code") != nullptr; };
    auto table = [] {
        size_t count = 0;
        size_t size = 0;
        return load_code_table("t.code", &count, &size) != nullptr;
    };
    auto hash = [] {
        size_t count = 0;
        return read_hash_code_table("t.code", &count) != nullptr;
    };
    struct Case {
        const char* content;  // null: no file
        std::function<bool()> read;
        std::string message;
    };
    const std::vector<Case> cases = {
        {nullptr, tree, "无法打开编码表文件: t.code\n"},
        {nullptr, table, "无法打开编码表文件: t.code\n"},
        {nullptr, hash, "无法打开编码表文件\n"},
        {"six\n0x41 0x01 0x80\n", tree, "读取原始文件大小失败\n"},
        {"", table, "读取原始文件大小失败\n"},
        {"-\n", hash, "读取原始文件大小失败\n"},
        {"1\n0x41 0x09 0x80\n", hash, "读取编码字节失败\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove("t.code");
        if (c.content)
            write_file("t.code", c.content);
        bool loaded = true;
        EXPECT_EQ(capture_stdout([&] { loaded = c.read(); }), c.message);
        EXPECT_FALSE(loaded) << c.message;
    }
}

class DecodeHeader : public TempDirTest {};

TEST_F(DecodeHeader, ReadsLinesWholeAndLeavesTheFileAtThePackedData) {
    const std::string line127(127, 's');
    const std::string line254(254, 'r');
    struct Case {
        std::string file;
        int method;
        std::string sender, receiver;
        bool whole;
        std::string rest;
    };
    const std::vector<Case> cases = {
        {"0\nabc\ndef\n\x01\x02", 0, "abc", "def", true, "\x01\x02"},
        {" +7xyz\n\n\n\n", 7, "", "", true, "\n"},
        {"abc\nS\r\nR", 0, "S\r", "R", true, ""},
        {"1\n" + line127 + "\n" + line254 + "\nD", 1, line127, line254, true, "D"},
        {"99999999999\nS\n" + line254 + "x\nD", 2147483647, "S", line254, false, "D"},
    };
    for (const auto& c : cases) {
        write_file("h.hfm", c.file);
        std::FILE* file = std::fopen("h.hfm", "rb");
        ASSERT_NE(file, nullptr);
        CompressedHeader header;
        EXPECT_EQ(read_compressed_header(file, &header), 0);
        EXPECT_EQ(header.enc_method, c.method);
        EXPECT_EQ(header.sender_info, c.sender);
        EXPECT_EQ(header.receiver_info, c.receiver);
        EXPECT_EQ(header.lines_whole, c.whole);
        std::string rest;
        for (int ch = std::fgetc(file); ch != EOF; ch = std::fgetc(file))
            rest += static_cast<char>(ch);
        EXPECT_EQ(rest, c.rest);
        std::fclose(file);
    }
}

class DecompressFile : public TempDirTest {
  protected:
    // Writes name and name.code; the header's method line is 2, which leaves bytes unchanged.
    void write_pair(const std::string& name, const std::string& table, const Bytes& data,
                    const std::string& method_line = "2") {
        write_file(name, method_line + "\nS\nR\n" + as_text(data));
        write_file(name + ".code", table);
    }

    std::string run(const std::string& name, const std::string& input, int* status,
                    const std::string& sender = "S", const std::string& receiver = "R") {
        return run_with_input(input, [&] {
            *status = decompress_file(name.c_str(), sender.c_str(), receiver.c_str());
        });
    }
};

TEST_F(DecompressFile, RestoresTheWorkedExampleWithEveryMethod) {
    write_pair("w.hfm", WORKED_TABLE, WORKED_DATA);
    const std::vector<std::string> announcements = {
        "使用解码树进行解码...\n", "使用编码表直接匹配进行解码...\n",
        "使用哈希表进行解码...\n开始解码处理...\n压缩数据大小: 2 字节\n"};
    for (int method = 1; method <= 3; ++method) {
        std::filesystem::remove("w_recovered.txt");
        int status = -1;
        std::string out = run("w.hfm", std::to_string(method) + "\n", &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(read_file("w_recovered.txt"), "AAABBC");
        const std::string head =
            "正在构建解码信息...\n" + METHOD_PROMPT + announcements[method - 1];
        EXPECT_EQ(out.substr(0, head.size()), head);
        const std::string summary =
            "解压完成!\n输出文件: w_recovered.txt\n解压后大小: 6 字节\n"
            "文件哈希值: 0x" +
            hex_hash("AAABBC") + "\n\n=== 性能统计 ===\n压缩率: 33.33%\n解码操作耗时: ";
        EXPECT_NE(out.find(summary), std::string::npos) << out;
        EXPECT_NE(out.find(" 秒\n解码部分处理速度: "), std::string::npos);
        EXPECT_TRUE(ends_with(out, " KB/s\n===============\n")) << out;
    }
}

TEST_F(DecompressFile, ReversesTheTransformNamedInTheHeader) {
    struct Case {
        const char* method_line;
        std::string restored;  // of the decoded bytes 41 41 41 42 42 43
    };
    const std::vector<Case> cases = {{"1", "\x0A\x0A\x0A\x09\x09\x08"},
                                     {"0", "\xF6\xF6\xF6\xF7\xF7\xF8"},
                                     {"abc", "\xF6\xF6\xF6\xF7\xF7\xF8"},
                                     {"2", "AAABBC"},
                                     {"7", "AAABBC"}};
    for (const auto& c : cases) {
        write_pair("w.hfm", WORKED_TABLE, WORKED_DATA, c.method_line);
        int status = -1;
        std::string out = run("w.hfm", "1\n", &status);
        EXPECT_EQ(status, 0) << c.method_line;
        EXPECT_EQ(read_file("w_recovered.txt"), c.restored) << c.method_line;
        EXPECT_NE(out.find("文件哈希值: 0x" + hex_hash(c.restored)), std::string::npos);
    }
}

TEST_F(DecompressFile, DerivesNamesFromTheFirstDotHfm) {
    std::filesystem::create_directory("sub.hfm");
    struct Case {
        const char* typed;
        const char* output;
    };
    const std::vector<Case> cases = {{"x.hfm.hfm", "x_recovered.txt"},
                                     {"X.HFM", "X.HFM_recovered.txt"},
                                     {"data", "data_recovered.txt"},
                                     {"sub.hfm/n", "sub_recovered.txt"}};
    for (const auto& c : cases) {
        write_pair(c.typed, WORKED_TABLE, WORKED_DATA);
        int status = -1;
        run(c.typed, "1\n", &status);
        EXPECT_EQ(status, 0) << c.typed;
        EXPECT_EQ(read_file(c.output), "AAABBC") << c.typed;
    }
}

// Every refusal prints its reason, returns -1 and leaves the folder as it was: no output, no
// temporary, an earlier restored file untouched.
TEST_F(DecompressFile, RefusalsLeaveNoOutput) {
    const std::string long_line(200, 'S');
    const std::string data = std::string("2\nS\nR\n") + as_text(WORKED_DATA);
    const std::string mismatch = "收发人信息不匹配，解压拒绝！\n";
    struct Case {
        const char* name;
        std::optional<std::string> hfm, table;
        std::string sender, input;
        std::string output;  // all that is printed after the first line
    };
    const std::vector<Case> cases = {
        {"no files", {}, {}, "S", "1\n", "无法打开编码表文件: w.hfm.code\n构建解码树失败\n"},
        {"no compressed file", {}, WORKED_TABLE, "S", "1\n", "无法打开压缩文件: w.hfm\n"},
        {"empty compressed file", "", WORKED_TABLE, "S", "1\n", "读取加密方式失败\n"},
        {"one header line", "2\n", WORKED_TABLE, "S", "1\n", "读取头信息失败\n"},
        {"trailing blank typed", data, WORKED_TABLE, "S ", "1\n", mismatch},
        {"sender and receiver swapped", "2\nR\nS\n\xEA", WORKED_TABLE, "S", "1\n", mismatch},
        {"stored line longer than typed", "2\n" + long_line + "\nR\n\xEA", WORKED_TABLE,
         long_line.substr(0, 127), "1\n", mismatch},
        // Two data bytes hold 16 bits, so at most 16 codes.
        {"size beyond the packed bits", data, "17\n0x41 0x01 0x80\n", "S", "1\n",
         METHOD_PROMPT + "编码表中的原始大小（17 字节）超过压缩数据所能还原的字节数\n"},
        {"huge size", data, "18446744073709551615\n0x41 0x01 0x80\n", "S", "1\n",
         METHOD_PROMPT + "编码表中的原始大小（18446744073709551615 字节）超过压缩数据所能还原的字节数\n"},
        {"no method typed", data, WORKED_TABLE, "S", "x\n", METHOD_PROMPT + "读取选择失败\n"},
        {"end of input at the prompt", data, WORKED_TABLE, "S", "",
         METHOD_PROMPT + "读取选择失败\n"},
    };
    for (const auto& c : cases) {
        for (const auto& name : files_here())
            std::filesystem::remove(name);
        if (c.hfm)
            write_file("w.hfm", *c.hfm);
        if (c.table)
            write_file("w.hfm.code", *c.table);
        write_file("w_recovered.txt", "earlier");
        const std::vector<std::string> before = files_here();
        int status = 0;
        std::string out = run("w.hfm", c.input, &status, c.sender);
        EXPECT_EQ(status, -1) << c.name;
        EXPECT_EQ(out, "正在构建解码信息...\n" + c.output) << c.name;
        EXPECT_EQ(files_here(), before) << c.name;
        EXPECT_EQ(read_file("w_recovered.txt"), "earlier") << c.name;
    }
}

TEST_F(DecompressFile, EveryMethodFailsAShortResult) {
    // Ten bytes stated, nine in the data (the padding adds three C).
    write_pair("w.hfm", "10\n0x43 0x02 0x00\n0x42 0x02 0x40\n0x41 0x01 0x80\n", WORKED_DATA);
    write_file("w_recovered.txt", "earlier");
    for (int method = 1; method <= 3; ++method) {
        int status = 0;
        std::string out = run("w.hfm", std::to_string(method) + "\n", &status);
        EXPECT_EQ(status, -1);
        EXPECT_TRUE(ends_with(out, "解码失败：解码后的数据大小不匹配\n")) << out;
        EXPECT_EQ(read_file("w_recovered.txt"), "earlier");
        EXPECT_EQ(files_here(),
                  (std::vector<std::string>{"w.hfm", "w.hfm.code", "w_recovered.txt"}));
    }
}

TEST_F(DecompressFile, CodesLongerThan32BitsNeedTheTree) {
    // A = 1, B = 0^32 1, C = 0^33. The bits of A B A C: 1, 32 zeros, 1, 1, 33 zeros.
    write_pair("w.hfm",
               "4\n0x41 0x01 0x80\n0x42 0x21 0x00 0x00 0x00 0x00 0x80\n"
               "0x43 0x21 0x00 0x00 0x00 0x00 0x00\n",
               {0x80, 0, 0, 0, 0x60, 0, 0, 0, 0});
    int status = -1;
    run("w.hfm", "1\n", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file("w_recovered.txt"), "ABAC");
    std::filesystem::remove("w_recovered.txt");
    for (int method = 2; method <= 3; ++method) {
        std::string out = run("w.hfm", std::to_string(method) + "\n", &status);
        EXPECT_EQ(status, -1);
        EXPECT_NE(
            out.find("编码表中有长于 32 位的编码，此解码方式无法处理，请改用方式 1（解码树）\n"),
            std::string::npos)
            << out;
        EXPECT_EQ(out.find("开始解码处理"), std::string::npos);
        EXPECT_FALSE(file_exists("w_recovered.txt"));
    }
}

TEST_F(DecompressFile, MethodOutsideOneToThreeIsAskedAgain) {
    write_pair("w.hfm", WORKED_TABLE, WORKED_DATA);
    struct Case {
        std::string input;
        int prompts;
        const char* announcement;
        std::string unread;
    };
    const std::vector<Case> cases = {
        {"2abc\nnext", 1, "使用编码表直接匹配进行解码...\n", "next"},
        {"7\n0\n-1\n\n  3 x\nnext", 4, "使用哈希表进行解码...\n", "next"},
    };
    for (const auto& c : cases) {
        int status = -1;
        std::string unread;
        std::string out = run_with_input(c.input, [&] {
            status = decompress_file("w.hfm", "S", "R");
            for (int ch = std::getchar(); ch != EOF; ch = std::getchar())
                unread += static_cast<char>(ch);
        });
        EXPECT_EQ(status, 0);
        std::string prompts;
        for (int i = 0; i < c.prompts; ++i)
            prompts += METHOD_PROMPT;
        EXPECT_EQ(out.substr(0, out.find(c.announcement)), "正在构建解码信息...\n" + prompts);
        EXPECT_EQ(unread, c.unread);
    }
    int status = 0;
    std::string out = run("w.hfm", "9\n", &status);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "正在构建解码信息...\n" + METHOD_PROMPT + METHOD_PROMPT + "读取选择失败\n");
}

TEST_F(DecompressFile, FailedOutputKeepsTheEarlierFile) {
    // The output name taken by a folder cannot be replaced.
    write_pair("d.hfm", WORKED_TABLE, WORKED_DATA);
    std::filesystem::create_directory("d_recovered.txt");
    int status = 0;
    std::string out = run("d.hfm", "1\n", &status);
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(ends_with(out, "无法创建输出文件: d_recovered.txt\n")) << out;
    EXPECT_TRUE(std::filesystem::is_directory("d_recovered.txt"));

    // A file size limit fails the write itself.
    std::string text(200000, 'a');
    std::mt19937 rng(7);
    for (char& ch : text)
        ch = static_cast<char>('a' + rng() % 26);
    write_file("big.txt", text);
    capture_stdout([&] { compress_file("big.txt", "S", "R", ENCRYPT_METHOD_XOR); });
    write_file("big.txt_recovered.txt", "earlier");
    const std::vector<std::string> before = files_here();
    feed_stdin("1\n");
    std::fflush(stdout);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::freopen("child_out.txt", "w", stdout);
        int result = decompress_file("big.txt.hfm", "S", "R");
        std::fflush(stdout);
        _exit(result == -1 ? 0 : 1);
    }
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    ASSERT_TRUE(WIFEXITED(wait_status));
    EXPECT_EQ(WEXITSTATUS(wait_status), 0) << "reported success despite a failed write";
    std::string child_out = read_file("child_out.txt");
    EXPECT_TRUE(ends_with(child_out, "写入输出文件失败\n")) << child_out;
    std::filesystem::remove("child_out.txt");
    EXPECT_EQ(read_file("big.txt_recovered.txt"), "earlier");
    EXPECT_EQ(files_here(), before);
}

// Flipped bits in a small valid pair give a clean success or failure with every method; a
// success always writes exactly the stated size.
TEST_F(DecompressFile, CorruptedFilesNeverCrash) {
    const std::string hfm = "2\nS\nR\n" + as_text(WORKED_DATA);
    for (const std::string target : {"w.hfm", "w.hfm.code"}) {
        const std::string original = target == "w.hfm" ? hfm : WORKED_TABLE;
        for (size_t i = 0; i < original.size(); ++i) {
            for (unsigned char mask : {0x01, 0x10, 0x80}) {
                write_file("w.hfm", hfm);
                write_file("w.hfm.code", WORKED_TABLE);
                std::string corrupt = original;
                corrupt[i] = static_cast<char>(corrupt[i] ^ mask);
                write_file(target, corrupt);
                for (int method = 1; method <= 3; ++method) {
                    std::filesystem::remove("w_recovered.txt");
                    int status = 1;
                    run("w.hfm", std::to_string(method) + "\n", &status);
                    ASSERT_TRUE(status == 0 || status == -1);
                    EXPECT_EQ(file_exists("w_recovered.txt"), status == 0);
                }
            }
        }
    }
}

// Whatever the compressor writes, each method restores exactly, under either transform.
class DecompressRoundTrip : public TempDirTest,
                            public ::testing::WithParamInterface<std::tuple<int, EncryptMethod>> {};

TEST_P(DecompressRoundTrip, RestoresWhatTheCompressorWrote) {
    const int method = std::get<0>(GetParam());
    const EncryptMethod transform = std::get<1>(GetParam());
    std::mt19937 rng(20240611);
    std::string all_values;
    for (int round = 0; round < 3; ++round)
        for (int v = 0; v < 256; ++v)
            all_values += static_cast<char>(v);
    std::shuffle(all_values.begin(), all_values.end(), rng);
    std::string zero_heavy(50000, '\0');
    for (size_t i = 0; i < zero_heavy.size(); i += 1 + rng() % 13)
        zero_heavy[i] = static_cast<char>(rng());
    std::string random_bytes(100000, '\0');
    for (char& ch : random_bytes)
        ch = static_cast<char>(rng());
    std::string text;
    while (text.size() < 30000)
        text += "The quick brown fox, line " + std::to_string(text.size()) + ".\r\n";
    struct Case {
        const char* name;
        std::string input;
        bool crlf_table;
    };
    const std::vector<Case> cases = {
        {"one value", std::string(1000, '\xBB'), false},
        {"one byte", "\x4B", false},
        {"two values", "abababbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbba", false},
        {"all 256 values", all_values, false},
        {"mostly 0x00", zero_heavy, false},
        {"seeded random", random_bytes, false},
        {"text with a CR LF table", text, true},
    };
    for (const auto& c : cases) {
        write_file("in.bin", c.input);
        int status = -1;
        capture_stdout([&] { status = compress_file("in.bin", "S", "R", transform); });
        ASSERT_EQ(status, 0) << c.name;
        if (c.crlf_table) {
            std::string table = read_file("in.bin.hfm.code");
            std::string crlf;
            for (char ch : table)
                crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
            write_file("in.bin.hfm.code", crlf);
        }
        std::string out = run_with_input(std::to_string(method) + "\n",
                                         [&] { status = decompress_file("in.bin.hfm", "S", "R"); });
        EXPECT_EQ(status, 0) << c.name;
        EXPECT_TRUE(read_file("in.bin_recovered.txt") == c.input) << c.name;
        EXPECT_NE(out.find("文件哈希值: 0x" + hex_hash(c.input) + "\n"), std::string::npos)
            << c.name;
        std::filesystem::remove("in.bin_recovered.txt");
    }
}

INSTANTIATE_TEST_SUITE_P(MethodsAndTransforms, DecompressRoundTrip,
                         ::testing::Combine(::testing::Values(1, 2, 3),
                                            ::testing::Values(ENCRYPT_METHOD_OFFSET,
                                                              ENCRYPT_METHOD_XOR)));

// The compressor writes lines of up to 127 bytes (the most a prompt takes) when the header
// fits; each is read back whole, and one byte less typed does not match.
TEST_F(DecompressFile, LongestTypedLinesRoundTrip) {
    const std::string l127(127, 'x');
    const std::vector<std::pair<std::string, std::string>> lines = {{l127, std::string(124, 'y')},
                                                                    {"abc", l127}};
    write_file("in.txt", "some text");
    for (const auto& line : lines) {
        const std::string& sender = line.first;
        const std::string& receiver = line.second;
        int status = -1;
        capture_stdout([&] {
            status = compress_file("in.txt", sender.c_str(), receiver.c_str(), ENCRYPT_METHOD_XOR);
        });
        ASSERT_EQ(status, 0);
        run("in.txt.hfm", "3\n", &status, sender, receiver);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(read_file("in.txt_recovered.txt"), "some text");
        run("in.txt.hfm", "3\n", &status, sender, receiver.substr(1));
        EXPECT_EQ(status, -1);
    }
}
