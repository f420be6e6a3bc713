#include "ui.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "input.h"
#include "interrupt.h"
#include "test_util.h"

namespace {

struct Rule {
    std::string prompt, what, typed, events, returns, kept, left;
    std::optional<std::string> screen;
    size_t buffer = 0;
};

// Plays a progress rule's events on a bar of ten blocks; returns the count of clock reads.
int play_progress(const std::string& events, bool terminal) {
    Progress::Clock::time_point now{};
    int clock_reads = 0;
    std::list<std::string> labels;  // the bar keeps a pointer to its label
    Progress progress(terminal, [&] {
        ++clock_reads;
        return now;
    });
    std::istringstream lines(events);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        int ms = 0;
        std::string kind, arg;
        words >> ms >> kind >> arg;
        now = Progress::Clock::time_point(std::chrono::milliseconds(ms));
        if (kind == "start")
            progress.start(labels.emplace_back(arg).c_str(), 10 * PROGRESS_BLOCK_BYTES);
        else if (kind == "update")
            progress.update(std::stoull(arg) * PROGRESS_BLOCK_BYTES);
        else if (kind == "steps")  // every eighth of a block up to BLOCKS
            for (uint64_t done = 0; done <= std::stoull(arg) * PROGRESS_BLOCK_BYTES;
                 done += PROGRESS_BLOCK_BYTES / 8)
                progress.update(done);
        else if (kind == "begin")
            progress.begin();
        else if (kind == "clear")
            progress.clear();
        else
            ADD_FAILURE() << "no event " << line;
    }
    return clock_reads;
}

// Runs the rule's prompt on what is typed and returns its value as tests/console_rules.txt
// writes it.
std::string prompt_value(const Rule& rule, std::string* kept) {
    if (rule.prompt == "menu")
        return std::string(1, ui_show_main_menu());
    if (rule.prompt == "transform")
        return std::to_string(ui_prompt_encryption_method());
    if (rule.prompt == "decoding-box")
        return std::to_string(ui_prompt_decoding_method());
    if (rule.prompt == "info") {
        std::vector<char> buffer(rule.buffer, 'Z');
        const PromptAnswer answer = ui_prompt_info("> ", buffer.data(), buffer.size());
        *kept = buffer.data();
        return answer == PROMPT_ANSWERED ? "answered"
               : answer == PROMPT_ENDED  ? "ended"
                                         : "too-long";
    }
    if (rule.prompt == "progress") {
        const int quiet_reads = play_progress(rule.events, false);
        const int reads = play_progress(rule.events, true);
        return quiet_reads == 0 ? std::to_string(reads) : "the clock read off a terminal";
    }
    if (rule.prompt == "bar")
        ui_display_progress("压缩", std::stoi(rule.what));
    else if (rule.prompt == "pause")
        ui_pause();
    else if (rule.prompt == "error")
        ui_display_error("坏");
    else if (rule.prompt == "success")
        ui_display_success("好");
    else
        ADD_FAILURE() << "no prompt " << rule.prompt;
    return "";
}

}  // namespace

// Each rule of tests/console_rules.txt: the bytes typed at a prompt, what it returns, what it
// leaves unread and, where given, what it prints.
TEST(ConsoleRules, EachPromptAndBarFollowsItsRules) {
    std::vector<Rule> rules;
    for (const Section& s :
         read_sections(std::filesystem::path(HFM_SOURCE_DIR) / "tests/console_rules.txt")) {
        if (s.kind == "rule")
            rules.emplace_back().prompt = s.name, rules.back().what = s.value;
        else if (s.kind == "typed")
            rules.back().typed += s.text;
        else if (s.kind == "events")
            rules.back().events = s.text;
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
    ASSERT_GT(rules.size(), 45u);
    for (const Rule& rule : rules) {
        std::string value, kept;
        const std::string screen =
            run_with_input(rule.typed, [&] { value = prompt_value(rule, &kept); });
        const std::string name = rule.prompt + " " + rule.what + ", typed " + rule.typed;
        EXPECT_EQ(value, rule.returns) << name;
        EXPECT_EQ(kept, rule.kept) << name;
        EXPECT_EQ(rest_of_input(), rule.left) << name;
        EXPECT_EQ(rule.screen.value_or(screen), screen) << name;
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
