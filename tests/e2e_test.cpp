// Scripted sessions piped into the program: the command loop, its outcome boxes, and end of
// input at every kind of prompt. Expected screens come from the console functions themselves,
// whose bytes ui_test pins down.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

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

#ifndef _WIN32  // getrusage
// Processor seconds used by the finished child processes so far.
double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
#endif

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

#ifndef _WIN32  // getrusage
TEST_F(Session, EndOfInputAnywhereEndsTheProgramQuickly) {
    write_file("in.txt", "hello world");
    ASSERT_EQ(run_hfm("c\nin.txt\ns\nr\n1\n\nq\n").status, 0);  // a pair to reach the method prompt
    for (const std::string input :
         {"c", "c\nin.txt", "c\nin.txt\ns\n", "c\nin.txt\ns\nr\n", "c\nin.txt\ns\nr\n1\n", "d\n",
          "d\nin.txt.hfm", "d\nin.txt.hfm\ns\n", "d\nin.txt.hfm\ns\nr\n",
          "d\nin.txt.hfm\ns\nr\n7\n", "d\nin.txt.hfm\ns\nr\n3\n", "x", "\n\n\n"}) {
        // A loop at end of input burns processor time; a wait would show in wall time, which
        // a loaded machine stretches (seen: 2 s for a sanitizer build), hence its wider bound.
        auto start = std::chrono::steady_clock::now();
        double cpu_start = children_cpu_seconds();
        RunResult r = run_hfm(input);
        EXPECT_LT(children_cpu_seconds() - cpu_start, 1.0) << input;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << input;
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_NE(r.out.find("感谢使用，再见！"), std::string::npos) << input;
    }
}
#endif

// Lines longer than their buffer are split and the rest feeds the next read, so each case
// types its lines to show where every piece lands: the header written, the restored file and
// the number of menus prove the dialogue went on as the reading rules say.
TEST_F(Session, OverLongLinesAtEveryPromptKeepTheDialogueInStep) {
    const std::string original = "over-long lines, short file\n";
    const std::string tail(45, 'T');  // what a 300-byte name leaves past 255 bytes
    const std::string c_name = "./" + std::string(247, '/') + "in.txt";      // 255 bytes
    const std::string d_name = "./" + std::string(243, '/') + "in.txt.hfm";  // 255 bytes
    const std::string s200(200, 's');
    const std::string r200 = std::string(127, 'r') + "1" + std::string(72, 'r');
    const std::string s127(127, 's'), s73(73, 's'), r127(127, 'r');
    const std::string compressed = "c\nin.txt\ns\nr\n1\n\n";  // a pair for the decompressions
    const std::string RESTORED = "in.txt_recovered.txt";
    struct Case {
        std::string input, header;  // header: the first lines of in.txt.hfm
        std::string restored;       // the restored file's name, if one is written
        int menus;
        std::string seen;  // a line that only the intended path prints
    };
    const std::vector<Case> cases = {
        // Menu and transform lines are drained; the name's tail becomes the sender line.
        {"c" + std::string(199, 'q') + "\n" + c_name + tail + "\nrcv\n1" + std::string(199, 'x') +
             "\n\nq\n",
         "1\n" + tail + "\nrcv\n", "", 2, "文件压缩成功！"},
        // The pause takes one character and the menu reads the rest of that line.
        {"x\n" + std::string(200, 'x') + "\n\nq\n", "", "", 3, "无效的选择"},
        // The name typed to decompress splits the same way and meets the stored sender line;
        // its output name is cut to 255 bytes.
        {"c\nin.txt\n" + tail + "\nr\n0\n\nd\n" + d_name + tail + "\nr\n3\n\nq\n",
         "0\n" + tail + "\nr\n", "in.txt_rec", 3, "使用哈希表进行解码..."},
        // Typed the same way twice, the sender splits into the same two stored lines.
        {"c\nin.txt\n" + s200 + "\n1\n\nd\nin.txt.hfm\n" + s200 + "\n2\n\nq\n",
         "1\n" + s127 + "\n" + s73 + "\n", RESTORED, 3, "使用编码表直接匹配进行解码..."},
        // The receiver's 128th byte answers the transform prompt, then the method prompt.
        {"c\nin.txt\ns\n" + r200 + "\n\nd\nin.txt.hfm\ns\n" + r200 + "\n\nq\n",
         "1\ns\n" + r127 + "\n", RESTORED, 3, "使用解码树进行解码..."},
        {compressed + "d\nin.txt.hfm\ns\nr\n2" + std::string(199, 'x') + "\n\nq\n", "1\ns\nr\n",
         RESTORED, 3, "使用编码表直接匹配进行解码..."},
        // No number: the line stays for the pause and the menu, which finds it invalid.
        {compressed + "d\nin.txt.hfm\ns\nr\n" + std::string(200, 'x') + "\n\nq\n", "1\ns\nr\n", "",
         4, "读取选择失败"},
    };
    for (const auto& c : cases) {
        for (const auto& name : files_here())
            std::filesystem::remove(name);
        write_file("in.txt", original);
        RunResult r = run_hfm(c.input);
        EXPECT_EQ(r.status, 0) << c.input;
        size_t menus = 0;
        for (size_t at = 0; (at = r.out.find("请输入您的选择 > ", at)) != std::string::npos; ++at)
            ++menus;
        EXPECT_EQ(menus, static_cast<size_t>(c.menus)) << c.input;
        EXPECT_NE(r.out.find(c.seen), std::string::npos) << c.input;
        EXPECT_EQ(read_file("in.txt.hfm").substr(0, c.header.size()), c.header) << c.input;
        std::vector<std::string> expected = {"in.txt"};
        if (!c.header.empty())
            expected = {"in.txt", "in.txt.hfm", "in.txt.hfm.code"};
        if (!c.restored.empty()) {
            expected.push_back(c.restored);
            EXPECT_EQ(read_file(c.restored), original) << c.input;
        }
        EXPECT_EQ(files_here(), expected) << c.input;  // nothing named after a stray piece
    }
}
