#include "common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_util.h"

TEST(Fnv1a64, MatchesPublishedVectors) {
    struct Case {
        std::string input;
        uint64_t hash;
    };
    const std::vector<Case> cases = {
        {"", 0xcbf29ce484222325ULL},
        {"a", 0xaf63dc4c8601ec8cULL},
        {"foobar", 0x85944171f73967e8ULL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fnv1a_64(c.input.data(), c.input.size()), c.hash) << c.input;
    // A trailing zero byte is still multiplied in.
    EXPECT_NE(fnv1a_64("a\0", 2), fnv1a_64("a", 1));
}

class CommonFiles : public TempDirTest {};

TEST_F(CommonFiles, SizeAndContentOfFiles) {
    write_file("empty", "");
    write_file("five", std::string("ab\0cd", 5));
    EXPECT_EQ(get_file_size("missing"), 0u);
    EXPECT_EQ(get_file_size("empty"), 0u);
    EXPECT_EQ(get_file_size("five"), 5u);

    unsigned char* content = reinterpret_cast<unsigned char*>(0x1);
    size_t size = 99;
    EXPECT_EQ(read_file_content("missing", &content, &size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(read_file_content("empty", &content, &size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(content, reinterpret_cast<unsigned char*>(0x1));  // untouched on failure

    ASSERT_EQ(read_file_content("five", &content, &size), 0);
    ASSERT_EQ(size, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(content), size), std::string("ab\0cd", 5));
    std::free(content);
}

TEST_F(CommonFiles, SizesBeyondThirtyTwoBitsAreExact) {
    // A sparse file: 3 GiB of size, almost no disk.
    const size_t three_gib = size_t{3} << 30;
    {
        std::FILE* f = std::fopen("sparse", "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fseeko(f, static_cast<off_t>(three_gib - 1), SEEK_SET), 0);
        ASSERT_EQ(std::fputc('x', f), 'x');
        ASSERT_EQ(std::fclose(f), 0);
    }
    EXPECT_EQ(get_file_size("sparse"), three_gib);
}

TEST(HeapSort, OrdersByFrequencyThenDescendingByte) {
    struct Case {
        std::vector<FrequencyItem> input, sorted;
    };
    const std::vector<Case> cases = {
        {{{0x41, 3}, {0x42, 1}, {0x43, 3}, {0x44, 1}}, {{0x44, 1}, {0x42, 1}, {0x43, 3}, {0x41, 3}}},
        {{}, {}},
        {{{0x07, 9}}, {{0x07, 9}}},
        {{{1, 5}, {2, 4}, {3, 3}, {4, 2}, {5, 1}, {6, 0}},
         {{6, 0}, {5, 1}, {4, 2}, {3, 3}, {2, 4}, {1, 5}}},
        {{{9, 2}, {8, 2}, {7, 2}, {200, 2}, {0, 2}}, {{200, 2}, {9, 2}, {8, 2}, {7, 2}, {0, 2}}},
    };
    for (const auto& c : cases) {
        std::vector<FrequencyItem> items = c.input;
        heap_sort(items.data(), items.size());
        ASSERT_EQ(items.size(), c.sorted.size());
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].byte, c.sorted[i].byte) << "case of " << c.input.size() << " at " << i;
            EXPECT_EQ(items[i].frequency, c.sorted[i].frequency);
        }
    }
}
