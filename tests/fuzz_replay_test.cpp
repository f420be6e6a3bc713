// Replays every kept fuzz input (seeds and the inputs of past crashes) through the same entry
// points the fuzzers run; a violated property aborts the test process.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>

#include "fuzz_targets.h"
#include "test_util.h"

namespace fs = std::filesystem;

// Test names and failure messages show the target by name.
void PrintTo(const FuzzTarget& target, std::ostream* out) {
    *out << target.name;
}

namespace {

class FuzzReplay : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzReplay, KeptInputsHoldEveryProperty) {
    const FuzzTarget& target = GetParam();
    const fs::path source(HFM_SOURCE_DIR);
    size_t replayed = 0;
    for (const fs::path& dir :
         {source / "fuzz/seeds" / target.seeds, source / "tests/fuzz_regressions" / target.name}) {
        if (!fs::is_directory(dir))
            continue;
        for (const auto& file : fs::directory_iterator(dir)) {
            const std::string bytes = read_file(file.path().string());
            // Names the input when a property aborts the process.
            std::fprintf(stderr, "replaying %s\n", file.path().c_str());
            // The hash decoder lists its table on standard output.
            capture_stdout(
                [&] { target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); });
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0u) << "no kept input for " << target.name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(FUZZ_TARGETS),
                         [](const auto& target) { return std::string(target.param.name); });

}  // namespace
