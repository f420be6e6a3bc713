#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Handlers read these from a signal or from another thread.
std::atomic<int> work_depth{0};
std::atomic<int> noted{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may touch only these");

}  // namespace

InterruptibleWork::InterruptibleWork() {
    ++work_depth;
}

InterruptibleWork::~InterruptibleWork() {
    --work_depth;
}

PromptWait::PromptWait() : outer_depth_(work_depth.exchange(0)) {
    // Stored before the look, as the handlers store before theirs: an interrupt from here on
    // ends the program, or one that came before is seen.
    if (noted.load() != 0) {
        if (outer_depth_ == 0)
            end_as_interrupted();  // no work is left to stop
        work_depth = outer_depth_;
        throw Interrupted{};
    }
}

PromptWait::~PromptWait() {
    work_depth = outer_depth_;
}

void check_interrupt() {
    if (noted.load(std::memory_order_relaxed) != 0)
        throw Interrupted{};
}

bool interrupt_noted() {
    return noted.load() != 0;
}

void forget_interrupt() {
    noted = 0;
}

bool note_interrupt(int code) {
    // Noted before the look at the depth: of a prompt that begins now and this interrupt, at
    // least one sees the other.
    noted = code;
    return work_depth.load() != 0;
}

#ifdef _WIN32

namespace {

// Runs on a thread of its own. During work it waits while the program's thread cleans up and
// ends the process; the system grants a few seconds after the window is closed.
BOOL WINAPI on_control(DWORD type) {
    if (!note_interrupt(static_cast<int>(type) + 1))
        return FALSE;  // the default: the process ends at once
    for (;;)
        Sleep(INFINITE);
}

}  // namespace

void catch_interrupts() {
    SetConsoleCtrlHandler(on_control, TRUE);
}

void end_as_interrupted() {
    std::fflush(stdout);
    std::fflush(stderr);
    ExitProcess(static_cast<UINT>(0xC000013AL));  // STATUS_CONTROL_C_EXIT, as Ctrl-C ends it
}

#else

namespace {

void on_signal(int number) {
    if (!note_interrupt(number)) {
        // Delivered again once the handler returns, now with its default effect.
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
}

}  // namespace

void catch_interrupts() {
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        // One ignored from the start (nohup, a background job) stays ignored.
        struct sigaction old = {};
        if (sigaction(number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(number, &action, nullptr);
    }
}

void end_as_interrupted() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int number = noted.load();
    std::signal(number, SIG_DFL);
    std::raise(number);
    std::_Exit(128 + number);
}

#endif
