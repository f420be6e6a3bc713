// Fuzz targets for the code table readers and the header reader.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "decompress.h"
#include "fuzz_support.h"
#include "fuzz_targets.h"
#include "models.h"

namespace {

// The longest sender or receiver line the compressor writes; such lines are read whole.
constexpr size_t HEADER_LINE_KEPT = 254;
// The method line is read with a 16-byte line buffer: at most 15 bytes, its line feed included.
constexpr size_t METHOD_LINE_KEPT = 15;

// Each hash reader entry ends by skipping to the next line end, so it cannot return more
// entries than the text has lines.
size_t line_count(std::string_view text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

}  // namespace

int fuzz_tree_reader(const uint8_t* data, size_t size) {
    const ScratchFile file(as_text(data, size));
    const char* path = file.path();
    DecodingTablePtr table = build_decoding_table(path);
    size_t count = 0;
    size_t original_size = 0;
    auto entries = load_code_table(path, &count, &original_size);
    TreeModel model;
    bool model_built = model.build(as_text(data, size));
    // Both readers take the size line the same way: the pipeline sizes its buffer by one of
    // them and stops method 2 by the other.
    fuzz_check(!table == !entries && !table == !model_built,
               "the tree reader refuses only bad size lines");
    if (!table)
        return 0;
    fuzz_check(decoding_table_original_size(table.get()) == original_size &&
                   original_size == model.original_size(),
               "the tree and table readers read the same original size");
    // The tree is probed with the text's own bits, as many as they can code.
    const Bytes packed(data, data + size);
    Bytes out(8 * size);
    size_t written = decode_with_tree(packed.data(), size, out.data(), out.size(), table.get());
    check_decoded(written, out, model.decode(packed, out.size()),
                  "build_decoding_table builds the tree the table describes");
    return 0;
}

int fuzz_table_reader(const uint8_t* data, size_t size) {
    size_t count = 0;
    size_t original_size = 0;
    const ScratchFile file(as_text(data, size));
    auto entries = load_code_table(file.path(), &count, &original_size);
    fuzz_check(entries || count == 0, "a refused table reports no entries");
    fuzz_check(count <= CODE_TABLE_MAX_ENTRIES, "load_code_table fills at most its block");
    return 0;
}

int fuzz_hash_reader(const uint8_t* data, size_t size) {
    const ScratchFile file(as_text(data, size));
    const char* path = file.path();
    size_t count = 0;
    auto entries = read_hash_code_table(path, &count);
    fuzz_check(entries || count == 0, "a refused table reports no entries");
    fuzz_check(count <= line_count(as_text(data, size)), "at most one entry per line");
    size_t table_count = 0;
    size_t original_size = 0;
    fuzz_check(!entries || load_code_table(path, &table_count, &original_size),
               "a size line the hash reader takes, the table reader takes too");
    return 0;
}

int fuzz_header_reader(const uint8_t* data, size_t size) {
    // The three lines as the format defines them: each ends at a line feed or at the end of
    // the file, the method line also after its 15th byte, and a line is missing only when no
    // byte is left for it.
    std::string_view text = as_text(data, size);
    std::string_view lines[3];
    size_t next = 0;
    bool present = true;
    for (size_t i = 0; i < 3; ++i) {
        if (next == text.size()) {
            present = false;
            break;
        }
        size_t end = std::min(text.find('\n', next), text.size());
        if (i == 0 && end - next >= METHOD_LINE_KEPT) {
            lines[i] = text.substr(next, METHOD_LINE_KEPT);
            next += METHOD_LINE_KEPT;
            continue;
        }
        lines[i] = text.substr(next, end - next);
        next = std::min(end + 1, text.size());
    }

    std::FILE* file = ::fmemopen(const_cast<uint8_t*>(data), size, "rb");
    fuzz_check(file != nullptr, "fmemopen opens the input");
    CompressedHeader header;
    int status = read_compressed_header(file, &header);
    long position = std::ftell(file);
    std::fclose(file);

    fuzz_check((status == 0) == present, "the header is refused exactly when a line is missing");
    if (status != 0)
        return 0;
    fuzz_check(position >= 0 && static_cast<size_t>(position) == next,
               "the packed data starts right after the third line");
    bool short_lines = lines[1].size() <= HEADER_LINE_KEPT && lines[2].size() <= HEADER_LINE_KEPT;
    fuzz_check(header.lines_whole == short_lines, "lines_whole tells whether a line was cut");
    fuzz_check(header.sender_info == lines[1].substr(0, HEADER_LINE_KEPT) &&
                   header.receiver_info == lines[2].substr(0, HEADER_LINE_KEPT),
               "the stored lines are kept as written, up to the longest the compressor writes");
    return 0;
}
