#include "decompress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common.h"
#include "compress.h"
#include "progress.h"
#include "test_util.h"
#include "ui.h"

namespace fs = std::filesystem;

namespace {

// What one method's reader and decoder make of the table file `name` and `packed`: the bytes
// written, at most as many as the table's first line states, or "refused: " and the message.
// `printed_out`, when given, takes what the run printed.
std::string decode_with(int method, const char* name, size_t limit, const std::string& packed,
                        std::string* printed_out = nullptr) {
    const auto* in = reinterpret_cast<const unsigned char*>(packed.data());
    std::vector<unsigned char> out(limit + 1, 0xEE);  // a guard byte past the limit
    std::optional<size_t> n;
    size_t count = 0, size = 0;
    const std::string printed = run_with_input("", [&] {
        if (method == 1) {
            if (auto tree = build_decoding_table(name))
                n = decode_with_tree(in, packed.size(), out.data(), limit, tree.get());
        } else if (method == 2) {
            if (auto codes = load_code_table(name, &count, &size))
                n = decode_with_code_table(in, packed.size(), out.data(), limit, codes.get(),
                                           count);
        } else if (auto codes = read_hash_code_table(name, &count)) {
            n = decode_with_hash(in, packed.size(), out.data(), limit, codes.get(), count);
        }
    });
    EXPECT_EQ(out[limit], 0xEE) << "method " << method << " wrote past its limit";
    if (printed_out != nullptr)
        *printed_out = printed;
    if (!n)
        return "refused: " + printed;
    return std::string(out.begin(), out.begin() + static_cast<long>(std::min(*n, limit + 1)));
}

class DecodingRules : public TempDirTest {};

// Each rule of tests/decoding_rules.txt: a code table (none when the rule has no table), the
// packed bytes, and what each method must make of them.
TEST_F(DecodingRules, EveryMethodFollowsItsOwnRules) {
    struct Rule {
        std::string what, packed;
        std::optional<std::string> table;
        std::string expected[3];
    };
    std::vector<Rule> rules;
    const char* const methods[] = {"tree", "match", "hash"};
    for (const Section& s : read_sections(fs::path(HFM_SOURCE_DIR) / "tests/decoding_rules.txt")) {
        if (s.kind == "rule")
            rules.push_back({s.name + " " + s.value, "", std::nullopt, {}});
        else if (s.kind == "table")
            rules.back().table = rules.back().table.value_or("") + s.text;
        else if (s.kind == "packed")
            rules.back().packed = s.text;
        for (int m = 0; m < 3; ++m) {
            if (s.kind == methods[m])
                rules.back().expected[m] = s.text;
        }
    }
    ASSERT_GT(rules.size(), 20u);
    for (const Rule& rule : rules) {
        const char* name = rule.table ? "t.code" : "none.code";
        if (rule.table)
            write_file(name, *rule.table);
        const size_t limit = rule.table ? std::strtoul(rule.table->c_str(), nullptr, 10) : 0;
        for (int m = 0; m < 3; ++m)
            EXPECT_EQ(rule.expected[m], decode_with(m + 1, name, limit, rule.packed))
                << rule.what << ", " << methods[m];
    }
}

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

// A stream that reads `bytes`, positioned at the start.
std::FILE* stream_of(const std::string& bytes) {
    std::FILE* stream = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}

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
        std::FILE* in = stream_of(file);
        CompressedHeader h;
        EXPECT_EQ(read_compressed_header(in, &h), 0);
        EXPECT_EQ(Header(h.enc_method, h.sender_info, h.receiver_info, h.lines_whole,
                         file.substr(std::ftell(in))),
                  expected);
        std::fclose(in);
    }
    for (const std::string missing : {"", "1\nS", "1\nS\n"}) {
        std::FILE* in = stream_of(missing);
        CompressedHeader h;
        run_with_input("", [&] { EXPECT_EQ(read_compressed_header(in, &h), -1); });
        std::fclose(in);
    }
}

class OneBitCodes : public TempDirTest {};

// 'a' is 0 and twelve-bit codes 1000xxxxxxxx stand for every other byte, so 100000 a's, 5000
// twelve-bit codes and 40 one-bits that match nothing make the 105000 bytes the table states.
// One cursor stops at the last code, 160000 bits in, having taken the 32 bits from its start;
// a lead that went on to the end of the data must not be joined in its place.
TEST_F(OneBitCodes, AndOneCursorStopsAtTheLastByteWhereALeadWentOn) {
    std::string table = "105000\n0x61 0x01 0x00\n";
    for (unsigned v = 0; v < 256; ++v) {
        char line[64];
        std::snprintf(line, sizeof line, "0x%02X 0x0C 0x%02X 0x%02X\n", v, 0x80 | v >> 4,
                      (v & 0xF) << 4);
        if (v != 'a')
            table += line;
    }
    write_file("t.code", table);
    std::string packed(100000 / 8, '\0'), expected(100000, 'a');
    for (unsigned i = 0; i < 5000; i += 2) {           // two codes in three bytes
        const unsigned v = i % 96, w = 128 + i % 128;  // neither is 'a'
        packed += {static_cast<char>(0x80 | v >> 4), static_cast<char>((v & 0xF) << 4 | 0x8),
                   static_cast<char>(w)};
        expected += {static_cast<char>(v), static_cast<char>(w)};
    }
    packed.append(5, '\xFF');
    std::string printed;
    for (int method = 1; method <= 3; ++method)
        EXPECT_TRUE(decode_with(method, "t.code", expected.size(), packed, &printed) == expected)
            << "method " << method;
    EXPECT_NE(printed.find("处理的位数: 160020\n"), std::string::npos);
}

class RestoredHash : public TempDirTest {};

// The hash is taken while the bytes are decoded, transformed back one by one: it must still be
// the restored file's, for every transform and method. The long inputs go through packing and
// decoding in blocks, which must come out as from one piece, and are decoded from two places.
// The first one's codes of up to about 13 bits are packed two bytes per lookup. The second
// starts with bytes of every value, whose long codes give the hash few bytes a round to take,
// then goes on with one value nearly alone, whose one-bit codes fill a lead's room before the
// trailing cursor meets it. Transform 2 leaves the bytes as they are.
TEST_F(RestoredHash, IsThatOfTheRestoredFile) {
    std::mt19937 rng(3);
    std::geometric_distribution<unsigned> pick(0.3);
    std::vector<std::string> inputs;
    for (size_t size : {size_t{9}, 2 * PROGRESS_BLOCK_BYTES + 12345}) {
        inputs.emplace_back(size, '\0');
        for (char& c : inputs.back())
            c = static_cast<char>(pick(rng) % 24 * 7);
    }
    inputs.emplace_back(3 << 20, 'x');
    for (size_t i = 0; i < inputs.back().size(); ++i) {
        if (i < size_t{1} << 20 || rng() % 32 == 0)
            inputs.back()[i] = static_cast<char>(rng());
    }
    for (const std::string& input : inputs) {
        const size_t size = input.size();
        write_file("n", input);
        for (unsigned transform : {0u, 1u, 2u}) {
            run_with_input(
                "", [&] { compress_file("n", "S", "R", static_cast<EncryptMethod>(transform)); });
            char hash[64];
            std::snprintf(hash, sizeof hash, "文件哈希值: 0x%016llX\n",
                          static_cast<unsigned long long>(fnv1a_64(input.data(), input.size())));
            for (int method = 1; method <= 3; ++method) {
                const std::string printed = run_with_input(std::to_string(method) + "\n", [] {
                    decompress_file("n.hfm", "S", "R", ui_ask_decoding_method);
                });
                EXPECT_NE(printed.find(hash), std::string::npos)
                    << size << " bytes, transform " << transform << ", method " << method;
                EXPECT_TRUE(read_file("n_recovered.txt") == input);
            }
        }
    }
}

class DecompressProgress : public TempDirTest {};

// The method is asked with no bar on the screen, and the wait for the answer is no part of
// the work whose second the bar waits out.
TEST_F(DecompressProgress, AsksWithTheBarClearedAndBeginsTheWorkAfterTheAnswer) {
    struct Recorder final : ProgressSink {
        void begin() override { calls += 'b'; }
        void start(const char*, uint64_t) override { calls += 's'; }
        void update(uint64_t) override { calls += 'u'; }
        void clear() override { calls += 'c'; }
        std::string calls;
    };
    static Recorder recorder;
    static std::string calls_when_asked;
    write_file("n", "abracadabra");
    run_with_input("", [] { compress_file("n", "S", "R", ENCRYPT_METHOD_OFFSET); });
    int status = -1;
    run_with_input("", [&] {
        status = decompress_file(
            "n.hfm", "S", "R", [] { return calls_when_asked = recorder.calls, 1; }, &recorder);
    });
    EXPECT_EQ(status, 0);
    ASSERT_FALSE(calls_when_asked.empty());
    EXPECT_EQ(calls_when_asked.back(), 'c') << recorder.calls;
    EXPECT_EQ(recorder.calls.substr(calls_when_asked.size(), 1), "b") << recorder.calls;
}

}  // namespace
