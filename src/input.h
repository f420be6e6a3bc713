#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "ui.h"

// ---- Standard input -------------------------------------------------------------------------
//
// Every read of standard input goes through these functions, which serve it as a stream of
// bytes. Pipes and files are read byte for byte through the C library. A Windows console is
// read as UTF-16 and served as UTF-8: its byte reads hand the program a NUL for every
// character outside ASCII once the input code page is UTF-8, so a typed Chinese name would
// arrive cut. Waiting here counts as waiting at a prompt, where an interrupt ends the program
// at once.

// The next byte, or EOF. Once input has ended it stays ended.
int input_get();

// Hands bytes back, to be read again before anything else; the last one given comes first.
void input_unget(const std::string& bytes);

// Whether input has ended.
bool input_ended();

// Discards the rest of the line and its line break, or everything up to the end of input.
void input_drain_line();

// The next character of a choice or a number: a byte, or the ASCII character of a full-width
// form (U+FF01 to U+FF5E), which a Chinese input method types for ｃ, ｄ, １ and the like.
// `raw` receives the bytes it took; EOF at end of input.
int input_get_narrow(std::string* raw);

// Reads an integer as scanf("%d") does (white space, line breaks included, then an optional
// sign and digits, full-width forms counting as their ASCII characters), except that a value
// out of range saturates at INT_MIN or INT_MAX. 1 when a number was read; 0 when the next
// character cannot start one (it is left unread); EOF at end of input before anything but
// white space.
int input_read_int(int* value);

// Reads one line into `buffer` (`size` bytes) without its line break. PROMPT_TOO_LONG when it
// holds more than size - 1 bytes: the whole line is read and discarded and `buffer` is left
// empty, so that no part of one answer is taken as another. PROMPT_ENDED, with an empty
// string, when input ends before the line has a byte; a last line without a line break is
// read as any other.
PromptAnswer input_read_line(char* buffer, size_t size);

// A Windows console as a byte stream: `read` fills up to `capacity` UTF-16 units as
// ReadConsoleW does, one line at most, ended by CR LF, and returns how many; 0 at the end or
// on an error. The units become UTF-8 with CR LF as one line break. A surrogate pair split
// between two reads stays whole; a lone surrogate becomes U+FFFD. Ctrl-Z (U+001A) at the start
// of a line ends input, as the C runtime has it; anywhere else it is a character like any
// other.
class ConsoleStream {
  public:
    using Read = std::function<size_t(char16_t* units, size_t capacity)>;
    explicit ConsoleStream(Read read, size_t capacity = 4096)
        : read_(std::move(read)), capacity_(capacity) {}

    // The next byte, or EOF.
    int get();

  private:
    bool refill();
    void append(char32_t code_point);

    Read read_;
    size_t capacity_;
    std::vector<char16_t> units_;  // what one read hands over
    std::string bytes_;
    size_t next_ = 0;
    char16_t high_ = 0;  // the first half of a pair whose second is yet to come
    bool cr_ = false;    // a CR ended the last read: a line break if a LF begins the next
    bool line_start_ = true;
    bool ended_ = false;
};

// Reads standard input from `source` instead (null: as the program starts), for tests.
void input_use_source(std::function<int()> source);
