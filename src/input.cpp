#include "input.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "interrupt.h"

#ifdef _WIN32
#include <windows.h>
#endif

// ---- A Windows console as a byte stream ------------------------------------------------------

void ConsoleStream::append(char32_t cp) {
    if (cp < 0x80) {
        bytes_ += static_cast<char>(cp);
    } else if (cp < 0x800) {
        bytes_ += static_cast<char>(0xC0 | (cp >> 6));
        bytes_ += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        bytes_ += static_cast<char>(0xE0 | (cp >> 12));
        bytes_ += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes_ += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        bytes_ += static_cast<char>(0xF0 | (cp >> 18));
        bytes_ += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        bytes_ += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes_ += static_cast<char>(0x80 | (cp & 0x3F));
    }
    line_start_ = cp == U'\n';
}

// Reads until at least one byte is ready; false at the end.
bool ConsoleStream::refill() {
    constexpr char32_t REPLACEMENT = 0xFFFD;
    bytes_.clear();
    next_ = 0;
    std::vector<char16_t>& units = units_;
    units.resize(capacity_);
    while (bytes_.empty() && !ended_) {
        const size_t got = read_(units.data(), units.size());
        if (got == 0) {
            ended_ = true;
            if (high_ != 0)
                append(REPLACEMENT);
            if (cr_)
                append(U'\r');
            break;
        }
        for (size_t i = 0; i < std::min(got, units.size()) && !ended_; ++i) {
            const char16_t u = units[i];
            if (cr_) {
                cr_ = false;
                if (u != u'\n')
                    append(U'\r');
            }
            if (high_ != 0) {
                const char16_t high = std::exchange(high_, 0);
                if (u >= 0xDC00 && u <= 0xDFFF) {
                    append(0x10000 + ((char32_t{high} - 0xD800) << 10) + (u - 0xDC00));
                    continue;
                }
                append(REPLACEMENT);
            }
            if (u >= 0xD800 && u <= 0xDBFF)
                high_ = u;
            else if (u >= 0xDC00 && u <= 0xDFFF)
                append(REPLACEMENT);
            else if (u == u'\r')
                cr_ = true;
            else if (u == 0x1A && line_start_)
                ended_ = true;  // the rest of the line goes with it
            else
                append(u);
        }
    }
    return !bytes_.empty();
}

int ConsoleStream::get() {
    if (next_ == bytes_.size() && !refill())
        return EOF;
    return static_cast<unsigned char>(bytes_[next_++]);
}

// ---- Standard input --------------------------------------------------------------------------

namespace {

#ifdef _WIN32

// ReadConsoleW, waiting out the empty read that Ctrl-C causes (its handler ends the program
// or the work): 0 only at a real failure.
size_t read_console(char16_t* units, size_t capacity) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (int empty_reads = 0; empty_reads < 100; ++empty_reads) {
        DWORD got = 0;
        if (ReadConsoleW(in, reinterpret_cast<wchar_t*>(units), static_cast<DWORD>(capacity), &got,
                         nullptr)) {
            if (got > 0)
                return got;
        } else if (GetLastError() != ERROR_OPERATION_ABORTED) {
            return 0;
        }
        Sleep(50);
    }
    return 0;
}

std::function<int()> standard_source() {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        return [] { return std::getchar(); };
    auto console = std::make_shared<ConsoleStream>(read_console);
    return [console] { return console->get(); };
}

#else

std::function<int()> standard_source() {
    return [] { return std::getchar(); };
}

#endif

struct InputState {
    std::function<int()> source = standard_source();
    std::string pushed;  // handed back, the next byte last
    bool ended = false;
};

InputState& state() {
    static InputState input;
    return input;
}

}  // namespace

void input_use_source(std::function<int()> source) {
    state() = InputState{};
    if (source)
        state().source = std::move(source);
}

int input_get() {
    InputState& in = state();
    if (!in.pushed.empty()) {
        const auto c = static_cast<unsigned char>(in.pushed.back());
        in.pushed.pop_back();
        return c;
    }
    if (in.ended)
        return EOF;
    std::fflush(stdout);  // the prompt shows whole before the wait
    PromptWait waiting;
    const int c = in.source();
    in.ended = c == EOF;
    return c;
}

void input_unget(const std::string& bytes) {
    state().pushed.append(bytes.rbegin(), bytes.rend());
}

bool input_ended() {
    return state().ended && state().pushed.empty();
}

void input_drain_line() {
    for (int c = input_get(); c != '\n' && c != EOF;)
        c = input_get();
}

int input_get_narrow(std::string* raw) {
    raw->clear();
    const int lead = input_get();
    if (lead == EOF)
        return EOF;
    raw->push_back(static_cast<char>(lead));
    if (lead != 0xEF)
        return lead;
    // U+FF01 to U+FF5E are EF BC 81 to EF BD 9E; the ASCII character is 0x20 below the low
    // byte of the form.
    // The second byte is looked at before the third is read: a line break after a stray lead
    // byte must not wait for the next line.
    for (int c; raw->size() < 3 && (c = input_get()) != EOF;) {
        raw->push_back(static_cast<char>(c));
        if (c != 0xBC && c != 0xBD)
            break;
    }
    if (raw->size() == 3) {
        const auto second = static_cast<unsigned char>((*raw)[1]);
        const auto third = static_cast<unsigned char>((*raw)[2]);
        const unsigned form = ((second & 0x03u) << 6) | (third & 0x3Fu);
        if ((second == 0xBC || second == 0xBD) && (third & 0xC0) == 0x80 && form >= 0x01 &&
            form <= 0x5E)
            return static_cast<int>(form + 0x20);
    }
    input_unget(raw->substr(1));
    raw->resize(1);
    return lead;
}

int input_read_int(int* value) {
    std::string raw;
    int ch;
    do {
        ch = input_get_narrow(&raw);
    } while (ch != EOF && std::isspace(ch));
    if (ch == EOF)
        return EOF;
    const bool negative = ch == '-';
    if (ch == '-' || ch == '+')
        ch = input_get_narrow(&raw);
    if (ch == EOF || !std::isdigit(ch)) {
        input_unget(raw);
        return 0;
    }
    long long magnitude = 0;
    for (; ch != EOF && std::isdigit(ch); ch = input_get_narrow(&raw)) {
        if (magnitude <= INT_MAX)  // beyond it the value saturates anyway
            magnitude = 10 * magnitude + (ch - '0');
    }
    input_unget(raw);
    *value = static_cast<int>(
        std::clamp<long long>(negative ? -magnitude : magnitude, INT_MIN, INT_MAX));
    return 1;
}

PromptAnswer input_read_line(char* buffer, size_t size) {
    int c = input_get();
    if (c == EOF) {
        if (size != 0)
            buffer[0] = '\0';
        return PROMPT_ENDED;
    }
    size_t length = 0;
    bool too_long = false;
    for (; c != '\n' && c != EOF; c = input_get()) {
        if (length + 1 < size)
            buffer[length++] = static_cast<char>(c);
        else
            too_long = true;
    }
    if (size != 0)
        buffer[too_long ? 0 : length] = '\0';
    return too_long ? PROMPT_TOO_LONG : PROMPT_ANSWERED;
}
