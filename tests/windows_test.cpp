// What only Windows has: a C runtime whose single read or write of 2 GiB or more fails.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common.h"
#include "resources.h"
#include "test_util.h"

namespace {

size_t count_of(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

}  // namespace

using WindowsOutputs = TempDirTest;

// A file of 2.5 GiB is restored whole: one read or write of 2 GiB or more fails in the C
// runtime. The input is sparse, and its one byte value packs to a compressed file an eighth
// of its size. Run by `make test-windows-big`; it needs about 3 GiB of disk and 6 of memory.
TEST_F(WindowsOutputs, DISABLED_RestoresAFileOfTwoAndAHalfGiB) {
    constexpr int64_t BIG_SIZE = int64_t{5} << 29;
    {
        HANDLE big = CreateFileA("big.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(big, INVALID_HANDLE_VALUE);
        LARGE_INTEGER at{};
        at.QuadPart = BIG_SIZE;
        EXPECT_TRUE(SetFilePointerEx(big, at, nullptr, FILE_BEGIN) && SetEndOfFile(big));
        CloseHandle(big);
    }
    const std::string lines = "\n2024000001,张三\n2024000002,李四\n";
    ProgramRun r =
        run_program("c\nbig.bin" + lines + "1\n\nd\nbig.bin.hfm" + lines + "3\n\nq\n", 0, 600);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(r.out, "文件压缩成功！"), 1u) << r.out.substr(0, 4000);
    EXPECT_EQ(count_of(r.out, "文件解压成功！"), 1u);
    EXPECT_EQ(file_size_on_disk("big.bin_recovered.txt"), BIG_SIZE);
    uint64_t zeros_hash = FNV_OFFSET, restored_hash = FNV_OFFSET;
    const std::string zeros(1 << 20, '\0');
    std::string block(zeros.size(), '\1');
    std::ifstream restored("big.bin_recovered.txt", std::ios::binary);
    while (restored.read(block.data(), static_cast<std::streamsize>(block.size())) ||
           restored.gcount() > 0) {
        restored_hash =
            fnv1a_64_extend(restored_hash, block.data(), static_cast<size_t>(restored.gcount()));
        zeros_hash =
            fnv1a_64_extend(zeros_hash, zeros.data(), static_cast<size_t>(restored.gcount()));
    }
    EXPECT_EQ(restored_hash, zeros_hash);
    char printed[64];
    std::snprintf(printed, sizeof printed, "文件哈希值: 0x%016llX\n",
                  static_cast<unsigned long long>(zeros_hash));
    EXPECT_NE(r.out.find(printed), std::string::npos);
}
