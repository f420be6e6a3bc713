#pragma once

#include <cstddef>

// Every screen goes to standard output; every read comes from standard input. At end of
// input no read waits or loops: the menu answers 'q', a text prompt leaves an empty
// string, a number prompt answers 0 and the pause returns. The prompts of a dialogue also
// say whether they were answered, so that a dialogue cut short can be called off.

// Clears the screen and draws the welcome banner.
void ui_init();

// Draws the farewell banner; the screen is not cleared.
void ui_cleanup();

// Draws the main menu and returns the first non-blank character typed, exactly as typed;
// the rest of that line is discarded. 'q' at end of input.
char ui_show_main_menu();

// Prints `prompt` (after a line break) and reads one line of at most size - 1 bytes into
// `buffer`, without its line break. A longer line is split: the rest stays unread. False
// when input ends before the line has a byte; a last line without a line break is an answer.
bool ui_prompt_filename(const char* prompt, char* buffer, size_t size);

// As ui_prompt_filename, without the leading line break.
bool ui_prompt_info(const char* prompt, char* buffer, size_t size);

// Draws the transform box and returns 1 when the first non-blank character is '1', else 0.
// `*ended`, if given, tells whether input ended before that character (the result is 0).
int ui_prompt_encryption_method(bool* ended = nullptr);

// Draws the decoding-method box and returns the integer typed, 0 when the line does not
// begin with one. No range test.
int ui_prompt_decoding_method();

// A message between two rules, in bold blue.
void ui_display_message(const char* message);

// One-line error and success messages.
void ui_display_error(const char* message);
void ui_display_success(const char* message);

// Redraws a 50-cell progress bar in place; at exactly 100 the bar keeps its own line.
void ui_display_progress(const char* operation, int percentage);

// Prompts for Enter and consumes exactly one character, whatever it is.
void ui_pause();
