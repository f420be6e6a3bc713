#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <sstream>
#include <vector>

#include "common.h"
#include "test_util.h"

// The report is printed after a successful compression, so every test drives the real
// program and compares what it printed with values worked out here from the files on disk.

namespace {

const std::string FREQ_HEADING = "字节值(HEX)   次数\n";
const std::string WPL_HEADING = "\n=== Huffman 树的加权路径长度 (WPL) ===\n";

template <typename... T>
std::string fmt(const char* format, T... values) {
    char text[32];
    std::snprintf(text, sizeof(text), format, values...);
    return text;
}

std::string hash_of(const std::string& b) {
    return fmt("0x%016llx", static_cast<unsigned long long>(fnv1a_64(b.data(), b.size())));
}

struct Case {
    std::string name, input, sender, receiver;
    size_t size, wpl;  // size of in.bin.hfm the tail dump is meant to see; 0: any
};

class ReportSections : public TempDirTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ReportSections, MatchTheFilesOnDisk) {
    const Case& c = GetParam();
    write_file("in.bin", c.input);
    RunResult run = run_hfm("c\nin.bin\n" + c.sender + "\n" + c.receiver + "\n0\n\nq\n");
    const std::string hfm = read_file("in.bin.hfm"),
                      code = without_cr_lf(read_file("in.bin.hfm.code"));
    ASSERT_TRUE(run.status == 0 && !code.empty() && (!c.size || hfm.size() == c.size)) << run.err;
    std::string tail;
    for (size_t i = hfm.size() < 16 ? 0 : hfm.size() - 16; i < hfm.size(); ++i)
        tail += fmt("%02X ", static_cast<unsigned char>(hfm[i]));

    // A missing or misplaced heading makes `rows` garbage, which the whole report then fails.
    // Rows of equal counts may come in any order: their counts must not grow down the list,
    // and the rows are compared as a set.
    const size_t begin = run.out.find(FREQ_HEADING) + FREQ_HEADING.size();
    const std::string rows = run.out.substr(begin, run.out.find(WPL_HEADING) - begin);
    std::vector<std::string> got, want;
    std::istringstream lines(rows);
    for (std::string row; std::getline(lines, row); got.push_back(row))
        EXPECT_LE(std::stoul(row.substr(6)), got.empty() ? ~0ul : std::stoul(got.back().substr(6)));
    for (int byte = 0; byte < 256; ++byte)
        if (auto count = std::count(c.input.begin(), c.input.end(), static_cast<char>(byte)))
            want.push_back(fmt("0x%02X\t\t%td", byte, count));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);  // both in byte order now

    std::string expected =
        "\n原文件 HASH 值: " + hash_of(c.input) + "\n\n=== 编码表内容 (HEX 显示) ===\n" + code +
        "\n=== 压缩文件最后16个字节 (HEX 显示) ===\n总字节数: " + std::to_string(hfm.size()) +
        "\n最后16个字节: " + tail + "\n压缩数据 HASH 值: " + hash_of(hfm) +
        "\n\n=== 词频统计列表 ===\n原始文件总字节数: " + std::to_string(c.input.size()) + "\n" +
        FREQ_HEADING + rows + WPL_HEADING + "Huffman 树 WPL 值: " + std::to_string(c.wpl) + "\n";
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n---\n" << run.out;
    EXPECT_EQ(run.err, "");
}

const std::string ALL_BYTES = [] {
    std::string all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    return all;
}();

// A .hfm file is a header of 4 + sender + receiver bytes, then the packed bits, which pins
// the size the tail dump sees.
INSTANTIATE_TEST_SUITE_P(
    Report, ReportSections,
    ::testing::Values(
        // Joins 1+2, then 3+5: depths 1, 2, 2, so 11 bits after the header.
        Case{"CountsFiveTwoOne", "cbabaaaa", "s", "r", 8, 11},
        // Both leaves at depth 1; one whole counting block and a byte more.
        Case{"TwoValuesAcrossBlocks", std::string(65536, 'x') + "y", "s", "r", 0, 65537},
        Case{"AllByteValuesOnce", ALL_BYTES, "s", "r", 0, 256 * 8},
        // A lone leaf is the root; its one input byte still codes to a byte of its own.
        Case{"OneValueSixteenBytes", "a", "ssssss", "rrrrr", 16, 0},
        Case{"OneValueSeventeenBytes", "a", "ssssss", "rrrrrr", 17, 0}),
    [](const ::testing::TestParamInfo<Case>& param) { return param.param.name; });

using ReportText = TempDirTest;

#ifndef _WIN32  // umask, setpriv and a shell
TEST_F(ReportText, UnreadableOutputsReportedAndLaterSectionsRun) {
    // With a umask of 0777 the files the program creates have no permission bits, and root
    // gives up the capabilities that would ignore that. The redirections are opened outside.
    write_file("in.bin", "aaaaabbc");
    std::string command =
        "printf 'c\\nin.bin\\ns\\nr\\n0\\n\\nq\\n' | timeout 60 sh -c \"umask 0777 && exec " +
        std::string(::geteuid() ? "" : "setpriv --bounding-set=-all ") + "'" + HFM_PATH +
        "'\" > out.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string out = read_file("out.txt");
    size_t report = out.find(
        "无法打开编码表文件: in.bin.hfm.code\n\n=== 压缩文件最后16个字节 (HEX 显示) ===\n"
        "无法打开压缩文件: in.bin.hfm\n\n=== 词频统计列表 ===\n原始文件总字节数: 8\n");
    EXPECT_LT(out.find("文件压缩成功！"), report) << out;
    EXPECT_NE(out.find(WPL_HEADING + "Huffman 树 WPL 值: 11\n", report), std::string::npos) << out;
}
#endif

}  // namespace

TEST_F(ReportText, LongNamesReachTheFilesTheCompressorWrote) {
    // 248 bytes typed: the code table's name (257 bytes) is longer than a name buffer, so it
    // must be formed whole for the report to read the file that was written.
    std::filesystem::create_directory("d");
    const std::string name = "d/" + std::string(246, 'a');
    write_file(name, "abc");
    RunResult run = run_hfm("c\n" + name + "\ns\nr\n0\n\nq\n");
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\n=== 编码表内容 (HEX 显示) ===\n" +
                           without_cr_lf(read_file(name + ".hfm.code"))),
              std::string::npos);
    EXPECT_EQ(run.out.find("无法打开"), std::string::npos);
}
