#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Each test runs in a fresh temporary folder, which is also the working folder.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

  private:
    std::filesystem::path dir_, old_cwd_;
};

// Paths from names typed in UTF-8, and back: a path made from a std::string would take its
// bytes in the ANSI code page on Windows.
std::filesystem::path utf8_path(const std::string& name);
std::string utf8_name(const std::filesystem::path& path);

void write_file(const std::string& path, std::string_view bytes);
// The file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

// Runs `fn` with `input` as the whole of standard input and returns what it printed.
std::string run_with_input(const std::string& input, const std::function<void()>& fn);
// What `fn` left unread of that input.
std::string rest_of_input();

struct ProgramRun {
    int status = -1;  // exit status; -1 when killed or cut short
    std::string out, err;
    long peak_kib = 0;  // peak resident memory, the forked test process's included
};

// Runs the program in the working folder with `keys` as its whole standard input. Writes past
// `file_size_limit` bytes (0: 1 GiB) fail instead of killing it. A run that prints more than
// a few megabytes or takes more than a minute is killed: no fault can fill the disk or hang
// the suite. HFM_TEST_WRAPPER, when set, is a command to run the program under (valgrind).
// On Windows there is no file-size limit nor a time limit of its own (ctest's holds), and the CR
// that text mode puts before each line feed of the output is taken out.
ProgramRun run_program(const std::string& keys, uint64_t file_size_limit = 0,
                       int timeout_seconds = 60);

// `text` with each CR LF made LF where the platform's text mode writes CR LF.
std::string without_cr_lf(std::string text);

// True when the program runs under a wrapper or a sanitizer, whose memory is not its own.
bool memory_is_measured();

// The bytes an escaped text stands for: `\e` ESC, `\r`, `\n`, `\t`, `\0`, `\xHH`, `\\`.
std::string unescape(std::string_view text);

// One section of a data file: a line "--- KIND [NAME [VALUE...]]", then its text. Each line
// of the text ends with a line feed unless it ends in `\c`; the text is unescaped, and
// repeated N times when VALUE is "x N".
struct Section {
    std::string kind, name, value;
    std::string text;
};
// The sections of a data file; lines before the first one are comments.
std::vector<Section> read_sections(const std::filesystem::path& path);
