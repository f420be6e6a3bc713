#include "ui.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "input.h"
#include "resources.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const char* const BOLD = "\033[1m";
const char* const RED = "\033[31m";
const char* const GREEN = "\033[32m";
const char* const YELLOW = "\033[33m";
const char* const BLUE = "\033[34m";
const char* const MAGENTA = "\033[35m";
const char* const CYAN = "\033[36m";
const char* const RESET = "\033[0m";

// The first non-blank character of the input, or EOF; the rest of its line is discarded. A
// full-width form counts as its ASCII character.
int read_choice() {
    std::string raw;
    int ch;
    do {
        ch = input_get_narrow(&raw);
    } while (ch != EOF && std::isspace(ch));
    if (ch != EOF)
        input_drain_line();
    return ch;
}

// Asked once: where standard output goes does not change while the program runs.
bool stdout_is_terminal() {
#ifdef _WIN32
    static const bool terminal = _isatty(_fileno(stdout)) != 0;
#else
    static const bool terminal = isatty(fileno(stdout)) != 0;
#endif
    return terminal;
}

// Short work stays quiet; the bar is for waits long enough to wonder about.
constexpr Progress::Clock::duration PROGRESS_SHOW_AFTER = std::chrono::seconds(1);
constexpr Progress::Clock::duration PROGRESS_REDRAW_EVERY = std::chrono::milliseconds(250);

void clear_screen() {
#ifdef _WIN32
    std::system("cls");
#else
    // No "cls" here: the ANSI home-and-erase sequence has the same effect on a terminal.
    std::printf("\033[H\033[2J");
#endif
}

}  // namespace

void ui_console_utf8() {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode))
        return;
    SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    // POSIX terminals already take UTF-8 and ANSI escapes; there is nothing to switch on.
#endif
}

// The MinGW printf hands a stream its text one byte at a time, and a console shows a UTF-8
// character split over several writes as mojibake. In binary mode a flush is one write (in
// text mode the C runtime writes its CR LF translation in pieces); the console starts a new
// line at a line feed all the same. Pipes and files keep their text mode and the C runtime's
// buffering.
void ui_console_buffer_output() {
#ifdef _WIN32
    constexpr size_t CONSOLE_BUFFER_BYTES = 64 * 1024;
    for (std::FILE* stream : {stdout, stderr}) {
        DWORD mode = 0;
        if (!GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode))
            continue;
        _setmode(_fileno(stream), _O_BINARY);
        std::setvbuf(stream, nullptr, _IOFBF, CONSOLE_BUFFER_BYTES);
    }
#else
    // A terminal here takes UTF-8 in any pieces; the C library's line buffering stays.
#endif
}

void ui_init() {
    clear_screen();
    std::printf("\n%s%s╔══════════════════════════════════════════════════╗%s\n", BOLD, CYAN,
                RESET);
    std::printf("%s%s║         文件压缩/解压缩系统 - 欢迎使用           ║%s\n", BOLD, CYAN, RESET);
    std::printf("%s%s╚══════════════════════════════════════════════════╝%s\n\n", BOLD, CYAN,
                RESET);
}

void ui_cleanup() {
    std::printf("\n%s%s╔══════════════════════════════════════════════════╗%s\n", BOLD, CYAN,
                RESET);
    std::printf("%s%s║            感谢使用，再见！                    ║%s\n", BOLD, CYAN, RESET);
    std::printf("%s%s╚══════════════════════════════════════════════════╝%s\n", BOLD, CYAN, RESET);
}

char ui_show_main_menu() {
    std::printf("\n%s%s┌──────────────── 主菜单 ────────────────┐%s\n", BOLD, YELLOW, RESET);
    std::printf("%s│  [C] 压缩文件                          │%s\n", YELLOW, RESET);
    std::printf("%s│  [D] 解压文件                          │%s\n", YELLOW, RESET);
    std::printf("%s│  [Q] 退出程序                          │%s\n", YELLOW, RESET);
    std::printf("%s└────────────────────────────────────────┘%s\n", YELLOW, RESET);
    std::printf("\n%s请输入您的选择 > %s", GREEN, RESET);
    int ch = read_choice();
    return ch == EOF ? 'q' : static_cast<char>(ch);
}

PromptAnswer ui_prompt_filename(const char* prompt, char* buffer, size_t size) {
    std::printf("\n%s%s%s%s", BOLD, BLUE, prompt, RESET);
    return input_read_line(buffer, size);
}

PromptAnswer ui_prompt_info(const char* prompt, char* buffer, size_t size) {
    std::printf("%s%s%s%s", BOLD, BLUE, prompt, RESET);
    return input_read_line(buffer, size);
}

int ui_prompt_encryption_method(bool* ended) {
    std::printf("\n%s%s┌──────────── 选择加密方式 ────────────┐%s\n", BOLD, MAGENTA, RESET);
    std::printf("%s│  [0] 偏移量加密                      │%s\n", MAGENTA, RESET);
    std::printf("%s│  [1] XOR 加密                        │%s\n", MAGENTA, RESET);
    std::printf("%s└──────────────────────────────────────┘%s\n", MAGENTA, RESET);
    std::printf("\n%s请选择加密方式 > %s", GREEN, RESET);
    int ch = read_choice();
    if (ended != nullptr)
        *ended = ch == EOF;
    return ch == '1' ? 1 : 0;
}

int ui_prompt_decoding_method() {
    std::printf("\n%s%s┌──────────── 选择解码方式 ────────────┐%s\n", BOLD, MAGENTA, RESET);
    std::printf("%s│  [1] 基于解码树的逐位解码           │%s\n", MAGENTA, RESET);
    std::printf("%s│  [2] 基于编码表的匹配解码           │%s\n", MAGENTA, RESET);
    std::printf("%s│  [3] 基于哈希的快速解码             │%s\n", MAGENTA, RESET);
    std::printf("%s└─────────────────────────────────────┘%s\n", MAGENTA, RESET);
    std::printf("\n%s请选择解码方式 (1-3) > %s", GREEN, RESET);
    int method = 0;
    int converted = input_read_int(&method);
    if (converted == EOF)
        return 0;  // nothing left to drain
    if (converted != 1)
        method = 0;
    input_drain_line();
    return method;
}

int ui_ask_decoding_method() {
    for (;;) {
        std::printf("请选择解码方式：\n");
        std::printf("  1 - 基于解码树的逐位解码\n");
        std::printf("  2 - 基于编码表直接匹配\n");
        std::printf("  3 - 基于哈希的快速解码\n");
        std::printf("请输入解码方式选择(1或2或3): ");
        int choice = 0;
        if (input_read_int(&choice) != 1) {
            std::printf("读取选择失败\n");
            return -1;
        }
        input_drain_line();
        if (choice >= 1 && choice <= 3)
            return choice;
    }
}

void ui_display_message(const char* message) {
    std::printf("\n%s%s══════════════════════════════════════════%s\n", BOLD, BLUE, RESET);
    std::printf("%s%s  %s%s\n", BOLD, BLUE, message, RESET);
    std::printf("%s%s══════════════════════════════════════════%s\n", BOLD, BLUE, RESET);
}

void ui_display_error(const char* message) {
    std::printf("\n%s%s[错误] %s%s\n", BOLD, RED, message, RESET);
}

void ui_display_success(const char* message) {
    std::printf("\n%s%s[成功] %s%s\n", BOLD, GREEN, message, RESET);
}

void ui_display_progress(const char* operation, int percentage) {
    constexpr int bar_width = 50;
    std::printf("%s%s[%s] %3d%% ", BOLD, CYAN, operation, percentage);
    std::printf("[");
    // Widened so that extreme percentages cannot overflow; the quotient still truncates.
    long long pos = static_cast<long long>(bar_width) * percentage / 100;
    for (int i = 0; i < bar_width; ++i) {
        if (i < pos)
            std::printf("=");
        else if (i == pos)
            std::printf(">");
        else
            std::printf(" ");
    }
    std::printf("] %s\r", RESET);
    std::fflush(stdout);
    if (percentage == 100)
        std::printf("\n");
}

void ui_pause() {
    std::printf("\n%s按回车键继续...%s", YELLOW, RESET);
    input_get();
}

Progress::Progress() : Progress(stdout_is_terminal(), [] { return Clock::now(); }) {}

Progress::Progress(bool terminal, std::function<Clock::time_point()> now)
    : terminal_(terminal), now_(std::move(now)) {
    begin();
}

void Progress::begin() {
    if (terminal_)
        started_ = now_();
}

void Progress::start(const char* label, uint64_t total) {
    label_ = label;
    total_ = total;
    if (!terminal_)
        return;
    next_check_ = 0;
    if (drawn_)
        draw(0);
}

void Progress::check(uint64_t done) {
    next_check_ = done + PROGRESS_BLOCK_BYTES;
    Clock::time_point now = now_();
    if (now - started_ < PROGRESS_SHOW_AFTER)
        return;
    if (drawn_ && now - drawn_at_ < PROGRESS_REDRAW_EVERY)
        return;
    drawn_at_ = now;
    draw(done);
}

void Progress::draw(uint64_t done) {
    double percent =
        total_ == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total_) * 100.0;
    // At 100 the bar would end its line and stay on the screen; the step's end is shown by
    // the line that follows instead.
    ui_display_progress(label_, static_cast<int>(std::min(percent, 99.0)));
    drawn_ = true;
}

void Progress::clear() {
    if (!drawn_)
        return;
    std::printf("\r\033[K");
    std::fflush(stdout);
    drawn_ = false;
}
