#pragma once

// Deterministic benchmark inputs made from what the machine already has.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

constexpr size_t MIB = size_t{1} << 20;

// Plain text: the headers under /usr/include and the uncompressed documentation under
// /usr/share/doc, in sorted path order, repeated until `size` bytes.
inline std::vector<unsigned char> text_corpus(size_t size) {
    std::vector<std::string> paths;
    for (const char* root : {"/usr/include", "/usr/share/doc"}) {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            const auto& p = it->path();
            if (it->is_regular_file(ec) && p.extension() != ".gz")
                paths.push_back(p.string());
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
