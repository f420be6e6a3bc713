// The libFuzzer entry of one target, chosen at build time by FUZZ_ENTRY.
#include <fcntl.h>
#include <unistd.h>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The hash decoder lists its table and statistics on standard output; on a terminal that
    // would cost more than the decoding. libFuzzer reports on standard error.
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
        ::close(null_fd);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FUZZ_ENTRY(data, size);
}
