// Fuzz targets for the three decoders and the compress-restore round trip.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "compress.h"
#include "decompress.h"
#include "fuzz_support.h"
#include "fuzz_targets.h"
#include "models.h"

namespace {

constexpr unsigned WINDOW_BITS = 32;

// Sizes far past what the data can fill would only cost the harness memory; a margin past
// it keeps the stops at the end of the data, and the matcher's fill by an empty code, in play.
bool restorable(size_t original_size, size_t packed_size) {
    return original_size <= 8 * packed_size + 64;
}

struct ResultDeleter {
    void operator()(CompressResult* result) const { free_compress_result(result); }
};

}  // namespace

int fuzz_tree_decoder(const uint8_t* data, size_t size) {
    TableAndData input = split_table_and_data(data, size);
    DecodingTablePtr table = build_decoding_table(scratch_file(input.table));
    TreeModel model;
    fuzz_check(!table == !model.build(input.table), "the tree reader refuses only bad size lines");
    if (!table)
        return 0;
    size_t original_size = decoding_table_original_size(table.get());
    fuzz_check(original_size == model.original_size(), "the tree reader reads the size line");
    if (!restorable(original_size, input.packed.size()))
        return 0;
    check_decoder(input.packed, original_size, model.decode(input.packed, original_size),
                  "decode_with_tree walks the tree the table describes",
                  [&](const unsigned char* in, size_t in_size, unsigned char* out) {
                      return decode_with_tree(in, in_size, out, original_size, table.get());
                  });
    return 0;
}

int fuzz_table_decoder(const uint8_t* data, size_t size) {
    TableAndData input = split_table_and_data(data, size);
    size_t count = 0;
    size_t original_size = 0;
    auto entries = load_code_table(scratch_file(input.table), &count, &original_size);
    fuzz_check(entries || count == 0, "a refused table reports no entries");
    fuzz_check(count <= CODE_TABLE_MAX_ENTRIES, "load_code_table fills at most its block");
    if (!entries || !restorable(original_size, input.packed.size()))
        return 0;
    check_decoder(
        input.packed, original_size, match_model(input.packed, entries.get(), count, original_size),
        "decode_with_code_table follows the matching rules",
        [&](const unsigned char* in, size_t in_size, unsigned char* out) {
            return decode_with_code_table(in, in_size, out, original_size, entries.get(), count);
        });
    return 0;
}

int fuzz_hash_decoder(const uint8_t* data, size_t size) {
    TableAndData input = split_table_and_data(data, size);
    const std::string table_text(input.table);
    size_t count = 0;
    auto entries = read_hash_code_table(scratch_file(table_text), &count);
    // The pipeline takes the size from the same first line, read by the tree reader.
    size_t original_size = 0;
    if (!entries || std::sscanf(table_text.c_str(), "%zu", &original_size) != 1 ||
        !restorable(original_size, input.packed.size()))
        return 0;
    size_t bits = 0;
    const Bytes expected = hash_model(input.packed, entries.get(), count, original_size, &bits);
    std::string printed;
    check_decoder(
        input.packed, original_size, expected, "decode_with_hash follows the lookup rules",
        [&](const unsigned char* in, size_t in_size, unsigned char* out) {
            size_t written = 0;
            printed = capture_output([&] {
                written = decode_with_hash(in, in_size, out, original_size, entries.get(), count);
            });
            return written;
        });
    fuzz_check(printed.find("处理的位数: " + std::to_string(bits) + "\n") != std::string::npos,
               "decode_with_hash counts the bits its window took");
    return 0;
}

int fuzz_round_trip(const uint8_t* data, size_t size) {
    std::unique_ptr<CompressResult, ResultDeleter> result(compress_data(data, size));
    fuzz_check(!result == (size == 0), "compress_data codes every non-empty buffer");
    if (!result)
        return 0;

    size_t frequency[256] = {};
    for (size_t i = 0; i < size; ++i)
        ++frequency[data[i]];
    size_t distinct = static_cast<size_t>(
        std::count_if(std::begin(frequency), std::end(frequency), [](size_t f) { return f > 0; }));
    fuzz_check(result->unique_chars == distinct && result->original_size == size,
               "one code per distinct byte value, and the input size");
    size_t total_bits = 0;
    bool fits_window = true;
    for (size_t i = 0; i < result->unique_chars; ++i) {
        total_bits += frequency[result->codes[i].byte] * result->codes[i].code_len;
        fits_window = fits_window && result->codes[i].code_len <= WINDOW_BITS;
    }
    fuzz_check(result->size == (total_bits + 7) / 8, "the packed size holds exactly the codes");

    // The written table and data restore the input, and each method follows its model on them.
    const std::string table = format_code_table(*result);
    const Bytes packed(result->data.get(), result->data.get() + result->size);
    TreeModel model;
    fuzz_check(model.build(table) && model.decode(packed, size) == Bytes(data, data + size),
               "the codes written restore the input");
    const std::string both = table + '\0' + std::string(packed.begin(), packed.end());
    const auto* bytes = reinterpret_cast<const uint8_t*>(both.data());
    fuzz_tree_decoder(bytes, both.size());
    // Methods 2 and 3 refuse longer codes in the pipeline.
    if (fits_window) {
        fuzz_table_decoder(bytes, both.size());
        fuzz_hash_decoder(bytes, both.size());
    }
    return 0;
}
