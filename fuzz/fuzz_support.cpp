#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// Bytes that end just before a page the process may not touch, so that reading or writing
// one byte past them faults at once, with or without a sanitizer.
struct GuardedBytes {
    explicit GuardedBytes(const Bytes& bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        block_size = (bytes.size() + page - 1) / page * page + page;
        void* mapped =
            mmap(nullptr, block_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        fuzz_check(mapped != MAP_FAILED, "a guarded block can be mapped");
        block = static_cast<unsigned char*>(mapped);
        fuzz_check(mprotect(block + block_size - page, page, PROT_NONE) == 0, "the guard is set");
        data = block + block_size - page - bytes.size();
        std::copy(bytes.begin(), bytes.end(), data);
    }
    ~GuardedBytes() { munmap(block, block_size); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    unsigned char* block;
    size_t block_size;
    unsigned char* data;
};

}  // namespace

void fuzz_check(bool ok, const char* property) {
    if (ok)
        return;
    std::fprintf(stderr, "fuzz property violated: %s\n", property);
    std::abort();
}

const char* scratch_file(std::string_view bytes) {
    static const std::string path =
        (fs::temp_directory_path() / ("hfm_fuzz_" + std::to_string(::getpid()) + ".code")).string();
    static const int removed_at_exit = std::atexit([] { std::remove(path.c_str()); });
    std::FILE* file = std::fopen(path.c_str(), "wb");
    fuzz_check(file != nullptr && removed_at_exit == 0, "the scratch file can be created");
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    fuzz_check(std::fclose(file) == 0 && written, "the scratch file can be written");
    return path.c_str();
}

TableAndData split_table_and_data(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t nul = text.find('\0');
    if (nul == std::string_view::npos)
        return {text, {}};
    return {text.substr(0, nul), Bytes(data + nul + 1, data + size)};
}

std::string capture_output(const std::function<void()>& fn) {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    fuzz_check(sink != nullptr, "a temporary file can be made");
    const int saved = dup(fileno(stdout));
    dup2(fileno(sink), fileno(stdout));
    fn();
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    std::string text;
    std::rewind(sink);
    for (int c; (c = std::fgetc(sink)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(sink);
    return text;
}

void check_decoder(const Bytes& packed, size_t limit, const Bytes& expected, const char* property,
                   const std::function<size_t(const unsigned char*, size_t, unsigned char*)>& run) {
    const GuardedBytes in(packed), out{Bytes(limit)};
    size_t written = run(in.data, packed.size(), out.data);
    fuzz_check(written <= limit, "a decoder counts no more than it may write");
    fuzz_check(written == expected.size() && std::equal(expected.begin(), expected.end(), out.data),
               property);
}
