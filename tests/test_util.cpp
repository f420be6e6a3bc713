#include "test_util.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

void TempDirTest::SetUp() {
    old_cwd_ = fs::current_path();
    std::random_device seed;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("hfm_") + info->test_suite_name() + "_" + info->name();
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    dir_ = fs::temp_directory_path() / (name + "_" + std::to_string(seed()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
}

void TempDirTest::TearDown() {
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool file_exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

std::string repeat(std::string_view s, size_t n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

std::vector<std::string> files_here() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void feed_stdin(const std::string& input) {
    static int counter = 0;
    fs::path path = fs::temp_directory_path() /
                    ("hfm_stdin_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    write_file(path.string(), input);
    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
    std::clearerr(stdin);
    fs::remove(path);  // the open stream keeps the data readable
}

std::string rest_of_input() {
    std::string rest;
    for (int ch; (ch = std::getchar()) != EOF;)
        rest += static_cast<char>(ch);
    return rest;
}

std::string capture_stdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string run_with_input(const std::string& input, const std::function<void()>& fn) {
    feed_stdin(input);
    return capture_stdout(fn);
}

RunResult run_hfm(const std::string& input) {
    write_file("hfm_stdin.txt", input);
    std::string command = std::string("timeout 60 '") + HFM_PATH +
                          "' < hfm_stdin.txt > hfm_stdout.txt 2> hfm_stderr.txt";
    int raw = std::system(command.c_str());
    RunResult result;
    if (raw != -1 && WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    result.out = read_file("hfm_stdout.txt");
    result.err = read_file("hfm_stderr.txt");
    fs::remove("hfm_stdin.txt");
    fs::remove("hfm_stdout.txt");
    fs::remove("hfm_stderr.txt");
    return result;
}
