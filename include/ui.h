#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "interrupt.h"

// Every screen goes to standard output; every read comes from standard input. At end of
// input no read waits or loops: the menu answers 'q', a text prompt leaves an empty
// string, a number prompt answers 0 and the pause returns. The prompts of a dialogue also
// say whether they were answered, so that a dialogue cut short can be called off.

// Clears the screen and draws the welcome banner.
void ui_init();

// Draws the farewell banner; the screen is not cleared.
void ui_cleanup();

// Draws the main menu and returns the first non-blank character typed, exactly as typed
// but for a full-width form, which counts as its ASCII character (ｃ is 'c'); the rest of
// that line is discarded. 'q' at end of input.
char ui_show_main_menu();

// How a text prompt was answered.
enum PromptAnswer {
    PROMPT_ANSWERED,
    PROMPT_ENDED,     // input ended before the line had a byte; the buffer is empty
    PROMPT_TOO_LONG,  // the line does not fit the buffer: it was read whole and discarded
};

// Prints `prompt` (after a line break) and reads one line of at most size - 1 bytes into
// `buffer`, without its line break. A longer line is refused whole, so that no part of it is
// taken for the next answer; a last line without a line break is an answer.
PromptAnswer ui_prompt_filename(const char* prompt, char* buffer, size_t size);

// As ui_prompt_filename, without the leading line break.
PromptAnswer ui_prompt_info(const char* prompt, char* buffer, size_t size);

// Draws the transform box and returns 1 when the first non-blank character is '1' (or the
// full-width '１'), else 0. `*ended`, if given, tells whether input ended before that
// character (the result is 0).
int ui_prompt_encryption_method(bool* ended = nullptr);

// Draws the decoding-method box and returns the integer typed (full-width digits count as
// digits), 0 when the line does not begin with one. No range test. Not called by the program:
// the decompression asks in plain lines of its own.
int ui_prompt_decoding_method();

// A message between two rules, in bold blue.
void ui_display_message(const char* message);

// One-line error and success messages; not called by the program, whose messages are
// plain lines and boxes.
void ui_display_error(const char* message);
void ui_display_success(const char* message);

// Redraws a 50-cell progress bar in place; at exactly 100 the bar keeps its own line.
void ui_display_progress(const char* operation, int percentage);

// Prompts for Enter and consumes exactly one character, whatever it is.
void ui_pause();

// ---- Progress of long work ---------------------------------------------------------------

// Long steps go through their data in blocks of this many bytes, with a progress check
// between two blocks and none inside one.
inline constexpr size_t PROGRESS_BLOCK_BYTES = size_t{4} << 20;

// The bar of long work, drawn with ui_display_progress where standard output is a terminal:
// once the work has gone on for a second it shows the running step and how far it has come,
// redrawn a few times a second, never at 100 (that would leave a line behind). Whoever
// prints the next line calls clear() first. Where standard output is not a terminal nothing
// is ever printed.
class Progress {
  public:
    using Clock = std::chrono::steady_clock;

    // Watches work that starts now, on standard output with the steady clock.
    Progress();
    // The same with the terminal test's answer and a clock given by the caller.
    Progress(bool terminal, std::function<Clock::time_point()> now);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress() { clear(); }

    // Begins a step of `total` bytes, named by `label` (a text that outlives the step). A bar
    // already on the screen shows the new step at once.
    void start(const char* label, uint64_t total);

    // `done` bytes of the step are finished. A comparison unless a block's worth has been
    // done since the clock was last read: cheap enough to call once per block of any size.
    void update(uint64_t done) {
        if (done >= next_check_)
            check(done);
    }

    // Erases the bar if it is drawn, leaving the cursor at the start of an empty row.
    void clear();

  private:
    void check(uint64_t done);
    void draw(uint64_t done);

    bool terminal_;
    std::function<Clock::time_point()> now_;
    Clock::time_point started_;
    Clock::time_point drawn_at_;
    const char* label_ = "";
    uint64_t total_ = 0;
    uint64_t next_check_ = UINT64_MAX;  // stays there where nothing is ever drawn
    bool drawn_ = false;
};

// Hands `fn(offset, length)` the range [0, size) in blocks of PROGRESS_BLOCK_BYTES and notes
// each finished block in `progress` (null: nowhere), so that one long call becomes short
// ones with a cheap check between them, where an interrupt is noticed too. Stops at the
// first block for which fn returns false, and returns false then.
template <typename Fn>
bool run_in_blocks(size_t size, Progress* progress, Fn&& fn) {
    for (size_t offset = 0; offset < size;) {
        check_interrupt();
        size_t length = std::min(size - offset, PROGRESS_BLOCK_BYTES);
        if (!fn(offset, length))
            return false;
        offset += length;
        if (progress != nullptr)
            progress->update(offset);
    }
    return true;
}
