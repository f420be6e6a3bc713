#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Each test runs in a fresh temporary directory, which is also the working directory.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path dir_;

  private:
    std::filesystem::path old_cwd_;
};

void write_file(const std::string& path, std::string_view bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// `s` written `n` times over.
std::string repeat(std::string_view s, size_t n);

// The names in the working directory, sorted.
std::vector<std::string> files_here();

// Makes `input` the whole of standard input from now on (end of input after it).
void feed_stdin(const std::string& input);

// What remains of standard input, read to its end.
std::string rest_of_input();

// Runs `fn` and returns what it printed to standard output.
std::string capture_stdout(const std::function<void()>& fn);

// Feeds `input` and captures standard output around `fn`.
std::string run_with_input(const std::string& input, const std::function<void()>& fn);

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs the hfm program in the working directory with `input` as its standard input. Its
// output comes back with the CR that a Windows text-mode stream puts before each line feed
// taken out, so that what it printed compares alike on every platform.
RunResult run_hfm(const std::string& input, int timeout_seconds = 60);

// Runs the hfm program in the working directory with standard input, output and error
// connected to the files named; its exit status, or -1 when it did not exit by itself within
// `timeout_seconds`.
int run_redirected(const char* input, const char* output, const char* errors, int timeout_seconds);

// `text` with each CR LF made LF where the platform's text mode writes CR LF; unchanged
// elsewhere.
std::string without_cr_lf(std::string text);

// The running process's id.
int process_id();
