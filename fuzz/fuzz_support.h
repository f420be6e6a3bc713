#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Aborts, naming the property on standard error, when `ok` is false: libFuzzer then keeps
// the input as a crash, and the replay test fails.
void fuzz_check(bool ok, const char* property);

// A file holding `bytes` for the readers, which take only a file name; it is removed with
// the object. Its name is this process's own, so parallel fuzzers never share a file.
class ScratchFile {
  public:
    explicit ScratchFile(std::string_view bytes);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const char* path() const { return path_.c_str(); }

  private:
    std::string path_;
};

std::string_view as_text(const uint8_t* data, size_t size);

// A decoder input: the code table text before the first NUL, the packed bytes after it.
// The packed bytes get a heap block of their own, exactly as large, so that the address
// sanitizer reports any read past them.
struct TableAndData {
    std::string_view table;
    Bytes packed;
};
TableAndData split_table_and_data(const uint8_t* data, size_t size);

// Checks a decoder's result against a model's: the count the decoder returned, its output
// buffer, which holds exactly the bytes it may write so that the address sanitizer reports
// any write past them, and the bytes the model produced.
void check_decoded(size_t written, const Bytes& out, const Bytes& expected, const char* property);
