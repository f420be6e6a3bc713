#include "common.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "resources.h"

namespace {

// Record x ranks above record y: larger frequency, or the smaller byte at equal frequency.
bool ranks_above(const FrequencyItem& x, const FrequencyItem& y) {
    if (x.frequency != y.frequency)
        return x.frequency > y.frequency;
    return x.byte < y.byte;
}

// Size of an open file from its end position (64-bit); SIZE_MAX when that cannot be taken.
size_t open_file_size(std::FILE* file) {
    int64_t end = end_position(file);
    if (end < 0)
        return SIZE_MAX;
    return static_cast<size_t>(end);
}

}  // namespace

uint64_t fnv1a_64(const void* data, size_t len) {
    return fnv1a_64_extend(FNV_OFFSET, data, len);
}

uint64_t fnv1a_64_extend(uint64_t hash, const void* data, size_t len) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < len; ++i) {
        hash ^= bytes[i];
        hash *= FNV_PRIME;
    }
    return hash;
}

size_t get_file_size(const char* filename) {
    FilePtr file(std::fopen(filename, "rb"));
    if (!file)
        return 0;
    return open_file_size(file.get());
}

int read_file_content(const char* filename, unsigned char** content, size_t* size) {
    *size = get_file_size(filename);
    if (*size == 0 || *size == SIZE_MAX)
        return -1;
    // Released by the caller with std::free, as the contract promises.
    auto* buffer = static_cast<unsigned char*>(std::malloc(*size));
    if (buffer == nullptr)
        return -1;
    FilePtr file(std::fopen(filename, "rb"));
    if (!file || std::fread(buffer, 1, *size, file.get()) != *size) {
        std::free(buffer);
        return -1;
    }
    *content = buffer;
    return 0;
}

void heapify(FrequencyItem* arr, size_t n, size_t i) {
    // Iterative sift-down: the same swaps as the recursive definition, without its depth.
    for (;;) {
        size_t largest = i;
        size_t left = 2 * i + 1;
        size_t right = 2 * i + 2;
        if (left < n && ranks_above(arr[left], arr[largest]))
            largest = left;
        if (right < n && ranks_above(arr[right], arr[largest]))
            largest = right;
        if (largest == i)
            return;
        std::swap(arr[i], arr[largest]);
        i = largest;
    }
}

void heap_sort(FrequencyItem* arr, size_t n) {
    for (size_t i = n / 2; i-- > 0;)
        heapify(arr, n, i);
    for (size_t i = n; i-- > 1;) {
        std::swap(arr[0], arr[i]);
        heapify(arr, i, 0);
    }
}
