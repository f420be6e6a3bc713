// Scripted sessions piped into the program: the command loop, its outcome boxes, and end of
// input at every kind of prompt.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string BOX = "\033[1m\033[34m";
const std::string RESET = "\033[0m";
const std::string RULE = "══════════════════════════════════════════";

std::string message_box(const std::string& text) {
    return "\n" + BOX + RULE + RESET + "\n" + BOX + "  " + text + RESET + "\n" + BOX + RULE +
           RESET + "\n";
}

const std::string MENU_BOX = message_box("主菜单：压缩(c)、解压(d) 或 退出(q)");
const std::string MENU_PROMPT = "请输入您的选择 > ";
const std::string PAUSE = "按回车键继续...";
const std::string FAREWELL_TAIL =
    "\033[1m\033[36m╚══════════════════════════════════════════════════╝\033[0m\n";

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

class Session : public TempDirTest {};

TEST_F(Session, QuitEndsWithExitBoxAndFarewellWithoutPause) {
    for (const std::string input : {"q\n", "Quit\n", "  Q\n", ""}) {
        RunResult r = run_hfm(input);
        EXPECT_EQ(r.status, 0) << input;
        const std::string exit_box = message_box("退出程序...");
        ASSERT_NE(r.out.find(exit_box), std::string::npos) << input;
        std::string after = r.out.substr(r.out.find(exit_box) + exit_box.size());
        EXPECT_EQ(after.substr(0, 1), "\n") << input;
        EXPECT_NE(after.find("感谢使用，再见！"), std::string::npos) << input;
        EXPECT_EQ(after.substr(after.size() - FAREWELL_TAIL.size()), FAREWELL_TAIL) << input;
        EXPECT_EQ(count_of(r.out, PAUSE), 0u) << input;
        EXPECT_EQ(r.out.substr(0, 7), "\033[H\033[2J") << input;
    }
}

TEST_F(Session, InvalidChoiceShowsBoxThenPauseThenMenu) {
    RunResult r = run_hfm("x\n\nq\n");
    EXPECT_EQ(r.status, 0);
    const std::string invalid = message_box("无效的选择，请输入 'c'、'd' 或 'q'。");
    size_t at = r.out.find(invalid);
    ASSERT_NE(at, std::string::npos);
    std::string after = r.out.substr(at + invalid.size());
    EXPECT_EQ(after.substr(0, after.find(MENU_BOX)),
              "\n\033[33m" + PAUSE + RESET);
    EXPECT_EQ(count_of(r.out, MENU_BOX), 2u);
}

TEST_F(Session, TextTypedAtThePauseFeedsTheNextMenu) {
    // The pause takes 'a'; the menu then reads "q".
    RunResult r = run_hfm("x\naq\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(r.out, MENU_BOX), 2u);
    EXPECT_NE(r.out.find("退出程序..."), std::string::npos);
}

TEST_F(Session, CompressCommandReportsItsOutcome) {
    write_file("in.txt", "AAABBC");
    RunResult ok = run_hfm("compress\nin.txt\nsender\nreceiver\n1\n\nq\n");
    EXPECT_EQ(ok.status, 0);
    // The prompt brings a line break of its own after the one every file-name prompt prints.
    EXPECT_NE(ok.out.find("\n" + BOX + "\n请输入待压缩的文件名: " + RESET),
              std::string::npos);
    EXPECT_NE(ok.out.find("请输入发送人信息（格式：10位学号,姓名）："), std::string::npos);
    EXPECT_NE(ok.out.find("请输入接收人信息（格式：10位学号,姓名）："), std::string::npos);
    EXPECT_NE(ok.out.find("压缩文件已保存: in.txt.hfm\n编码表文件已保存: in.txt.hfm.code\n" +
                          message_box("文件压缩成功！")),
              std::string::npos);
    EXPECT_EQ(read_file("in.txt.hfm").substr(0, 18), "1\nsender\nreceiver\n");

    RunResult failed = run_hfm("c\nmissing.txt\ns\nr\n0\n\nq\n");
    EXPECT_EQ(failed.status, 0);
    EXPECT_NE(failed.out.find("无法打开文件: missing.txt\n" + message_box("文件压缩失败！") +
                              "\n\033[33m" + PAUSE),
              std::string::npos);
    EXPECT_EQ(failed.out.find("HASH"), std::string::npos);  // no report after a failure
}

TEST_F(Session, BlanksBeforeTheChoiceStillSelect) {
    RunResult r = run_hfm("  d\nnothing.hfm\ns\nr\n\nq\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("请输入待解压的压缩文件名 (*.hfm): "), std::string::npos);
    EXPECT_NE(r.out.find(message_box("文件解压失败！")), std::string::npos);
}

TEST_F(Session, EndOfInputAnywhereEndsTheProgramQuickly) {
    write_file("in.txt", "hello world");
    const std::vector<std::string> inputs = {
        "c", "c\n", "c\nin.txt", "c\nin.txt\ns\n", "c\nin.txt\ns\nr\n", "c\nin.txt\ns\nr\n1\n",
        "d\n", "d\nin.txt.hfm\ns\n", "x\n", "x", "\n\n\n",
    };
    for (const auto& input : inputs) {
        auto start = std::chrono::steady_clock::now();
        RunResult r = run_hfm(input);
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_LT(elapsed, std::chrono::seconds(2)) << input;
        EXPECT_NE(r.out.find("感谢使用，再见！"), std::string::npos) << input;
    }
}
