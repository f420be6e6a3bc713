#include "ui.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "input.h"
#include "interrupt.h"
#include "test_util.h"

TEST(UiProgress, DrawsFiftyCellsAroundThePosition) {
    const std::string blanks(50, ' '), bars(50, '=');
    struct Case {
        int percentage;
        std::string label, cells, tail;
    };
    const std::vector<Case> cases = {
        {0, "  0", ">" + blanks.substr(1), "\r"},
        {37, " 37", bars.substr(0, 18) + ">" + blanks.substr(0, 31), "\r"},
        {50, " 50", bars.substr(0, 25) + ">" + blanks.substr(0, 24), "\r"},
        {100, "100", bars, "\r\n"},
        {-1, " -1", ">" + blanks.substr(1), "\r"},
        {-2, " -2", blanks, "\r"},
        {101, "101", bars, "\r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_with_input("", [&] { ui_display_progress("压缩", c.percentage); }),
                  "\033[1m\033[36m[压缩] " + c.label + "% [" + c.cells + "] \033[0m" + c.tail)
            << c.percentage;
    }
}

// Each case drives a bar with a clock set by hand, from 0 ms on; steps are ten blocks long.
TEST(Progress, ShowsOnATerminalAfterASecondAndIsErasedBeforeTheNextLine) {
    const auto bar = [](const char* label, int percentage) {
        return run_with_input("", [&] { ui_display_progress(label, percentage); });
    };
    const std::string erase = "\r\033[K";
    enum Kind { START, UPDATE, CLEAR, BEGIN };
    struct Event {
        int ms;
        Kind kind;
        uint64_t blocks = 0;  // done, for UPDATE
        const char* label = "读取";
    };
    struct Case {
        const char* what;
        std::vector<Event> events;
        std::string screen;  // the destructor's erase included
    };
    const std::vector<Case> cases = {
        {"quiet for a second", {{0, START}, {999, UPDATE, 5}, {999, CLEAR}}, ""},
        {"a wait before the work is not part of it",
         {{0, START}, {900, BEGIN}, {1800, UPDATE, 5}},
         ""},
        {"drawn, then erased",
         {{0, START}, {1000, UPDATE, 5}, {1001, CLEAR}, {1001, CLEAR}},
         bar("读取", 50) + erase},
        {"erased when the work ends", {{0, START}, {1200, UPDATE, 3}}, bar("读取", 30) + erase},
        {"never at 100", {{0, START}, {1500, UPDATE, 10}}, bar("读取", 99) + erase},
        {"a few draws a second",
         {{0, START}, {1000, UPDATE, 2}, {1100, UPDATE, 3}, {1250, UPDATE, 4}},
         bar("读取", 20) + bar("读取", 40) + erase},
        {"a new step replaces a drawn bar at once",
         {{0, START}, {1000, UPDATE, 5}, {1100, START, 0, "写入"}, {1350, UPDATE, 1}},
         bar("读取", 50) + bar("写入", 0) + bar("写入", 10) + erase},
        {"later steps need no second of their own",
         {{0, START},
          {1000, UPDATE, 5},
          {1000, CLEAR},
          {1300, START, 0, "写入"},
          {1300, UPDATE, 2}},
         bar("读取", 50) + erase + bar("写入", 20) + erase},
    };
    for (bool terminal : {true, false}) {
        for (const Case& c : cases) {
            Progress::Clock::time_point now{};
            int clock_reads = 0;
            const std::string screen = run_with_input("", [&] {
                Progress progress(terminal, [&] {
                    ++clock_reads;
                    return now;
                });
                for (const Event& e : c.events) {
                    now = Progress::Clock::time_point(std::chrono::milliseconds(e.ms));
                    if (e.kind == START)
                        progress.start(e.label, 10 * PROGRESS_BLOCK_BYTES);
                    else if (e.kind == UPDATE)
                        progress.update(e.blocks * PROGRESS_BLOCK_BYTES);
                    else if (e.kind == BEGIN)
                        progress.begin();
                    else
                        progress.clear();
                }
            });
            EXPECT_EQ(screen, terminal ? c.screen : "") << c.what << ", terminal " << terminal;
            if (!terminal) {
                EXPECT_EQ(clock_reads, 0) << c.what;
            }
        }
    }
}

TEST(Progress, ReadsTheClockAboutOncePerBlockHoweverOftenUpdated) {
    int clock_reads = 0;
    run_with_input("", [&] {
        Progress progress(true, [&] {
            ++clock_reads;
            return Progress::Clock::time_point{};
        });
        progress.start("解码", 10 * PROGRESS_BLOCK_BYTES);
        for (uint64_t done = 0; done <= 10 * PROGRESS_BLOCK_BYTES; done += PROGRESS_BLOCK_BYTES / 8)
            progress.update(done);
    });
    EXPECT_GE(clock_reads, 10);
    EXPECT_LE(clock_reads, 13);  // 81 updates
}

namespace {

// Runs `prompt` on what is typed and returns its value as tests/prompt_rules.txt writes it.
std::string prompt_value(const std::string& prompt, size_t buffer_size, std::string* kept) {
    if (prompt == "menu")
        return std::string(1, ui_show_main_menu());
    if (prompt == "transform")
        return std::to_string(ui_prompt_encryption_method());
    if (prompt == "decoding-box")
        return std::to_string(ui_prompt_decoding_method());
    if (prompt == "info") {
        std::vector<char> buffer(buffer_size, 'Z');
        const PromptAnswer answer = ui_prompt_info("> ", buffer.data(), buffer.size());
        *kept = buffer.data();
        return answer == PROMPT_ANSWERED ? "answered"
               : answer == PROMPT_ENDED  ? "ended"
                                         : "too-long";
    }
    if (prompt == "pause")
        ui_pause();
    else if (prompt == "error")
        ui_display_error("坏");
    else if (prompt == "success")
        ui_display_success("好");
    else
        ADD_FAILURE() << "no prompt " << prompt;
    return "";
}

}  // namespace

// Each rule of tests/prompt_rules.txt: the bytes typed at a prompt, what it returns, what it
// leaves unread and, where given, what it prints.
TEST(Prompts, EachFollowsItsRules) {
    struct Rule {
        std::string prompt, what, typed, returns, kept, left;
        std::optional<std::string> screen;
        size_t buffer = 0;
    };
    std::vector<Rule> rules;
    for (const Section& s :
         read_sections(std::filesystem::path(HFM_SOURCE_DIR) / "tests/prompt_rules.txt")) {
        if (s.kind == "rule")
            rules.emplace_back().prompt = s.name, rules.back().what = s.value;
        else if (s.kind == "typed")
            rules.back().typed += s.text;
        else if (s.kind == "buffer")
            rules.back().buffer = std::stoul(s.name);
        else if (s.kind == "returns")
            rules.back().returns = s.name;
        else if (s.kind == "kept")
            rules.back().kept += s.text;
        else if (s.kind == "left")
            rules.back().left = s.text;
        else if (s.kind == "screen")
            rules.back().screen = s.text;
    }
    ASSERT_GT(rules.size(), 30u);
    for (const Rule& rule : rules) {
        std::string value, kept;
        const std::string screen = run_with_input(
            rule.typed, [&] { value = prompt_value(rule.prompt, rule.buffer, &kept); });
        const std::string name = rule.prompt + " " + rule.what + ", typed " + rule.typed;
        EXPECT_EQ(value, rule.returns) << name;
        EXPECT_EQ(kept, rule.kept) << name;
        EXPECT_EQ(rest_of_input(), rule.left) << name;
        EXPECT_TRUE(!rule.screen || screen == *rule.screen) << name;
    }
}

// A Windows console hands over UTF-16 a line at most per read, in pieces as short as the
// buffer: the program reads UTF-8 lines from it exactly as from a pipe.
TEST(ConsoleInput, ServesUtf16PiecesAsUtf8Lines) {
    struct Case {
        const char* what;
        std::vector<std::u16string> pieces;  // one per read, each at most 4 units
        std::string bytes;                   // all that is read before the end
    };
    const std::vector<Case> cases = {
        {"Chinese", {u"张三\r\n", u"李四\r\n"}, "张三\n李四\n"},
        {"a pair split between reads", {u"a\xD83D", u"\xDE00\r\n"}, "a\xF0\x9F\x98\x80\n"},
        {"a lone half", {u"\xDC00x\r\n", u"\xD800"}, "\xEF\xBF\xBDx\n\xEF\xBF\xBD"},
        {"CR LF split between reads", {u"ab\r", u"\ncd\r", u"x"}, "ab\ncd\rx"},
        {"a line longer than a read", {u"abcd", u"efgh", u"i\r\n"}, "abcdefghi\n"},
        {"an empty line", {u"\r\n", u"z\r\n"}, "\nz\n"},
        {"Ctrl-Z starting a line ends input", {u"x\r\n", u"\x1A\r\n", u"y\r\n"}, "x\n"},
        {"Ctrl-Z first of all", {u"\x1Az\r\n", u"y\r\n"}, ""},
        {"Ctrl-Z inside a line is a character", {u"a\x1A", u"\x1A\r\n"}, "a\x1A\x1A\n"},
    };
    for (const Case& c : cases) {
        size_t next = 0;
        ConsoleStream console(
            [&](char16_t* units, size_t capacity) -> size_t {
                if (next == c.pieces.size())
                    return 0;
                const std::u16string& piece = c.pieces[next++];
                EXPECT_LE(piece.size(), capacity);
                std::copy(piece.begin(), piece.end(), units);
                return piece.size();
            },
            4);
        std::string bytes;
        for (int ch; (ch = console.get()) != EOF;)
            bytes += static_cast<char>(ch);
        EXPECT_EQ(bytes, c.bytes) << c.what;
        EXPECT_EQ(console.get(), EOF) << c.what;
    }
}

// What the signal handlers and the Windows console handler share: at a prompt an interrupt
// ends the program at once; during work it is noted and stops the work at its next block.
TEST(Interrupts, EndThePromptAtOnceAndTheWorkAtItsNextBlock) {
    size_t blocks = 0;
    auto work_in_blocks = [&] {
        run_in_blocks(3 * PROGRESS_BLOCK_BYTES, nullptr, [&](size_t, size_t) { return ++blocks; });
    };
    EXPECT_FALSE(note_interrupt(2));  // the handler ends the program
    forget_interrupt();
    EXPECT_NO_THROW(work_in_blocks());
    EXPECT_EQ(blocks, 3u);
    {
        InterruptibleWork work;
        {
            PromptWait waiting;
            EXPECT_FALSE(note_interrupt(2));
        }
        forget_interrupt();
        EXPECT_TRUE(note_interrupt(2));
        EXPECT_THROW(work_in_blocks(), Interrupted);
        EXPECT_EQ(blocks, 3u);
        EXPECT_THROW(PromptWait{}, Interrupted);  // a prompt after it is never shown
    }
    EXPECT_TRUE(interrupt_noted());
    forget_interrupt();
    EXPECT_NO_THROW(check_interrupt());
}
