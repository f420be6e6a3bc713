#include "common.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "resources.h"
#include "test_util.h"

TEST(Fnv1a64, MatchesPublishedVectors) {
    EXPECT_EQ(fnv1a_64("", 0), 0xcbf29ce484222325ULL);
    EXPECT_EQ(fnv1a_64("a", 1), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(fnv1a_64("foobar", 6), 0x85944171f73967e8ULL);
    EXPECT_NE(fnv1a_64("a\0", 2), fnv1a_64("a", 1));  // a zero byte is still multiplied in
    EXPECT_EQ(fnv1a_64_extend(fnv1a_64("foo", 3), "bar", 3), 0x85944171f73967e8ULL);
}

// Counted in pieces that cross the points where the 32-bit tables are folded into the totals,
// every byte is counted once and seen once, in order.
TEST(ByteCounter, CountsAcrossFoldsAndVisitsInOrder) {
    std::vector<unsigned char> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * i % 251);
    for (size_t fold : {size_t{1}, size_t{7}, size_t{64}, size_t{1} << 30}) {
        ByteCounter counter(fold);
        uint64_t hash = FNV_OFFSET;
        size_t start = 0;
        for (size_t piece : {size_t{0}, size_t{3}, size_t{250}, size_t{747}}) {
            counter.add(data.data() + start, piece, [&](size_t i, unsigned char value) {
                EXPECT_EQ(value, data[start + i]);
                hash = (hash ^ value) * FNV_PRIME;
            });
            start += piece;
        }
        EXPECT_EQ(hash, fnv1a_64(data.data(), data.size())) << "fold " << fold;
        for (size_t v = 0; v < 256; ++v) {
            size_t expected = static_cast<size_t>(std::count(data.begin(), data.end(), v));
            ASSERT_EQ(counter.count(v), expected) << "value " << v << ", fold " << fold;
        }
    }
}

class CommonFiles : public TempDirTest {};

TEST_F(CommonFiles, SizesAreSixtyFourBitAndEmptyFilesAreNoContent) {
    write_file("empty", "");
    write_file("five", std::string("ab\0cd", 5));
    EXPECT_EQ(get_file_size("missing"), 0u);
    EXPECT_EQ(get_file_size("empty"), 0u);
    write_file("sparse", "");
    std::filesystem::resize_file("sparse", size_t{3} << 30);  // 3 GiB that take no disk
    EXPECT_EQ(get_file_size("sparse"), size_t{3} << 30);      // off_t is 32-bit on Windows

    unsigned char* content = nullptr;
    size_t size = 99;
    EXPECT_EQ(read_file_content("empty", &content, &size), -1);
    EXPECT_TRUE(size == 0 && content == nullptr);
    ASSERT_EQ(read_file_content("five", &content, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(content), size), std::string("ab\0cd", 5));
    std::free(content);
}

// Not called by the program: one mixed case guards it.
TEST(HeapSort, OrdersByFrequencyThenDescendingByte) {
    std::vector<FrequencyItem> items = {{9, 2}, {8, 5}, {7, 2}, {200, 2}, {0, 0}, {0x41, 3}};
    heap_sort(items.data(), items.size());
    std::vector<std::pair<int, size_t>> got;
    for (const auto& item : items)
        got.emplace_back(item.byte, item.frequency);
    EXPECT_EQ(got, (std::vector<std::pair<int, size_t>>{
                       {0, 0}, {200, 2}, {9, 2}, {7, 2}, {0x41, 3}, {8, 5}}));
}

// An output appears whole or not at all: a temporary shorter on disk than what was written
// (a short write a C runtime counted as whole) does not close cleanly, a rename that fails is
// no commit, an output never committed leaves nothing behind, and a text file's size on disk
// counts the CR that text mode adds to every line where it adds one.
TEST_F(CommonFiles, PendingFilesCommitOnlyWhatWasWrittenWhole) {
    write_file("out", "earlier");
    {
        PendingFile cut_short("out");
        ASSERT_TRUE(cut_short.open("wb"));
        const std::string block(1 << 20, 'n');  // past any stream buffer: on disk at once
        EXPECT_TRUE(cut_short.write(block.data(), block.size()));
        for (const auto& entry : std::filesystem::directory_iterator("."))
            if (entry.path().filename() != "out")
                std::filesystem::resize_file(entry.path(), 1);
        EXPECT_FALSE(cut_short.close());
    }
    EXPECT_EQ(read_file("out"), "earlier");
    {
        PendingFile failed_rename("out");
        ASSERT_TRUE(failed_rename.open("wb"));
        EXPECT_TRUE(failed_rename.write("new", 3) && failed_rename.close());
        std::filesystem::remove("out");
        std::filesystem::create_directories("out/in the way");
        EXPECT_FALSE(failed_rename.commit());
    }
    {
        PendingFile text("text");
        ASSERT_TRUE(text.open("w"));
        EXPECT_TRUE(text.write("a\nb\n", 4) && text.close() && text.commit());
    }
    EXPECT_EQ(without_cr_lf(read_file("text")), "a\nb\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 2);
}
