// Replays every kept fuzz input, and a fixed set of seeded random ones, through the fuzz
// targets, which compare each reader and decoder with its slow model; a violated property
// aborts the test process, naming the input.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compress.h"
#include "fuzz_targets.h"
#include "test_util.h"

namespace fs = std::filesystem;

void PrintTo(const FuzzTarget& target, std::ostream* out) {
    *out << target.name;
}

namespace {

constexpr int SEEDED_INPUTS = 300;

// Bytes of `length` drawn from a skewed alphabet of `values` byte values.
std::string skewed_bytes(std::mt19937& rng, size_t length, unsigned values) {
    std::geometric_distribution<unsigned> pick(2.0 / (values + 1));
    std::string out(length, '\0');
    for (char& c : out)
        c = static_cast<char>(pick(rng) % values * 37);
    return out;
}

std::string entry_line(unsigned byte, unsigned length, const std::string& code) {
    char head[32];
    std::snprintf(head, sizeof head, "0x%02X 0x%02X", byte, length);
    std::string line = head;
    for (size_t k = 0; k < (length + 7) / 8; ++k) {
        std::snprintf(head, sizeof head, " 0x%02X", k < code.size() ? code[k] & 0xFF : 0);
        line += head;
    }
    return line + "\n";
}

// A table and packed bytes: half the time what the compressor wrote for skewed text, with a
// few bits flipped and the size a little off; otherwise made-up entries of mixed lengths,
// equal and overlapping codes among them, over random bits.
std::string table_and_data(std::mt19937& rng) {
    std::string table, packed;
    if (rng() % 2 == 0) {
        const std::string text = skewed_bytes(rng, 1 + rng() % 4000, 2 + rng() % 60);
        std::unique_ptr<CompressResult, void (*)(CompressResult*)> r(
            compress_data(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
            free_compress_result);
        table = std::to_string(text.size() + rng() % 3) + "\n";
        for (size_t i = 0; i < r->unique_chars; ++i) {
            const HuffmanCode& c = r->codes[i];
            table += entry_line(c.byte, static_cast<unsigned>(c.code_len),
                                std::string(c.code.get(), c.code.get() + (c.code_len + 7) / 8));
        }
        packed.assign(r->data.get(), r->data.get() + r->size);
        for (int flips = rng() % 3; flips > 0; --flips)
            packed[rng() % packed.size()] ^= static_cast<char>(1 << rng() % 8);
    } else {
        packed = skewed_bytes(rng, rng() % 400, 256);
        table = std::to_string(rng() % (8 * packed.size() + 9)) + "\n";
        const unsigned lengths[] = {0, 1, 2, 3, 5, 8, 11, 12, 13, 14, 20, 32, 33};
        for (size_t n = 1 + rng() % 40; n > 0; --n)
            table += entry_line(rng() % 256, lengths[rng() % 13], skewed_bytes(rng, 5, 256));
    }
    return table + '\0' + packed;
}

std::string seeded_input(const std::string& kind, std::mt19937& rng) {
    if (kind == "bytes")
        return skewed_bytes(rng, rng() % 5000, 1 + rng() % 256);
    return table_and_data(rng);
}

class FuzzReplay : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzReplay, KeptAndSeededInputsHoldEveryProperty) {
    const FuzzTarget& target = GetParam();
    const fs::path source(HFM_SOURCE_DIR);
    std::vector<std::pair<std::string, std::string>> inputs;  // name, bytes
    for (const fs::path& dir :
         {source / "fuzz/seeds" / target.seeds, source / "tests/fuzz_regressions" / target.name}) {
        if (!fs::is_directory(dir))
            continue;
        for (const auto& file : fs::directory_iterator(dir))
            inputs.emplace_back(file.path().string(), read_file(file.path().string()));
    }
    ASSERT_GT(inputs.size(), 0u) << "no kept input for " << target.name;
    std::mt19937 rng(7);
    for (int i = 0; i < SEEDED_INPUTS; ++i)
        inputs.emplace_back("seeded input " + std::to_string(i), seeded_input(target.seeds, rng));
    for (const auto& [name, bytes] : inputs) {
        std::fprintf(stderr, "\r%s  ", name.c_str());  // names the input when a property aborts
        run_with_input(
            "", [&] { target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); });
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(FUZZ_TARGETS),
                         [](const auto& target) { return std::string(target.param.name); });

// Outputs long enough to be decoded from two places at once, and the ways the two can fail to
// meet: halves that code to different lengths (so the rate a lead's start is reckoned from
// changes on the way), fixed three-bit codes (which meet a lead only where its start is a
// multiple of three), chains of codes that may never fall into step, flipped bits and cuts anywhere
// in the data, stated sizes off by a little or a lot, and made-up tables over random bits, whose
// steps skip and stop.
std::string split_input(std::mt19937& rng) {
    std::string table, packed;
    if (rng() % 4 != 0) {
        const size_t length = 1 + (size_t{1} << 16) * (1 + rng() % 5) / 2 + rng() % 2000;
        // Few values half the time: then most lookups decode two codes at once.
        const unsigned values = 2 + rng() % (rng() % 2 ? 3 : 100);
        std::string text = skewed_bytes(rng, length / 2, values) +
                           skewed_bytes(rng, length - length / 2, values + rng() % 150);
        const unsigned kind = rng() % 8;
        if (kind == 0) {
            for (size_t i = 0; i < text.size(); ++i)
                text[i] = static_cast<char>('a' + i % 8);
        } else if (kind == 1) {
            // Fibonacci counts below a value much more frequent than them all make codes
            // 1, 00, 010, 0110, ..., which a cursor starting inside one may never fall into
            // step with.
            text.assign(60000 + rng() % 10000, '\0');
            for (size_t v = 1, a = 1, b = 1; v <= 20; ++v, b += a, a = b - a)
                text.append(a, static_cast<char>(v));
            std::shuffle(text.begin(), text.end(), rng);
        }
        std::unique_ptr<CompressResult, void (*)(CompressResult*)> r(
            compress_data(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
            free_compress_result);
        const long offs[] = {0, 0, 0, 1, -1, -7, -4000, 50};
        table = std::to_string(static_cast<long>(text.size()) + offs[rng() % 8]) + "\n";
        for (size_t i = 0; i < r->unique_chars; ++i) {
            const HuffmanCode& c = r->codes[i];
            table += entry_line(c.byte, static_cast<unsigned>(c.code_len),
                                std::string(c.code.get(), c.code.get() + (c.code_len + 7) / 8));
        }
        packed.assign(r->data.get(), r->data.get() + r->size);
        for (int flips = rng() % 4; flips > 0; --flips) {
            size_t at = rng() % 2 ? packed.size() / 2 - 8 + rng() % 16 : rng() % packed.size();
            packed[at] ^= static_cast<char>(1 << rng() % 8);
        }
        if (rng() % 8 == 0)
            packed.resize(packed.size() / 2 + rng() % (packed.size() / 2));
    } else {
        packed = skewed_bytes(rng, 9000 + rng() % 20000, 256);
        table = std::to_string((size_t{1} << 16) + rng() % (8 * packed.size() - 60000)) + "\n";
        const unsigned lengths[] = {0, 1, 2, 3, 5, 8, 11, 12, 13, 14, 20, 32};
        for (size_t n = 1 + rng() % 40; n > 0; --n)
            table += entry_line(rng() % 256, lengths[rng() % 12], skewed_bytes(rng, 5, 256));
    }
    return table + '\0' + packed;
}

TEST(SplitDecoding, EveryDecoderMatchesItsModelAroundTheJoin) {
    std::mt19937 rng(23);
    for (int i = 0; i < 60; ++i) {
        const std::string input = split_input(rng);
        for (const FuzzTarget& target : FUZZ_TARGETS) {
            if (std::string(target.seeds) != "table_and_data")
                continue;
            // Names the input when a property aborts.
            std::fprintf(stderr, "\rsplit input %d, %s  ", i, target.name);
            run_with_input("", [&] {
                target.run(reinterpret_cast<const uint8_t*>(input.data()), input.size());
            });
        }
    }
}

}  // namespace
