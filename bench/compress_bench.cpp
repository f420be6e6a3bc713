// In-memory throughput of compress_data, in MiB/s of original bytes (median of 5 runs).
#include <cstdio>

#include "compress.h"
#include "corpus.h"

int main() {
    const std::vector<unsigned char> text = bench::text_corpus(64 * bench::MIB);
    size_t packed = 0;
    double seconds = bench::median_seconds(5, [&] {
        CompressResult* r = compress_data(text.data(), text.size());
        packed = r != nullptr ? r->size : 0;
        free_compress_result(r);
    });
    std::printf("compress_data  text %zu MiB  -> %zu bytes  %8.1f MiB/s\n",
                text.size() / bench::MIB, packed,
                static_cast<double>(text.size()) / bench::MIB / seconds);
    return packed != 0 ? 0 : 1;
}
