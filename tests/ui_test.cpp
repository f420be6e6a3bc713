#include "ui.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string BOLD = "\033[1m", RED = "\033[31m", GREEN = "\033[32m", YELLOW = "\033[33m",
                  BLUE = "\033[34m", MAGENTA = "\033[35m", CYAN = "\033[36m", RESET = "\033[0m";

#ifdef _WIN32
const std::string CLEAR_SCREEN = "";  // "cls" clears the console, not the captured output
#else
const std::string CLEAR_SCREEN = "\033[H\033[2J";
#endif

std::string blanks(int n) {
    return std::string(static_cast<size_t>(n), ' ');
}

// Each text on a line of its own in `style`, reset before the line break.
std::string lines(const std::string& style, const std::vector<std::string>& texts) {
    std::string out;
    for (const std::string& text : texts)
        out += style + text + RESET + "\n";
    return out;
}

// A framed box of 50 columns with one row of text.
std::string banner(const std::string& text, int left, int right) {
    return lines(BOLD + CYAN,
                 {"╔" + repeat("═", 50) + "╗", "║" + blanks(left) + text + blanks(right) + "║",
                  "╚" + repeat("═", 50) + "╝"});
}

// A menu box: its title line in bold, its rows, its bottom, then the prompt.
std::string menu_box(const std::string& colour, const std::string& title, int dashes,
                     const std::vector<std::string>& rows, int bottom, const std::string& prompt) {
    std::vector<std::string> body = rows;
    body.push_back("└" + repeat("─", bottom) + "┘");
    return "\n" +
           lines(BOLD + colour, {"┌" + repeat("─", dashes) + title + repeat("─", dashes) + "┐"}) +
           lines(colour, body) + "\n" + GREEN + prompt + RESET;
}

std::string row(const std::string& key, const std::string& label, int pad) {
    return "│  [" + key + "] " + label + blanks(pad) + "│";
}

}  // namespace

TEST(UiScreens, BannersAndMessagesAreByteExact) {
    EXPECT_EQ(capture_stdout(ui_init),
              CLEAR_SCREEN + "\n" + banner("文件压缩/解压缩系统 - 欢迎使用", 9, 11) + "\n");
    EXPECT_EQ(capture_stdout(ui_cleanup), "\n" + banner("感谢使用，再见！", 12, 20));
    const std::string rule = repeat("═", 42);
    EXPECT_EQ(capture_stdout([] { ui_display_message("文件压缩成功！"); }),
              "\n" + lines(BOLD + BLUE, {rule, "  文件压缩成功！", rule}));
    EXPECT_EQ(capture_stdout([] { ui_display_error("坏"); }),
              "\n" + lines(BOLD + RED, {"[错误] 坏"}));
    EXPECT_EQ(capture_stdout([] { ui_display_success("好"); }),
              "\n" + lines(BOLD + GREEN, {"[成功] 好"}));
}

TEST(UiScreens, MenuAndBoxesAreByteExact) {
    EXPECT_EQ(
        run_with_input("c\n", [] { ui_show_main_menu(); }),
        menu_box(YELLOW, " 主菜单 ", 16,
                 {row("C", "压缩文件", 26), row("D", "解压文件", 26), row("Q", "退出程序", 26)}, 40,
                 "请输入您的选择 > "));
    EXPECT_EQ(
        run_with_input("0\n", [] { ui_prompt_encryption_method(); }),
        menu_box(MAGENTA, " 选择加密方式 ", 12,
                 {row("0", "偏移量加密", 22), row("1", "XOR 加密", 24)}, 38, "请选择加密方式 > "));
    EXPECT_EQ(run_with_input("1\n", [] { ui_prompt_decoding_method(); }),
              menu_box(MAGENTA, " 选择解码方式 ", 12,
                       {row("1", "基于解码树的逐位解码", 11), row("2", "基于编码表的匹配解码", 11),
                        row("3", "基于哈希的快速解码", 13)},
                       37, "请选择解码方式 (1-3) > "));
    EXPECT_EQ(run_with_input("x", [] { ui_pause(); }), "\n" + YELLOW + "按回车键继续..." + RESET);
    char name[16];
    EXPECT_EQ(run_with_input("x\n", [&] { ui_prompt_filename("名: ", name, sizeof name); }),
              "\n" + BOLD + BLUE + "名: " + RESET);
    EXPECT_EQ(run_with_input("x\n", [&] { ui_prompt_info("信息：", name, sizeof name); }),
              BOLD + BLUE + "信息：" + RESET);
}

TEST(UiProgress, DrawsFiftyCellsAroundThePosition) {
    struct Case {
        int percentage;
        std::string label, cells, tail;
    };
    const std::vector<Case> cases = {
        {0, "  0", ">" + blanks(49), "\r"},
        {37, " 37", std::string(18, '=') + ">" + blanks(31), "\r"},
        {50, " 50", std::string(25, '=') + ">" + blanks(24), "\r"},
        {100, "100", std::string(50, '='), "\r\n"},
        {-1, " -1", ">" + blanks(49), "\r"},
        {-2, " -2", blanks(50), "\r"},
        {101, "101", std::string(50, '='), "\r"},
    };
    for (const auto& c : cases) {
        std::string out = capture_stdout([&] { ui_display_progress("压缩", c.percentage); });
        EXPECT_EQ(out, BOLD + CYAN + "[压缩] " + c.label + "% [" + c.cells + "] " + RESET + c.tail)
            << c.percentage;
    }
}

TEST(UiReading, ChoicesAndNumbersDrainTheirLine) {
    int (*menu)() = [] { return static_cast<int>(ui_show_main_menu()); };
    int (*transform)() = [] { return ui_prompt_encryption_method(); };
    int (*decoding)() = [] { return ui_prompt_decoding_method(); };
    int (*pause)() = [] { return ui_pause(), 0; };
    struct Case {
        int (*read)();
        std::string input;
        int value;
        std::string left;
    };
    const std::vector<Case> cases = {
        {menu, "compress\nnext", 'c', "next"},
        {menu, "  D\n", 'D', ""},
        {menu, "\n\n\tQuit\nmore\n", 'Q', "more\n"},
        {menu, "", 'q', ""},  // end of input: quit
        {menu, "\n  \n", 'q', ""},
        {transform, "1abc\nnext", 1, "next"},
        {transform, "10\n", 1, ""},
        {transform, " \n 1\n", 1, ""},
        {transform, "0\n", 0, ""},
        {transform, "2\n", 0, ""},
        {transform, "x\n", 0, ""},
        {transform, "", 0, ""},
        {decoding, "2x\nnext", 2, "next"},
        {decoding, "-1\n", -1, ""},
        {decoding, "7\n", 7, ""},
        {decoding, "abc\nnext", 0, "next"},
        {decoding, "\n\n +3\n", 3, ""},
        {decoding, "", 0, ""},
        {decoding, std::string(200, '9') + "\nnext", INT_MAX, "next"},  // saturates
        {decoding, "-" + std::string(20, '9') + "\n", INT_MIN, ""},
        {decoding, "-x\nnext", 0, "next"},
        {pause, "ab\n", 0, "b\n"},
        {pause, "", 0, ""},
    };
    for (const auto& c : cases) {
        int value = -9;
        run_with_input(c.input, [&] { value = c.read(); });
        EXPECT_EQ(value, c.value) << c.input;
        EXPECT_EQ(rest_of_input(), c.left) << c.input;
    }
}

TEST(UiReading, LinesKeepBlanksLoseTheLineBreakAndSplitWhenLong) {
    const std::string long_line(300, 'n');
    struct Case {
        std::string input;
        size_t size;
        std::string text, left;
    };
    const std::vector<Case> cases = {
        {"name.txt\nnext", 256, "name.txt", "next"},
        {"  a b \t\n", 256, "  a b \t", ""},
        {"\nnext", 256, "", "next"},
        {"crlf\r\n", 256, "crlf\r", ""},
        {"", 256, "", ""},
        {long_line + "\nnext", 256, long_line.substr(0, 255), long_line.substr(255) + "\nnext"},
        {std::string(127, 's') + "\n", 128, std::string(127, 's'), "\n"},
    };
    for (const auto& c : cases) {
        std::vector<char> buffer(c.size, 'Z');
        run_with_input(c.input, [&] { ui_prompt_info("> ", buffer.data(), buffer.size()); });
        EXPECT_EQ(std::string(buffer.data()), c.text) << c.input;
        EXPECT_EQ(rest_of_input(), c.left) << c.input;
    }
}
