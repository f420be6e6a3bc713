// Fuzz target for the header reader.
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

}  // namespace

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
