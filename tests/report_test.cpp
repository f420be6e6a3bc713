#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "common.h"
#include "test_util.h"

// The report is printed by the program after a successful compression, so every test drives
// the real program and compares what it printed with values worked out here from the files
// on disk.

namespace {

const std::string FREQ_HEADING = "字节值(HEX)   次数\n";
const std::string WPL_HEADING = "\n=== Huffman 树的加权路径长度 (WPL) ===\n";

std::string compress_session(const std::string& sender, const std::string& receiver,
                             char transform) {
    return "c\nin.bin\n" + sender + "\n" + receiver + "\n" + transform + "\n\nq\n";
}

std::string hex_hash(const std::string& bytes) {
    char text[19];
    std::snprintf(text, sizeof(text), "0x%016llx",
                  static_cast<unsigned long long>(fnv1a_64(bytes.data(), bytes.size())));
    return text;
}

std::string tail_dump(const std::string& bytes) {
    std::string dump;
    size_t start = bytes.size() < 16 ? 0 : bytes.size() - 16;
    for (size_t i = start; i < bytes.size(); ++i) {
        char cell[4];
        std::snprintf(cell, sizeof(cell), "%02X ", static_cast<unsigned char>(bytes[i]));
        dump += cell;
    }
    return dump;
}

std::map<unsigned char, size_t> byte_counts(const std::string& bytes) {
    std::map<unsigned char, size_t> counts;
    for (char c : bytes)
        ++counts[static_cast<unsigned char>(c)];
    return counts;
}

// The weighted path length is also the sum of the weights of all joined nodes; working it out
// that way keeps the check independent of how the program walks its tree.
size_t wpl_by_joins(const std::map<unsigned char, size_t>& counts) {
    std::priority_queue<size_t, std::vector<size_t>, std::greater<>> weights;
    for (const auto& [byte, count] : counts)
        weights.push(count);
    size_t wpl = 0;
    while (weights.size() > 1) {
        size_t a = weights.top();
        weights.pop();
        size_t b = weights.top();
        weights.pop();
        wpl += a + b;
        weights.push(a + b);
    }
    return wpl;
}

std::string between(const std::string& text, const std::string& from, const std::string& to) {
    size_t begin = text.find(from);
    if (begin == std::string::npos)
        return "<no '" + from + "'>";
    begin += from.size();
    size_t end = text.find(to, begin);
    if (end == std::string::npos)
        return "<no '" + to + "'>";
    return text.substr(begin, end - begin);
}

// Checks the printed frequency rows: exactly the byte counts of `input`, each row once,
// largest count first (rows of equal counts may come in any order). Returns the rows so the
// caller can match the whole report around them.
std::string check_frequency_rows(const std::string& out, const std::string& input) {
    std::string rows = between(out, FREQ_HEADING, WPL_HEADING);
    std::map<unsigned char, size_t> printed;
    size_t previous = SIZE_MAX;
    size_t pos = 0;
    while (pos < rows.size()) {
        size_t end = rows.find('\n', pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated row in:\n" << rows;
            break;
        }
        std::string row = rows.substr(pos, end - pos);
        unsigned byte = 0;
        size_t count = 0;
        char row_again[64];
        if (std::sscanf(row.c_str(), "0x%2X\t\t%zu", &byte, &count) != 2) {
            ADD_FAILURE() << "bad row '" << row << "'";
            break;
        }
        std::snprintf(row_again, sizeof(row_again), "0x%02X\t\t%zu", byte, count);
        EXPECT_EQ(row, row_again);
        EXPECT_LE(count, previous) << "row '" << row << "' is out of order";
        EXPECT_EQ(printed.count(static_cast<unsigned char>(byte)), 0u) << "repeated " << row;
        printed[static_cast<unsigned char>(byte)] = count;
        previous = count;
        pos = end + 1;
    }
    EXPECT_EQ(printed, byte_counts(input));
    return rows;
}

struct ReportCase {
    const char* name;
    std::string input;
    std::string sender;
    std::string receiver;
    char transform;
    size_t hfm_size;  // 0: not pinned; otherwise the size the case is meant to dump
};

std::string random_bytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    // A skewed distribution gives counts of many magnitudes.
    std::geometric_distribution<int> pick(0.02);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(pick(rng) % 256);
    return bytes;
}

std::string all_byte_values() {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ReportCase& c, std::ostream* os) {
    *os << c.name;
}

class ReportSections : public TempDirTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(ReportSections, MatchTheFilesOnDisk) {
    const ReportCase& c = GetParam();
    write_file("in.bin", c.input);
    RunResult run = run_hfm(compress_session(c.sender, c.receiver, c.transform));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_NE(run.out.find("文件压缩成功！"), std::string::npos) << run.out;
    std::string hfm = read_file("in.bin.hfm");
    std::string code = read_file("in.bin.hfm.code");
    ASSERT_FALSE(code.empty());
    if (c.hfm_size != 0) {
        ASSERT_EQ(hfm.size(), c.hfm_size) << "the case no longer dumps what it means to";
    }

    std::string rows = check_frequency_rows(run.out, c.input);
    std::string expected = "\n原文件 HASH 值: " + hex_hash(c.input) + "\n";
    expected += "\n=== 编码表内容 (HEX 显示) ===\n" + code;
    expected += "\n=== 压缩文件最后16个字节 (HEX 显示) ===\n";
    expected += "总字节数: " + std::to_string(hfm.size()) + "\n";
    expected += "最后16个字节: " + tail_dump(hfm) + "\n";
    expected += "压缩数据 HASH 值: " + hex_hash(hfm) + "\n";
    expected += "\n=== 词频统计列表 ===\n";
    expected += "原始文件总字节数: " + std::to_string(c.input.size()) + "\n" + FREQ_HEADING + rows;
    expected += WPL_HEADING;
    expected += "Huffman 树 WPL 值: " + std::to_string(wpl_by_joins(byte_counts(c.input))) + "\n";
    size_t report = run.out.find(expected);
    EXPECT_NE(report, std::string::npos) << "expected:\n" << expected << "\nprinted:\n" << run.out;
    EXPECT_LT(run.out.find("文件压缩成功！"), report);
    EXPECT_NE(run.out.find("按回车键继续", report), std::string::npos);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Report, ReportSections,
    ::testing::Values(
        // 5/2/1: join 1 and 2 into 3, then 3 and 5 into 8; depths 1, 2, 2 give 11.
        ReportCase{"CountsFiveTwoOne", "aaaaabbc", "s", "r", '0', 0},
        ReportCase{"CountsFiveTwoOneXor", "cbabaaaa", "s", "r", '1', 0},
        // A lone leaf is the root: WPL 0.
        ReportCase{"OneValue", "aaaa", "s", "r", '0', 0},
        // Both leaves at depth 1: the WPL is the file's length.
        ReportCase{"TwoValues", "xyyxyyyxyyyyyyyxxyyxyyxxxyyyyxyyyyyyy", "s", "r", '0', 0},
        // A full tree of depth 8: 256 x 8 = 2048.
        ReportCase{"AllByteValuesOnce", all_byte_values(), "s", "r", '1', 0},
        // More than one read block, and a count of each magnitude.
        ReportCase{"RandomAcrossBlocks", random_bytes(3 * 65536 + 7, 7), "s", "r", '0', 0},
        ReportCase{"RandomOneBlockExactly", random_bytes(65536, 11), "s", "r", '1', 0},
        // One coded bit after a header of 4 + sender + receiver bytes pins the file size.
        ReportCase{"TailOfShortFile", "a", "s", "r", '0', 7},
        ReportCase{"TailOfSixteenBytes", "a", "ssssss", "rrrrr", '0', 16},
        ReportCase{"TailOfSeventeenBytes", "a", "ssssss", "rrrrrr", '0', 17},
        ReportCase{"TailOfHundredBytes", "a", std::string(60, 's'), std::string(35, 'r'), '0',
                   100}),
    [](const ::testing::TestParamInfo<ReportCase>& param) { return param.param.name; });

using ReportText = TempDirTest;

TEST_F(ReportText, KnownAnswersForOneByte) {
    // Worked by hand rather than through the hash routine: FNV-1a 64 of "a", the dump of a
    // seven-byte file, its one row and a lone leaf.
    write_file("in.bin", "a");
    RunResult run = run_hfm(compress_session("s", "r", '0'));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string hfm = read_file("in.bin.hfm");
    ASSERT_EQ(hfm.substr(0, 6), "0\ns\nr\n");
    ASSERT_EQ(hfm.size(), 7u);
    char last[4];
    std::snprintf(last, sizeof(last), "%02X", static_cast<unsigned char>(hfm[6]));
    EXPECT_NE(run.out.find("\n原文件 HASH 值: 0xaf63dc4c8601ec8c\n"), std::string::npos);
    std::string dump = "总字节数: 7\n最后16个字节: 30 0A 73 0A 72 0A " + std::string(last) + " \n";
    EXPECT_NE(run.out.find(dump), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("原始文件总字节数: 1\n字节值(HEX)   次数\n0x61\t\t1\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("Huffman 树 WPL 值: 0\n"), std::string::npos);
}

// Runs the program so that the files it creates are unreadable to it: with a umask of 0777
// they get no permission bits, and root gives up the capabilities that would ignore that.
// Output redirections are set up outside, so the test can still read what was printed.
RunResult run_hfm_with_unreadable_outputs(const std::string& input) {
    write_file("session.txt", input);
    std::string drop_override =
        ::geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search -- " : "";
    std::string command = "timeout 60 sh -c \"umask 0777 && exec " + drop_override + "'" +
                          HFM_PATH + "'\" < session.txt > out.txt 2> err.txt";
    int raw = std::system(command.c_str());
    RunResult result;
    if (raw != -1 && WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    result.out = read_file("out.txt");
    result.err = read_file("err.txt");
    return result;
}

TEST_F(ReportText, UnreadableOutputsReportedAndLaterSectionsRun) {
    const std::string input = "aaaaabbc";
    write_file("in.bin", input);
    RunResult run = run_hfm_with_unreadable_outputs(compress_session("s", "r", '0'));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_TRUE(file_exists("in.bin.hfm"));
    ASSERT_TRUE(file_exists("in.bin.hfm.code"));
    std::string expected = "\n原文件 HASH 值: " + hex_hash(input) + "\n";
    expected += "\n=== 编码表内容 (HEX 显示) ===\n";
    expected += "无法打开编码表文件: in.bin.hfm.code\n";
    expected += "\n=== 压缩文件最后16个字节 (HEX 显示) ===\n";
    expected += "无法打开压缩文件: in.bin.hfm\n";
    expected += "\n=== 词频统计列表 ===\n";
    expected += "原始文件总字节数: 8\n" + FREQ_HEADING + "0x61\t\t5\n0x62\t\t2\n0x63\t\t1\n";
    expected += WPL_HEADING;
    expected += "Huffman 树 WPL 值: 11\n";
    size_t report = run.out.find(expected);
    EXPECT_NE(report, std::string::npos) << run.out;
    EXPECT_LT(run.out.find("文件压缩成功！"), report);
    EXPECT_EQ(run.out.find("文件压缩失败！"), std::string::npos);
    EXPECT_NE(run.out.find("退出程序..."), std::string::npos);
    EXPECT_EQ(run.err, "");
}

}  // namespace

TEST_F(ReportText, LongNamesReachTheFilesTheCompressorWrote) {
    // 248 bytes typed: the code table's name (257 bytes) is longer than a name buffer, so it
    // must be formed whole for the report to read the file that was written.
    std::filesystem::create_directory("d");
    const std::string name = "d/" + std::string(246, 'a');
    write_file(name, "abc");
    RunResult run = run_hfm("c\n" + name + "\ns\nr\n0\n\nq\n");
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\n=== 编码表内容 (HEX 显示) ===\n" + read_file(name + ".hfm.code")),
              std::string::npos);
    EXPECT_EQ(run.out.find("无法打开"), std::string::npos);
}
