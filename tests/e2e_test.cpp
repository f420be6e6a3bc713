// Scripted sessions piped into the program: the command loop, its outcome boxes, and end of
// input at every kind of prompt. Expected screens come from the console functions themselves,
// whose bytes ui_test pins down.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_util.h"
#include "ui.h"

namespace {

std::string message_box(const char* text) {
    return capture_stdout([&] { ui_display_message(text); });
}

const std::string PAUSE = "\n\033[33m按回车键继续...\033[0m";

}  // namespace

class Session : public TempDirTest {};

TEST_F(Session, LoopDispatchesAndQuitEndsWithoutPause) {
    const std::string menu = message_box("主菜单：压缩(c)、解压(d) 或 退出(q)");
    const std::string menu_screen = run_with_input("q\n", [] { ui_show_main_menu(); });
    const std::string quit = message_box("退出程序...") + capture_stdout(ui_cleanup);
    const std::string invalid = message_box("无效的选择，请输入 'c'、'd' 或 'q'。");
    struct Case {
        std::string input, after_banner;
    };
    const std::vector<Case> cases = {
        {"q\n", menu + menu_screen + quit},
        {"  Quit\n", menu + menu_screen + quit},
        {"", menu + menu_screen + quit},  // end of input at the menu quits
        {"x\n\nq\n", menu + menu_screen + invalid + PAUSE + menu + menu_screen + quit},
        // The pause takes 'a'; the next menu reads "q".
        {"x\naq\n", menu + menu_screen + invalid + PAUSE + menu + menu_screen + quit},
    };
    const std::string banner = capture_stdout(ui_init);
    for (const auto& c : cases) {
        RunResult r = run_hfm(c.input);
        EXPECT_EQ(r.status, 0) << c.input;
        EXPECT_EQ(r.out, banner + c.after_banner) << c.input;
    }
}

TEST_F(Session, CompressCommandReportsItsOutcome) {
    write_file("in.txt", "AAABBC");
    RunResult ok = run_hfm("compress\nin.txt\nsender\nreceiver\n1\n\nq\n");
    EXPECT_EQ(ok.status, 0);
    // The file-name prompt brings a line break of its own after the one the prompt prints.
    const std::vector<std::string> expected = {
        "\n\033[1m\033[34m\n请输入待压缩的文件名: \033[0m",
        "\033[1m\033[34m请输入发送人信息（格式：10位学号,姓名）：",
        "\033[1m\033[34m请输入接收人信息（格式：10位学号,姓名）：",
        "压缩文件已保存: in.txt.hfm\n编码表文件已保存: in.txt.hfm.code\n" +
            message_box("文件压缩成功！")};
    for (const auto& prompt : expected)
        EXPECT_NE(ok.out.find(prompt), std::string::npos) << prompt;
    EXPECT_EQ(read_file("in.txt.hfm").substr(0, 18), "1\nsender\nreceiver\n");

    RunResult failed = run_hfm("c\nmissing.txt\ns\nr\n0\n\nq\n");
    EXPECT_NE(
        failed.out.find("无法打开文件: missing.txt\n" + message_box("文件压缩失败！") + PAUSE),
        std::string::npos);
    EXPECT_EQ(failed.out.find("HASH"), std::string::npos);  // no report after a failure
}

TEST_F(Session, EndOfInputAnywhereEndsTheProgramQuickly) {
    write_file("in.txt", "hello world");
    for (const std::string input :
         {"c", "c\nin.txt", "c\nin.txt\ns\n", "c\nin.txt\ns\nr\n", "c\nin.txt\ns\nr\n1\n", "d\n",
          "d\nin.txt.hfm\ns\nr\n", "x", "\n\n\n"}) {
        auto start = std::chrono::steady_clock::now();
        RunResult r = run_hfm(input);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << input;
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_NE(r.out.find("感谢使用，再见！"), std::string::npos) << input;
    }
}
