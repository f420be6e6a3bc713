#pragma once

// Deterministic benchmark inputs made from what the machine already has.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

constexpr size_t MIB = size_t{1} << 20;

// The files under `roots` accepted by `keep`, in sorted path order, concatenated and repeated
// until `size` bytes.
template <typename Keep>
std::vector<unsigned char> concatenated_files(std::initializer_list<const char*> roots, size_t size,
                                              Keep&& keep) {
    std::vector<std::string> paths;
    for (const char* root : roots) {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink(ec) && it->is_regular_file(ec) && keep(it->path()))
                paths.push_back(it->path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<unsigned char> out;
    out.reserve(size);
    while (out.size() < size && !paths.empty()) {
        for (const auto& path : paths) {
            std::ifstream in(path, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
            size_t take = std::min(bytes.size(), size - out.size());
            out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<long>(take));
            if (out.size() == size)
                break;
        }
    }
    return out;
}

// Plain text: the headers under /usr/include and the uncompressed documentation under
// /usr/share/doc.
inline std::vector<unsigned char> text_corpus(size_t size) {
    return concatenated_files({"/usr/include", "/usr/share/doc"}, size,
                              [](const auto& p) { return p.extension() != ".gz"; });
}

// Executables: the ELF files under /usr/bin.
inline std::vector<unsigned char> binary_corpus(size_t size) {
    return concatenated_files({"/usr/bin"}, size, [](const auto& p) {
        std::ifstream in(p, std::ios::binary);
        char magic[4] = {};
        in.read(magic, 4);
        return in.gcount() == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' &&
               magic[3] == 'F';
    });
}

// A fixed xorshift stream, so every run sees the same bytes.
class Xorshift {
  public:
    uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }

  private:
    uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

// Mostly 0x00; byte values 1 to 35 appear with the counts 1, 1, 1, 2, 3, 5, 8, ..., the
// smallest weights for which every join takes the one before it, so the tree is a chain and
// the rarest values get codes longer than 32 bits. The counts are exact (the chain breaks if
// one is off), so the bytes are laid out in runs and then shuffled.
inline std::vector<unsigned char> skewed_corpus(size_t size) {
    constexpr unsigned VALUES = 35;
    uint64_t count[VALUES + 1] = {0, 1, 1, 1};
    for (unsigned value = 4; value <= VALUES; ++value)
        count[value] = count[value - 1] + count[value - 2];
    std::vector<unsigned char> out(size, 0);
    size_t pos = 0;
    for (unsigned value = 1; value <= VALUES; ++value) {
        for (uint64_t k = 0; k < count[value] && pos < size; ++k)
            out[pos++] = static_cast<unsigned char>(value);
    }
    Xorshift rng;
    for (size_t i = size; i > 1; --i)
        std::swap(out[i - 1], out[rng.next() % i]);
    return out;
}

inline std::vector<unsigned char> random_corpus(size_t size) {
    std::vector<unsigned char> out(size);
    Xorshift rng;
    for (auto& byte : out)
        byte = static_cast<unsigned char>(rng.next() >> 56);
    return out;
}

// Median of the elapsed seconds of `runs` calls of `fn`.
template <typename Fn>
double median_seconds(int runs, Fn&& fn) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        fn();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace bench
