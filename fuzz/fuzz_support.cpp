#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

void fuzz_check(bool ok, const char* property) {
    if (ok)
        return;
    std::fprintf(stderr, "fuzz property violated: %s\n", property);
    std::abort();
}

ScratchFile::ScratchFile(std::string_view bytes)
    : path_((fs::temp_directory_path() / ("hfm_fuzz_" + std::to_string(::getpid()) + ".code"))
                .string()) {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    fuzz_check(file != nullptr, "the scratch file can be created");
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    fuzz_check(std::fclose(file) == 0 && written, "the scratch file can be written");
}

ScratchFile::~ScratchFile() {
    std::remove(path_.c_str());
}

std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

TableAndData split_table_and_data(const uint8_t* data, size_t size) {
    std::string_view text = as_text(data, size);
    size_t nul = text.find('\0');
    if (nul == std::string_view::npos)
        return {text, {}};
    return {text.substr(0, nul), Bytes(data + nul + 1, data + size)};
}

void check_decoded(size_t written, const Bytes& out, const Bytes& expected, const char* property) {
    fuzz_check(written <= out.size(), "a decoder counts no more than it may write");
    fuzz_check(
        written == expected.size() && std::equal(expected.begin(), expected.end(), out.begin()),
        property);
}
