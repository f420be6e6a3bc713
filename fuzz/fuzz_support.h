#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Aborts, naming the property on standard error, when `ok` is false: libFuzzer then keeps
// the input as a crash, and the replay test fails.
void fuzz_check(bool ok, const char* property);

// The name of a file holding `bytes`, for the readers, which take only a file name. Each call
// writes it anew; it is this process's own, so parallel fuzzers never share one, and it goes
// when the process exits.
const char* scratch_file(std::string_view bytes);

// A decoder input: the code table text before the first NUL, the packed bytes after it.
struct TableAndData {
    std::string_view table;
    Bytes packed;
};
TableAndData split_table_and_data(const uint8_t* data, size_t size);

// What `fn` printed on standard output.
std::string capture_output(const std::function<void()>& fn);

// Runs a decoder over guarded copies of `packed` and of an output of `limit` bytes and checks
// its count and bytes against the model's.
void check_decoder(const Bytes& packed, size_t limit, const Bytes& expected, const char* property,
                   const std::function<size_t(const unsigned char*, size_t, unsigned char*)>& run);
