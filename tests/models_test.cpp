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
#include "decompress.h"
#include "fuzz_targets.h"
#include "test_util.h"

namespace fs = std::filesystem;

void PrintTo(const FuzzTarget& target, std::ostream* out) {
    *out << target.name;
}

namespace {

constexpr int SEEDED_INPUTS = 300;
constexpr int LARGE_INPUTS = 60;  // of tables, long enough to be decoded from two places

// Bytes of `length` drawn from a skewed alphabet of `values` byte values.
std::string skewed_bytes(std::mt19937& rng, size_t length, unsigned values) {
    std::geometric_distribution<unsigned> pick(2.0 / (values + 1));
    std::string out(length, '\0');
    for (char& c : out)
        c = static_cast<char>(pick(rng) % values * 37);
    return out;
}

// Made-up entries of the first `kinds` lengths below, equal and overlapping codes among them.
std::unique_ptr<CompressResult> made_up_codes(std::mt19937& rng, size_t original_size,
                                              unsigned kinds) {
    auto r = std::make_unique<CompressResult>();
    r->original_size = original_size;
    r->unique_chars = 1 + rng() % 40;
    r->codes = std::make_unique<HuffmanCode[]>(r->unique_chars);
    const unsigned lengths[] = {0, 1, 2, 3, 5, 8, 11, 12, 13, 14, 20, 32, 33};
    for (size_t i = 0; i < r->unique_chars; ++i) {
        HuffmanCode& c = r->codes[i];
        c.byte = static_cast<unsigned char>(rng() % 256);
        c.code_len = lengths[rng() % kinds];
        c.code = std::make_unique<unsigned char[]>(5);
        const std::string bits = skewed_bytes(rng, 5, 256);
        std::copy(bits.begin(), bits.end(), c.code.get());
    }
    return r;
}

// A table and packed bytes, small or long enough to be decoded from two places at once. Three
// times in four what the compressor wrote for skewed text whose halves code to different
// lengths (so the rate a lead's start is reckoned from changes on the way), for fixed three-bit
// codes (which meet a lead only where its start is a multiple of three) or for a chain of codes
// that a cursor may never fall into step with; then bits flipped anywhere or near the middle,
// the data cut now and then, and the stated size off by a little or a lot. Otherwise made-up
// entries of mixed lengths, equal and overlapping codes among them, over random bits, whose
// steps skip and stop. Either table is written by the compressor's own writer.
std::string table_and_data(std::mt19937& rng, bool large) {
    std::string packed;
    std::unique_ptr<CompressResult> r;
    if (rng() % 4 != 0) {
        const size_t length =
            large ? 1 + (size_t{1} << 16) * (1 + rng() % 5) / 2 + rng() % 2000 : 1 + rng() % 4000;
        // Few values half the time: then most lookups decode two codes at once.
        const unsigned values = 2 + rng() % (rng() % 2 ? 3 : 100);
        std::string text = skewed_bytes(rng, length / 2, values) +
                           skewed_bytes(rng, length - length / 2, values + rng() % 150);
        const unsigned kind = rng() % 8;
        if (kind == 0) {
            for (size_t i = 0; i < text.size(); ++i)
                text[i] = static_cast<char>('a' + i % 8);
        } else if (kind == 1 && large) {
            // Fibonacci counts below a value much more frequent than them all make codes
            // 1, 00, 010, 0110, ...
            text.assign(60000 + rng() % 10000, '\0');
            for (size_t v = 1, a = 1, b = 1; v <= 20; ++v, b += a, a = b - a)
                text.append(a, static_cast<char>(v));
            std::shuffle(text.begin(), text.end(), rng);
        }
        r.reset(compress_data(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
        const long offs[] = {0, 0, 0, 1, 2, -1, -7, -4000, 50};
        r->original_size =
            static_cast<size_t>(std::max(0L, static_cast<long>(text.size()) + offs[rng() % 9]));
        packed.assign(r->data.get(), r->data.get() + r->size);
        for (int flips = rng() % 4; flips > 0; --flips) {
            size_t at = rng() % 2 && packed.size() > 16 ? packed.size() / 2 - 8 + rng() % 16
                                                        : rng() % packed.size();
            packed[at] ^= static_cast<char>(1 << rng() % 8);
        }
        if (rng() % 8 == 0)
            packed.resize(packed.size() / 2 + rng() % (packed.size() / 2 + 1));
    } else if (large) {
        packed = skewed_bytes(rng, 9000 + rng() % 20000, 256);
        r = made_up_codes(rng, (size_t{1} << 16) + rng() % (8 * packed.size() - 60000), 12);
    } else {
        packed = skewed_bytes(rng, rng() % 400, 256);
        r = made_up_codes(rng, rng() % (8 * packed.size() + 9), 13);
    }
    return format_code_table(*r) + '\0' + packed;
}

class FuzzReplay : public ::testing::TestWithParam<FuzzTarget> {};

// Each input with the second cursor and without it: the same bytes, count and printed bit
// count, around the join and alone.
TEST_P(FuzzReplay, KeptAndSeededInputsHoldEveryPropertyWithTheSecondCursorAndWithout) {
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
    const bool tables = std::string(target.seeds) == "table_and_data";
    std::mt19937 rng(7);
    for (int i = 0; i < SEEDED_INPUTS + (tables ? LARGE_INPUTS : 0); ++i)
        inputs.emplace_back("seeded input " + std::to_string(i),
                            tables ? table_and_data(rng, i >= SEEDED_INPUTS)
                                   : skewed_bytes(rng, rng() % 5000, 1 + rng() % 256));
    for (const auto& [name, bytes] : inputs) {
        for (bool lead : {true, false}) {
            // Names the input when a property aborts.
            std::fprintf(stderr, "\r%s, lead %d  ", name.c_str(), lead);
            decode_with_lead_cursor(lead);
            run_with_input("", [&] {
                target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            });
        }
    }
    decode_with_lead_cursor(true);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(FUZZ_TARGETS),
                         [](const auto& target) { return std::string(target.param.name); });

}  // namespace
