// In-memory throughput of the three decoders, in MiB/s of original bytes (median of 5 runs).
// The code table goes through a temporary file because the readers take a file name.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "compress.h"
#include "corpus.h"
#include "decompress.h"

namespace {

// The code table as the compressor writes it.
bool write_code_table(const std::string& path, const CompressResult& result) {
    const std::string text = format_code_table(result);
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        return false;
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// Runs `fn` with standard output sent to /dev/null: the hash decoder prints its table.
template <typename Fn>
void quietly(Fn&& fn) {
    std::fflush(stdout);
    int saved = dup(fileno(stdout));
    std::FILE* null = std::freopen("/dev/null", "w", stdout);
    fn();
    std::fflush(stdout);
    if (null != nullptr && saved >= 0)
        dup2(saved, fileno(stdout));
    if (saved >= 0)
        close(saved);
}

}  // namespace

int main() {
    const std::vector<unsigned char> text = bench::text_corpus(64 * bench::MIB);
    CompressResult* result = compress_data(text.data(), text.size());
    if (result == nullptr) {
        std::fprintf(stderr, "compress_data failed\n");
        return 1;
    }
    const std::string table_path = (std::filesystem::temp_directory_path() /
                                    ("decode_bench_" + std::to_string(getpid()) + ".code"))
                                       .string();
    if (!write_code_table(table_path, *result)) {
        std::fprintf(stderr, "cannot write %s\n", table_path.c_str());
        return 1;
    }

    DecodingTablePtr tree = build_decoding_table(table_path.c_str());
    size_t table_count = 0;
    size_t table_size = 0;
    auto table_codes = load_code_table(table_path.c_str(), &table_count, &table_size);
    size_t hash_count = 0;
    std::unique_ptr<CodeEntry[]> hash_codes;
    quietly([&] { hash_codes = read_hash_code_table(table_path.c_str(), &hash_count); });
    std::filesystem::remove(table_path);
    if (!tree || !table_codes || !hash_codes) {
        std::fprintf(stderr, "a reader refused the code table\n");
        return 1;
    }

    std::vector<unsigned char> out(text.size());
    const unsigned char* packed = result->data.get();
    const size_t packed_size = result->size;
    struct Method {
        const char* name;
        std::function<size_t()> decode;
    };
    const std::vector<Method> methods = {
        {"1 tree walk",
         [&] {
             return decode_with_tree(packed, packed_size, out.data(), text.size(), tree.get());
         }},
        {"2 table match",
         [&] {
             return decode_with_code_table(packed, packed_size, out.data(), text.size(),
                                           table_codes.get(), table_count);
         }},
        {"3 hash lookup",
         [&] {
             size_t written = 0;
             quietly([&] {
                 written = decode_with_hash(packed, packed_size, out.data(), text.size(),
                                            hash_codes.get(), hash_count);
             });
             return written;
         }},
    };
    std::printf("text %zu MiB, %zu distinct bytes -> %zu packed bytes\n", text.size() / bench::MIB,
                result->unique_chars, packed_size);
    int status = 0;
    for (const auto& method : methods) {
        size_t written = 0;
        double seconds = bench::median_seconds(5, [&] { written = method.decode(); });
        bool exact = written == text.size() && out == text;
        std::printf("method %-14s %8.1f MiB/s%s\n", method.name,
                    static_cast<double>(text.size()) / bench::MIB / seconds,
                    exact ? "" : "  (OUTPUT DIFFERS)");
        if (!exact)
            status = 1;
        std::fill(out.begin(), out.end(), 0);
    }
    free_compress_result(result);
    return status;
}
