#include "compress.h"

int compress_file(const char*, const char*, const char*, EncryptMethod) { return -1; }
CompressResult* compress_data(const unsigned char*, size_t) { return nullptr; }
void free_compress_result(CompressResult*) {}
void apply_transform(unsigned char*, size_t, EncryptMethod) {}
void reverse_transform(unsigned char*, size_t, EncryptMethod) {}
