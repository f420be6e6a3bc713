#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "progress.h"

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

// The decompression's own method question, in plain lines: asked again until the answer is
// 1, 2 or 3, which it returns; -1 after a message when the line does not begin with a number
// (and at end of input).
int ui_ask_decoding_method();

// A message between two rules, in bold blue.
void ui_display_message(const char* message);

// Redraws a 50-cell progress bar in place; at exactly 100 the bar keeps its own line.
void ui_display_progress(const char* operation, int percentage);

// Prompts for Enter and consumes exactly one character, whatever it is.
void ui_pause();

// ---- Offered, but not called by the program ------------------------------------------------

// Draws the decoding-method box and returns the integer typed (full-width digits count as
// digits), 0 when the line does not begin with one. No range test. The decompression asks
// with ui_ask_decoding_method instead.
int ui_prompt_decoding_method();

// One-line error and success messages; the program's messages are plain lines and boxes.
void ui_display_error(const char* message);
void ui_display_success(const char* message);

// ---- Console set-up, once at start --------------------------------------------------------

// Switches a Windows console to UTF-8 both ways and turns on its escape sequences; failures
// are ignored (the output is merely less pretty). Nothing to do elsewhere.
void ui_console_utf8();

// On a Windows console, holds standard output and standard error in a buffer that leaves
// whole: the prompts flush it before every read, and the program's end flushes the rest.
void ui_console_buffer_output();

// ---- Progress of long work ---------------------------------------------------------------

// The bar of long work, drawn with ui_display_progress where standard output is a terminal:
// once the work has gone on for a second it shows the running step and how far it has come,
// redrawn a few times a second, never at 100 (that would leave a line behind). Whoever
// prints the next line calls clear() first. Where standard output is not a terminal nothing
// is ever printed.
class Progress final : public ProgressSink {
  public:
    using Clock = std::chrono::steady_clock;

    // Watches work that starts now, on standard output with the steady clock.
    Progress();
    // The same with the terminal test's answer and a clock given by the caller.
    Progress(bool terminal, std::function<Clock::time_point()> now);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress() { clear(); }

    // The second before the bar shows counts from now.
    void begin() override;

    // A bar already on the screen shows the new step at once.
    void start(const char* label, uint64_t total) override;

    // A comparison unless a block's worth has been done since the clock was last read:
    // cheap enough to call once per block of any size.
    void update(uint64_t done) override {
        if (done >= next_check_)
            check(done);
    }

    // Erases the bar if it is drawn, leaving the cursor at the start of an empty row.
    void clear() override;

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
