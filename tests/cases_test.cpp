// Runs every golden case under tests/cases/: the files present before, the keys typed, the
// screen expected, the files expected after.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

struct Case {
    std::map<std::string, std::string> before, after;  // file name -> bytes
    std::set<std::string> dirs;
    std::map<std::string, std::string> links;  // name -> target
    std::string keys, screen, err;
    uint64_t file_size_limit = 0;
    long memory_kib = 0;
    std::string platform;  // "posix" or "windows" for a case that only one of them can run
};

Case parse_case(const fs::path& path) {
    Case c;
    for (const Section& s : read_sections(path)) {
        if (s.kind == "file")  // a second section goes on where the first ended
            c.before[s.name] += s.text;
        else if (s.kind == "after")
            c.after[s.name] += s.text;
        else if (s.kind == "dir")
            c.dirs.insert(s.name);
        else if (s.kind == "link")
            c.links[s.name] = s.value;
        else if (s.kind == "keys")
            c.keys = s.text;
        else if (s.kind == "screen")
            c.screen = s.text;
        else if (s.kind == "stderr")
            c.err = s.text;
        else if (s.kind == "limit" && s.name == "file-size")
            c.file_size_limit = std::stoull(s.value);
        else if (s.kind == "limit" && s.name == "memory-kib")
            c.memory_kib = std::stol(s.value);
        else if (s.kind == "platform")
            c.platform = s.name;
        else
            ADD_FAILURE() << path << ": unknown section " << s.kind;
    }
    return c;
}

// The timing figures of a decompression differ run to run: a number there is compared as
// "*" (so "inf" or "nan" still shows).
std::string mask_timing(std::string screen) {
    for (const std::string label : {"解码操作耗时: ", "解码部分处理速度: "}) {
        for (size_t at = screen.find(label); at != std::string::npos; at = screen.find(label, at)) {
            at += label.size();
            const size_t end = screen.find(' ', at);
            if (screen.find_first_not_of("0123456789.", at) == end)
                screen.replace(at, end - at, "*");
        }
    }
    return screen;
}

// A text file's bytes as the platform writes them: CR LF on Windows.
std::string text_file(const std::string& text) {
#ifdef _WIN32
    std::string crlf;
    for (char ch : text)
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    return crlf;
#else
    return text;
#endif
}

std::set<std::string> names_here() {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator("."))
        names.insert(utf8_name(entry.path().lexically_relative(".")));
    return names;
}

class Cases : public TempDirTest, public ::testing::WithParamInterface<fs::path> {};

TEST_P(Cases, ScreenAndFilesAsPinned) {
    const Case c = parse_case(GetParam());
#ifdef _WIN32
    if (c.platform == "posix" || c.file_size_limit != 0 || !c.links.empty())
        GTEST_SKIP() << "a case for POSIX systems";
    // A redirected "cls" writes nothing; a terminal is cleared by an escape sequence.
    const std::string screen = c.screen.substr(c.screen.starts_with("\033[H\033[2J") ? 7 : 0);
#else
    if (c.platform == "windows")
        GTEST_SKIP() << "a case for Windows";
    const std::string& screen = c.screen;
#endif
    std::set<std::string> expected_names = c.dirs;
    for (const std::string& dir : c.dirs)
        fs::create_directories(utf8_path(dir));
    for (const auto& [name, bytes] : c.before) {
        write_file(name, bytes);
        expected_names.insert(name);
    }
    for (const auto& [name, target] : c.links) {
        fs::create_symlink(target, name);
        expected_names.insert(name);
    }
    for (const auto& [name, bytes] : c.after)
        expected_names.insert(name);

    const ProgramRun run = run_program(c.keys, c.file_size_limit);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(screen, mask_timing(run.out));
    EXPECT_EQ(c.err, run.err);
    EXPECT_TRUE(c.memory_kib == 0 || !memory_is_measured() || run.peak_kib < c.memory_kib)
        << "peak " << run.peak_kib << " KiB";
    EXPECT_EQ(names_here(), expected_names);
    for (const auto& [name, bytes] : c.before)
        EXPECT_TRUE(c.after.contains(name) || read_file(name) == bytes) << name << " changed";
    for (const auto& [name, bytes] : c.after)
        EXPECT_TRUE(read_file(name) == (name.ends_with(".code") ? text_file(bytes) : bytes))
            << name << " is not as expected";
}

std::vector<fs::path> case_files() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(HFM_SOURCE_DIR) / "tests/cases"))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

INSTANTIATE_TEST_SUITE_P(Golden, Cases, ::testing::ValuesIn(case_files()), [](const auto& param) {
    std::string name = param.param.stem().string();
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

}  // namespace
